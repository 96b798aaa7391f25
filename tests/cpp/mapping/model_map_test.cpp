// Model::map through the hardware back-end, on devices of the driver tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/driver_fakes.h"
#include "engine/model.h"
#include "engine/params.h"
#include "support/models.h"

namespace ovrix::driver_test {
namespace {

using ::testing::ThrowsMessage;

using test_support::add_convs;
using test_support::input_only_model;
using test_support::v2_chain;

TEST(ModelMap, RefusesAMissingDeviceOrForeignConstraints) {
  auto model = input_only_model();
  EXPECT_THAT([&] { model->map(nullptr, false, nullptr); }, ThrowsMessage<std::invalid_argument>("Invalid device passed to MapConstraints."));
  auto device = std::make_shared<TestDevice>(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 2));
  auto other = std::make_shared<TestDevice>(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 2));
  auto constraints = std::make_shared<MapConstraints>(other);
  EXPECT_THAT([&] { model->map(device, false, constraints); }, ThrowsMessage<std::invalid_argument>("The map constraints were made for another device."));
  EXPECT_EQ(model->device(), nullptr);
  EXPECT_TRUE(model->sequences().empty());
}

TEST(ModelMap, LayersLeftByTheHardwareRunInSoftwareUnlessHardwareOnly) {
  auto device = std::make_shared<TestDevice>(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 2));
  auto model = input_only_model();
  model->map(device, false, nullptr);
  ASSERT_EQ(model->sequences().size(), 1u);
  const auto& sequence = *model->sequences().front();
  EXPECT_EQ(sequence.backend(), BackendType::Software);
  EXPECT_EQ(sequence.name(), "SW/input");
  EXPECT_TRUE(sequence.program().empty());
  EXPECT_EQ(model->device(), device);
  // Mapping again drops the earlier sequences.
  model->map(device, true, nullptr);
  EXPECT_TRUE(model->sequences().empty());
  EXPECT_EQ(model->device(), device);
}

TEST(ModelMapV2, ChainMapsIntoOneHardwareSequenceTwiceAlike) {
  auto device = std::make_shared<TestDevice>(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 8));
  auto model = v2_chain(3);
  model->map(device, true, nullptr);
  ASSERT_EQ(model->sequences().size(), 1u);
  const auto& sequence = *model->sequences().front();
  EXPECT_EQ(sequence.backend(), BackendType::Hardware);
  EXPECT_EQ(sequence.name(), "HW/input-c3");
  const std::vector<uint8_t> first(sequence.program().begin(), sequence.program().end());
  for (const auto& layer : model->layers()) EXPECT_NE(layer_mapping(*layer), nullptr) << layer->get_name();

  // Mapping again drops the first sequence and writes the same bytes.
  model->map(device, true, nullptr);
  ASSERT_EQ(model->sequences().size(), 1u);
  const auto program = model->sequences().front()->program();
  EXPECT_EQ(std::vector<uint8_t>(program.begin(), program.end()), first);
  // So does the same model built anew.
  auto again = v2_chain(3);
  again->map(device, true, nullptr);
  const auto other = again->sequences().front()->program();
  EXPECT_EQ(std::vector<uint8_t>(other.begin(), other.end()), first);
}

// input -> c1 -> c2 -> c3 -> add <- c1; add -> c4 -> ... on few NPs: a skip connection and passes.
TEST(ModelMapV2, ResidualModelOverSeveralPassesMapsAlike) {
  auto device = std::make_shared<TestDevice>(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 4));
  auto build = [] {
    auto model = v2_chain(3);
    const auto& layers = model->layers();
    auto add_params = LayerParams::create(LayerType::Add, {});
    auto add = Layer::create(add_params.get(), "add");
    model->add(add, {layers[3], layers[1]});
    add_convs(*model, 4, 7);
    return model;
  };
  auto model = build();
  model->map(device, true, nullptr);
  ASSERT_EQ(model->sequences().size(), 1u);
  const auto& sequence = *model->sequences().front();
  EXPECT_GE(sequence.passes().size(), 2u);
  const auto c1 = layer_mapping(*model->get_layer("c1"));
  const auto c4 = layer_mapping(*model->get_layer("c4"));
  ASSERT_TRUE(c1 && c4);
  ASSERT_NE(c1->skipdma_store(), nullptr);
  ASSERT_NE(c4->skipdma_load(), nullptr);
  EXPECT_EQ(c4->load_channel_info->slot, c1->store_channel_info->slot);
  const std::vector<uint8_t> first(sequence.program().begin(), sequence.program().end());

  auto again = build();
  again->map(device, true, nullptr);
  const auto other = again->sequences().front()->program();
  EXPECT_EQ(std::vector<uint8_t>(other.begin(), other.end()), first);
}

}  // namespace
}  // namespace ovrix::driver_test
