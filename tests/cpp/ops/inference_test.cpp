// Software inference of models through Model::forward/predict/fit on small hand-computed cases; the
// NumPy reference covers random models from Python (tests/python/test_nn_model.py).
#include "engine/inference.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/model.h"
#include "support/message_of.h"

namespace ovrix {
namespace {

std::shared_ptr<Layer> layer(LayerType type, const std::map<std::string, int>& values, const std::string& name) {
  auto params = LayerParams::create(type, values);
  return Layer::create(params.get(), name);
}

std::shared_ptr<Layer> input(uint32_t w, uint32_t h, uint32_t c, int bits = 8, int is_signed = 0) {
  return layer(LayerType::InputData,
               {{"input_width", w}, {"input_height", h}, {"input_channels", c}, {"input_bits", bits},
                {"input_signed", is_signed}},
               "input");
}

template <class T>
void set(Layer& l, const std::string& name, TensorType type, Shape shape, const std::vector<T>& v) {
  l.variables()->set(name, std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(v.data()),
                                                              v.size() * sizeof(T), type, shape)));
}

std::shared_ptr<Dense> samples(TensorType type, Shape shape, const std::vector<uint8_t>& v) {
  std::vector<uint8_t> bytes(v);
  return std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), type, shape));
}

template <class T>
std::vector<T> values(const Tensor& t) {
  const T* p = t.data_as<T>();
  return std::vector<T>(p, p + t.size());
}

using test_support::message_of;

// InputData (3, 3, 1) -> Conv2D 3x3 Same, one filter of ones.
std::unique_ptr<Model> neighbourhood_model(int activation) {
  auto m = Model::create();
  m->add(input(3, 3, 1));
  auto conv = layer(LayerType::Conv2D,
                    {{"filters", 1}, {"kernel_size", 3}, {"padding", 1}, {"activation", activation}, {"pool_type", 0}},
                    "conv");
  m->add(conv);
  set<int8_t>(*conv, "weights", TensorType::int8, {3, 3, 1, 1}, std::vector<int8_t>(9, 1));
  set<uint8_t>(*conv, "output_scales", TensorType::uint8, {1}, {1});
  if (activation == 1) set<uint8_t>(*conv, "max_value", TensorType::uint8, {1}, {30});
  return m;
}

const std::vector<uint8_t> kNine{1, 2, 3, 4, 5, 6, 7, 8, 9};

TEST(SoftwareInference, ReluClampsThePotentialToItsMaximum) {
  auto m = neighbourhood_model(1);
  auto out = m->forward(samples(TensorType::uint8, {1, 3, 3, 1}, kNine), 0);
  EXPECT_EQ(out->type(), TensorType::uint8);
  EXPECT_TRUE(out->shape() == (Shape{1, 3, 3, 1}));
  EXPECT_EQ(values<uint8_t>(*out), (std::vector<uint8_t>{12, 21, 16, 27, 30, 30, 24, 30, 28}));
}

TEST(SoftwareInference, WithoutActivationForwardGivesInt32AndPredictFloats) {
  auto m = neighbourhood_model(0);
  auto conv = m->get_layer("conv");
  set<uint8_t>(*conv, "output_scales", TensorType::uint8, {1}, {3});
  set<int8_t>(*conv, "output_shift", TensorType::int8, {1}, {-1});
  set<int8_t>(*conv, "bias", TensorType::int8, {1}, {-1});
  set<uint8_t>(*conv, "bias_shift", TensorType::uint8, {1}, {1});
  auto x = samples(TensorType::uint8, {1, 3, 3, 1}, kNine);
  // Potential = sum - 2; forward rounds (3 p / 2) half up; predict keeps 3 p / 2 exactly. The output is
  // a signed 8-bit value.
  auto f = m->forward(x, 0);
  EXPECT_EQ(f->type(), TensorType::int32);
  EXPECT_EQ(values<int32_t>(*f), (std::vector<int32_t>{15, 29, 21, 38, 65, 47, 33, 56, 39}));
  auto p = m->predict(x, 0);
  EXPECT_EQ(p->type(), TensorType::float32);
  EXPECT_EQ(values<float>(*p), (std::vector<float>{15.0f, 28.5f, 21.0f, 37.5f, 64.5f, 46.5f, 33.0f, 55.5f, 39.0f}));
}

