#include "engine/variables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "engine/model.h"
#include "support/engine_util.h"

namespace ovrix {
namespace {

using test::input_data;
using test::make_layer;

std::shared_ptr<Layer> fully_connected_in_model(std::unique_ptr<Model>& model) {
  model = Model::create();
  model->add(input_data(2, 1, 3, 1));
  auto fc = make_layer(LayerType::FullyConnected, {{"units", 4}}, "fc");
  model->add(fc);
  return fc;
}

TEST(Variables, AbsentUntilTheInputIsKnownThenZeroFilled) {
  auto conv = make_layer(LayerType::Conv2D, {{"filters", 4}}, "conv");
  EXPECT_TRUE(conv->variables()->names().empty());
  EXPECT_EQ(conv->variables()->get("weights"), nullptr);

  auto model = Model::create();
  model->add(input_data(8, 8, 3));
  model->add(conv);
  auto vars = conv->variables();
  EXPECT_EQ(vars->names(), (std::vector<std::string>{"weights", "input_shift", "bias", "bias_shift", "output_scales",
                                                      "output_shift", "max_value", "max_value_shift"}));
  auto w = vars->get("weights");
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE((w->shape() == Shape{3, 3, 3, 4}));
  EXPECT_EQ(w->type(), TensorType::int8);
  for (auto b : w->data()) EXPECT_EQ(b, std::byte{0});
  EXPECT_EQ(vars->get("weights"), w);  // the same tensor each time
  EXPECT_EQ(vars->get("lut_values"), nullptr);
  EXPECT_FALSE(vars->has("lut_values"));
}

TEST(Variables, SetKeepsTheVariableLayout) {
  std::unique_ptr<Model> model;
  auto fc = fully_connected_in_model(model);
  auto vars = fc->variables();
  auto w = vars->get("weights");
  ASSERT_EQ(w->layout(), 1);
  ASSERT_TRUE((w->shape() == Shape{4, 6, 1, 1}));  // (neurons, inputs, 1, 1)

  // A row-major tensor with the reversed shape holds the same bytes: stored in layout 1.
  int8_t bytes[24];
  for (int i = 0; i < 24; ++i) bytes[i] = static_cast<int8_t>(i);
  std::shared_ptr<Tensor> row = Dense::copy(reinterpret_cast<const char*>(bytes), 24, TensorType::bit,
                                            Shape{1, 1, 6, 4});
  vars->set("weights", row);
  auto stored = vars->get("weights");
  EXPECT_EQ(stored->layout(), 1);
  EXPECT_TRUE((stored->shape() == Shape{4, 6, 1, 1}));
  EXPECT_EQ(stored->type(), TensorType::bit);  // narrow types stay narrow
  EXPECT_EQ(std::memcmp(stored->data().data(), bytes, 24), 0);
  EXPECT_EQ(stored->at<int8_t>({1, 2, 0, 0}), 9);  // neuron 1 of input 2

  // Same layout, same shape: the tensor itself is shared.
  auto same = Dense::create(TensorType::int8, Shape{4, 6, 1, 1}, Dense::Layout::Reversed);
  std::shared_ptr<Dense> shared = std::move(same);
  vars->set("weights", shared);
  EXPECT_EQ(vars->get("weights"), shared);
  // The previous holder keeps its tensor.
  EXPECT_EQ(stored->at<int8_t>({1, 2, 0, 0}), 9);
}

TEST(Variables, SetRefusals) {
  std::unique_ptr<Model> model;
  auto fc = fully_connected_in_model(model);
  auto vars = fc->variables();
  EXPECT_THROW(vars->set("weights", nullptr), std::invalid_argument);
  EXPECT_THROW(vars->set("nothing", Dense::create(TensorType::int32, Shape{4})), std::invalid_argument);
  // Row-major with the variable's own (not reversed) shape is another arrangement: refused.
  EXPECT_THROW(vars->set("weights", Dense::create(TensorType::int8, Shape{4, 6, 1, 1})), std::invalid_argument);
  EXPECT_THROW(vars->set("threshold", Dense::create(TensorType::int32, Shape{5})), std::invalid_argument);
  // Another element type is stored as given (readers refuse it with their own message).
  vars->set("threshold", Dense::create(TensorType::float32, Shape{4}));
  EXPECT_EQ(vars->get("threshold")->type(), TensorType::float32);
}

TEST(Variables, RowMajorVariableTakesReversedTensors) {
  auto model = Model::create();
  model->add(input_data(4, 4, 2));
  auto dense = make_layer(LayerType::Dense1D, {{"units", 3}}, "dense");
  model->add(dense);
  auto vars = dense->variables();
  ASSERT_TRUE((vars->get("weights")->shape() == Shape{32, 3}));
  vars->set("weights", Dense::create(TensorType::int8, Shape{3, 32}, Dense::Layout::Reversed));
  EXPECT_EQ(vars->get("weights")->layout(), 0);
  EXPECT_TRUE((vars->get("weights")->shape() == Shape{32, 3}));
}

TEST(Variables, ReaddingWithAnotherInputResetsOnlyChangedShapes) {
  auto model = Model::create();
  model->add(input_data(4, 4, 2));
  auto dense = make_layer(LayerType::Dense1D, {{"units", 3}}, "dense");
  model->add(dense);
  auto bias = Dense::create(TensorType::int8, Shape{3});
  bias->mutable_data_as<int8_t>()[0] = 5;
  dense->variables()->set("bias", std::shared_ptr<Dense>(std::move(bias)));
  model->pop_layer();
  model->pop_layer();
  model->add(input_data(2, 2, 2));
  model->add(dense);
  EXPECT_EQ(dense->variables()->get("bias")->data_as<int8_t>()[0], 5);
  EXPECT_TRUE((dense->variables()->get("weights")->shape() == Shape{8, 3}));
}

}  // namespace
}  // namespace ovrix
