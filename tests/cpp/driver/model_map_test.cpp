// Model::map through the hardware back-end, on devices of the driver tests.
#include <gtest/gtest.h>

#include "driver/driver_fakes.h"
#include "engine/model.h"
#include "engine/params.h"

namespace ovrix::driver_test {
namespace {

std::unique_ptr<Model> input_only_model() {
  auto model = Model::create();
  auto params = LayerParams::create(LayerType::InputData, {{"input_width", 4},
                                                           {"input_height", 4},
                                                           {"input_channels", 1},
                                                           {"input_bits", 8},
                                                           {"input_signed", 0}});
  model->add(Layer::create(params.get(), "input"));
  return model;
}

template <class E>
std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "no exception of the expected type";
}

TEST(ModelMap, RefusesAMissingDeviceOrForeignConstraints) {
  auto model = input_only_model();
  EXPECT_EQ(message_of<std::invalid_argument>([&] { model->map(nullptr, false, nullptr); }),
            "Invalid device passed to MapConstraints.");
  auto device = std::make_shared<TestDevice>(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 2));
  auto other = std::make_shared<TestDevice>(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 2));
  auto constraints = std::make_shared<MapConstraints>(other);
  EXPECT_EQ(message_of<std::invalid_argument>([&] { model->map(device, false, constraints); }),
            "The map constraints were made for another device.");
  EXPECT_EQ(model->device(), nullptr);
  EXPECT_TRUE(model->sequences().empty());
}

#if __has_include("backends/v2/edition.h")
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
#else
TEST(ModelMap, AMissingEditionLeavesTheModelUnmapped) {
  auto device = std::make_shared<TestDevice>(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 2));
  auto model = input_only_model();
  EXPECT_EQ(message_of<std::runtime_error>([&] { model->map(device, false, nullptr); }),
            "The v2 hardware back-end is not available in this build.");
  EXPECT_EQ(model->device(), nullptr);
  EXPECT_TRUE(model->sequences().empty());
}
#endif

}  // namespace
}  // namespace ovrix::driver_test