TEST(SoftwareInference, PredictRefusals) {
  auto m = neighbourhood_model(1);
  auto x = samples(TensorType::uint8, {1, 3, 3, 1}, kNine);
  EXPECT_THROW(m->predict(x, 0), std::runtime_error);
  auto only_input = Model::create();
  only_input->add(input(3, 3, 1));
  EXPECT_THROW(only_input->predict(x, 0), std::invalid_argument);
}

TEST(SoftwareInference, InputsOutsideTheInputRangeOrShapeAreRefused) {
  auto m = Model::create();
  m->add(input(1, 1, 2, 4));
  auto x = samples(TensorType::uint8, {1, 1, 1, 2}, {15, 16});
  EXPECT_EQ(message_of([&] { m->forward(x, 0); }),
            "Layer 'input': input value 16 does not fit its 4-bit unsigned input.");
  EXPECT_NE(message_of([&] { m->forward(samples(TensorType::uint8, {1, 2, 1, 1}, {1, 2}), 0); })
                .find("does not match the model's input (N, 1, 1, 2)"),
            std::string::npos);
  EXPECT_THROW(m->forward(samples(TensorType::uint8, {2}, {1, 2}), 0), std::invalid_argument);
  EXPECT_THROW(m->forward(nullptr, 0), std::invalid_argument);
  // Floats must be whole numbers.
  std::vector<float> half{0.5f, 1.0f};
  auto fx = std::shared_ptr<Dense>(
      Dense::copy(reinterpret_cast<const char*>(half.data()), 8, TensorType::float32, Shape{1, 1, 1, 2}));
  EXPECT_NE(message_of([&] { m->forward(fx, 0); }).find("not a 32-bit integer"), std::string::npos);
}

TEST(SoftwareInference, TemporalLayersCarryTheirFifoFromSampleToSample) {
  auto m = Model::create();
  m->add(input(1, 1, 1));
  auto t = layer(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}, {"activation", 0}}, "temporal");
  m->add(t);
  set<int8_t>(*t, "weights", TensorType::int8, {1, 1, 2, 1}, {1, 10});  // tap 0 (newest), tap 1
  set<uint8_t>(*t, "output_scales", TensorType::uint8, {1}, {1});
  auto x = samples(TensorType::uint8, {3, 1, 1, 1}, {1, 2, 3});
  auto out = m->forward(x, 0);
  EXPECT_EQ(values<int32_t>(*out), (std::vector<int32_t>{1, 12, 23}));
  // Each call starts from an empty FIFO.
  EXPECT_EQ(values<int32_t>(*m->forward(x, 0)), (std::vector<int32_t>{1, 12, 23}));
}

