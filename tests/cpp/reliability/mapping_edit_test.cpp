// A model cannot be changed, or mapped again, from the MapConstraints hooks its mapping calls: the
// sequences would otherwise describe another model than the one that runs.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/driver_fakes.h"
#include "engine/model.h"
#include "engine/params.h"
#include "mapping/layer_mapping.h"
#include "support/message_of.h"
#include "support/models.h"

namespace ovrix::driver_test {
namespace {

using test_support::message_of;
using test_support::v2_chain;

// Runs `edit` when the mapper announces the layer named `at`.
class EditingConstraints : public MapConstraints {
 public:
  EditingConstraints(std::shared_ptr<Device> device, std::string at, std::function<void()> edit)
      : MapConstraints(device), at_(std::move(at)), edit_(std::move(edit)) {}
  void next_layer_handler(const std::string& layer_name) const override {
    if (layer_name == at_) edit_();
  }

 private:
  std::string at_;
  std::function<void()> edit_;
};

std::shared_ptr<Layer> conv(const std::string& name) {
  auto params = LayerParams::create(LayerType::Conv2D,
                                    {{"kernel_size", 3}, {"padding", 1}, {"filters", 4}, {"weights_bits", 4}, {"activation", 1}});
  return Layer::create(params.get(), name);
}

TEST(MappingEdits, EveryEditFromAHookIsRefusedAndTheMappingStaysWhole) {
  auto device = std::make_shared<TestDevice>(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 8));
  auto model = v2_chain(3);
  Model& m = *model;
  std::vector<std::string> refusals;
  auto constraints = std::make_shared<EditingConstraints>(device, "c2", [&] {
    auto learning = LearningParams::create(LearningType::Unsupervised, {{"num_classes", 1}, {"num_weights", 1}});
    for (const std::function<void()>& edit : std::vector<std::function<void()>>{
             [&] { m.add(conv("late"), {}); },
             [&] { m.pop_layer(); },
             [&] { m.compile(*learning); },
             [&] { m.map(device, true, nullptr); },
         })
      refusals.push_back(message_of<std::runtime_error>(edit));
  });
  model->map(device, true, constraints);
  EXPECT_EQ(refusals, (std::vector<std::string>{"Cannot add a layer while the model is being mapped.",
                                                 "Cannot remove a layer while the model is being mapped.",
                                                 "Cannot compile the model while the model is being mapped.",
                                                 "Cannot map the model while the model is being mapped."}));
  // The mapping covers exactly the model's layers.
  ASSERT_EQ(model->layer_count(), 4u);
  ASSERT_EQ(model->sequences().size(), 1u);
  EXPECT_EQ(model->sequences().front()->name(), "HW/input-c3");
  for (const auto& layer : model->layers()) EXPECT_NE(layer_mapping(*layer), nullptr) << layer->get_name();
  EXPECT_EQ(model->learning(), nullptr);

  // Once the mapping is over, the model takes edits again (and they drop the mapping).
  model->add(conv("c4"), {});
  EXPECT_EQ(model->layer_count(), 5u);
  EXPECT_TRUE(model->sequences().empty());
}

TEST(MappingEdits, AHookThatFailsOnARefusedEditLeavesTheModelUnmapped) {
  auto device = std::make_shared<TestDevice>(hw_versions::Proteo_v2, make_mesh(IpVersion::v2, 8));
  auto model = v2_chain(3);
  Model& m = *model;
  auto constraints = std::make_shared<EditingConstraints>(device, "c1", [&] { m.add(conv("late"), {}); });
  EXPECT_EQ(message_of<std::runtime_error>([&] { model->map(device, true, constraints); }),
            "Cannot add a layer while the model is being mapped.");
  EXPECT_EQ(model->layer_count(), 4u);
  EXPECT_TRUE(model->sequences().empty());
  EXPECT_EQ(model->device(), nullptr);
  for (const auto& layer : model->layers()) EXPECT_EQ(layer_mapping(*layer), nullptr) << layer->get_name();
  // A failed mapping does not leave the model locked.
  model->map(device, true, nullptr);
  EXPECT_EQ(model->sequences().size(), 1u);
}

}  // namespace
}  // namespace ovrix::driver_test