TEST(SoftwareInference, AddAlignsItsInputsByTheirShifts) {
  auto m = Model::create();
  auto in = input(1, 1, 2);
  m->add(in);
  auto a = layer(LayerType::DepthwiseConv2D, {{"kernel_size", 1}, {"activation", 0}, {"padding", 1}}, "a");
  auto b = layer(LayerType::DepthwiseConv2D, {{"kernel_size", 1}, {"activation", 0}, {"padding", 1}}, "b");
  m->add(a, {in});
  m->add(b, {in});
  for (auto& l : {a, b}) {
    set<int8_t>(*l, "weights", TensorType::int8, {1, 1, 1, 2}, {1, 1});
    set<uint8_t>(*l, "output_scales", TensorType::uint8, {2}, {1, 1});
  }
  set<int8_t>(*b, "weights", TensorType::int8, {1, 1, 1, 2}, {3, 3});
  auto add = layer(LayerType::Add, {}, "add");
  m->add(add, {a, b});
  // Channel 0: a_shift 2, b_shift 0, output shift -2: (A 4 + B) / 4 with B shifted right by 2 first.
  // Channel 1: a_shift 0, b_shift 1, output shift 0: ((A >> 1) + B) x 2.
  set<uint8_t>(*add, "a_shift", TensorType::uint8, {2}, {2, 0});
  set<uint8_t>(*add, "b_shift", TensorType::uint8, {2}, {0, 1});
  set<int8_t>(*add, "output_shift", TensorType::int8, {2}, {-2, 0});
  auto out = m->forward(samples(TensorType::uint8, {1, 1, 1, 2}, {8, 5}), 0);
  // A = (8, 5), B = (24, 15): channel 0: 8 + (24 >> 2) = 14, shifted by 0; channel 1: (5 >> 1) + 15 = 17, x 2.
  EXPECT_EQ(values<int32_t>(*out), (std::vector<int32_t>{14, 34}));
}

TEST(SoftwareInference, LayerKindsWithoutASoftwarePathAreRefused) {
  auto m = Model::create();
  m->add(input(2, 2, 1, 1));
  m->add(layer(LayerType::StatefulRecurrent, {{"output_channels", 2}, {"stateful_channels", 1}}, "recurrent"));
  auto x = samples(TensorType::uint8, {1, 2, 2, 1}, {0, 1, 1, 0});
  EXPECT_NE(message_of([&] { m->forward(x, 0); }).find("cannot run in software"), std::string::npos);
}

// InputData (1, 1, 4) -> Dense1D of 2 units, 8-bit weights, no activation.
std::unique_ptr<Model> dense_model() {
  auto m = Model::create();
  m->add(input(1, 1, 4));
  auto d = layer(LayerType::Dense1D, {{"units", 2}, {"activation", 0}, {"output_bits", 32}}, "dense");
  m->add(d);
  set<uint8_t>(*d, "output_scales", TensorType::uint8, {2}, {1, 1});
  return m;
}

TEST(SoftwareLearning, FitNeedsLearningParameters) {
  auto m = dense_model();
  auto x = samples(TensorType::uint8, {1, 1, 1, 4}, {3, 0, 5, 1});
  EXPECT_NE(message_of([&] { m->fit(x, {1}, 0); }).find("compile the model first"), std::string::npos);
}

TEST(SoftwareLearning, TheWinnerOfTheLabelsClassMovesTowardTheInput) {
  auto m = dense_model();
  m->compile(*LearningParams::create(LearningType::Unsupervised,
                                     {{"num_weights", 2}, {"num_classes", 2}, {"initial_plasticity", 0.5},
                                      {"learning_competition", 0}, {"min_plasticity", 0.1},
                                      {"plasticity_decay", 0.5}}));
  auto x = samples(TensorType::uint8, {2, 1, 1, 4}, {3, 0, 5, 1, 3, 0, 5, 1});
  // Outputs are computed before each sample's update: 0 at first, then the learnt weights' response.
  auto out = m->fit(x, {1}, 0);
  // Neuron 1 learns twice: +round(127 x 0.5) = 64 on inputs 2 and 0, then +round(63 x 0.25) = 16.
  auto w = m->get_layer("dense")->variables()->get("weights");
  EXPECT_EQ(values<int8_t>(*w), (std::vector<int8_t>{0, 80, 0, 0, 0, 80, 0, 0}));
  EXPECT_EQ(values<int32_t>(*out), (std::vector<int32_t>{0, 0, 0, 64 * 3 + 64 * 5}));
  // A label outside the classes runs the sample without learning.
  auto before = values<int8_t>(*w);
  m->fit(x, {2, -1}, 0);
  EXPECT_EQ(values<int8_t>(*m->get_layer("dense")->variables()->get("weights")), before);
  EXPECT_THROW(m->fit(x, {0, 1, 1}, 0), std::invalid_argument);
}

}  // namespace
}  // namespace ovrix
