// Running a mapped model's sequences (software::run_sequences) with stand-in hardware sequences.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/inference.h"
#include "engine/model.h"
#include "support/software_sequence.h"

namespace ovrix {
namespace {

std::shared_ptr<Layer> layer(LayerType type, const std::map<std::string, int>& values, const std::string& name) {
  auto params = LayerParams::create(type, values);
  return Layer::create(params.get(), name);
}

// A hardware sequence whose output for a sample is (1, 1, 2): the sum of the sample's bytes, then the
// label count it was given (-1 for none). `mismatch` makes the second output one value longer.
class FakeHardware : public ForwardableSequence {
 public:
  explicit FakeHardware(bool mismatch = false) : mismatch_(mismatch) {}
  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  std::span<const uint8_t> program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  std::string name() const override { return "hardware"; }
  std::vector<std::shared_ptr<Tensor>> forward_samples(const std::vector<std::shared_ptr<const Tensor>>& samples,
                                                       const std::vector<int32_t>* labels) override {
    std::vector<std::shared_ptr<Tensor>> out;
    for (size_t i = 0; i < samples.size(); ++i) {
      int32_t sum = 0;
      for (std::byte b : samples[i]->data()) sum += static_cast<int32_t>(b);
      const uint32_t width = (mismatch_ && i == 1) ? 3 : 2;
      auto t = std::shared_ptr<Dense>(Dense::create(TensorType::int32, Shape{1, 1, width}));
      t->mutable_data_as<int32_t>()[0] = sum;
      t->mutable_data_as<int32_t>()[1] = labels ? static_cast<int32_t>(labels->size()) : -1;
      out.push_back(t);
    }
    return out;
  }

 private:
  bool mismatch_;
  std::vector<std::shared_ptr<Pass>> passes_;
};

using FakeSoftware = test_support::SoftwareSequence;

std::shared_ptr<Dense> bytes(Shape shape, const std::vector<uint8_t>& v) {
  return std::shared_ptr<Dense>(
      Dense::copy(reinterpret_cast<const char*>(v.data()), v.size(), TensorType::uint8, shape));
}

template <class T>
std::vector<T> values(const Tensor& t) {
  const T* p = t.data_as<T>();
  return std::vector<T>(p, p + t.size());
}

struct Mapped {
  std::unique_ptr<Model> model;
  std::vector<std::shared_ptr<Sequence>> sequences;
};

// input (1, 2, 1) in software, then a layer of 2 outputs on the stand-in hardware; with software_tail, a
// dense layer of 2 units after it in software.
Mapped mapped(bool software_tail) {
  Mapped m;
  m.model = Model::create();
  auto input = layer(LayerType::InputData,
                     {{"input_width", 1}, {"input_height", 2}, {"input_channels", 1}, {"input_bits", 8}}, "input");
  m.model->add(input);
  m.model->add(layer(LayerType::Dense1D, {{"units", 2}, {"activation", 0}}, "on_hardware"));
  m.sequences.push_back(std::make_shared<FakeSoftware>(std::vector<std::shared_ptr<Layer>>{input}));
  m.sequences.push_back(std::make_shared<FakeHardware>());
  if (software_tail) {
    // The hardware output (1, 1, 2) feeds a dense layer built for that shape in a model of its own.
    auto tail_model = Model::create();
    tail_model->add(layer(LayerType::InputData,
                          {{"input_width", 1}, {"input_height", 1}, {"input_channels", 2}, {"input_bits", 16},
                           {"input_signed", 1}},
                          "tail_input"));
    auto dense = layer(LayerType::Dense1D, {{"units", 2}, {"activation", 0}, {"output_bits", 32}}, "dense");
    tail_model->add(dense);
    std::vector<int8_t> w{1, 0, 0, 1};  // identity
    dense->variables()->set("weights", std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(w.data()), 4,
                                                                          TensorType::int8, Shape{2, 2})));
    std::vector<uint8_t> scales{2, 1};
    dense->variables()->set("output_scales",
                            std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(scales.data()), 2,
                                                               TensorType::uint8, Shape{2})));
    m.sequences.push_back(std::make_shared<FakeSoftware>(std::vector<std::shared_ptr<Layer>>{dense}));
    m.model.swap(tail_model);  // the checks read the model whose last layer is the dense one
  }
  return m;
}

TEST(MappedRun, HardwareOutputsAreStackedInSampleOrder) {
  auto m = mapped(false);
  auto out = software::run_sequences(m.sequences, m.model->layers(), *bytes({3, 1, 2, 1}, {1, 2, 3, 4, 5, 6}),
                                     software::Mode::Forward);
  EXPECT_TRUE(out->shape() == (Shape{3, 1, 1, 2}));
  EXPECT_EQ(values<int32_t>(*out), (std::vector<int32_t>{3, -1, 7, -1, 11, -1}));
}

TEST(MappedRun, FitAlwaysPassesALabelList) {
  auto m = mapped(false);
  m.model->compile(*LearningParams::create(LearningType::Unsupervised, {{"num_classes", 1}}));
  auto out = software::run_sequences(m.sequences, m.model->layers(), *bytes({2, 1, 2, 1}, {1, 2, 3, 4}),
                                     software::Mode::Fit, {});
  EXPECT_EQ(values<int32_t>(*out), (std::vector<int32_t>{3, 0, 7, 0}));
}

TEST(MappedRun, PredictEndingOnHardwareGivesFloats) {
  auto m = mapped(false);
  auto out = software::run_sequences(m.sequences, m.model->layers(), *bytes({1, 1, 2, 1}, {1, 2}),
                                     software::Mode::Predict);
  EXPECT_EQ(out->type(), TensorType::float32);
  EXPECT_EQ(values<float>(*out), (std::vector<float>{3.0f, -1.0f}));
}

TEST(MappedRun, SoftwareSequencesTakeThePreviousOutput) {
  auto m = mapped(true);
  auto x = bytes({2, 1, 2, 1}, {1, 2, 3, 4});
  auto f = software::run_sequences(m.sequences, m.model->layers(), *x, software::Mode::Forward);
  EXPECT_EQ(values<int32_t>(*f), (std::vector<int32_t>{6, -1, 14, -1}));
  auto p = software::run_sequences(m.sequences, m.model->layers(), *x, software::Mode::Predict);
  EXPECT_EQ(values<float>(*p), (std::vector<float>{6.0f, -1.0f, 14.0f, -1.0f}));
}

TEST(MappedRun, AnInputLayerLeftAfterTheHardwareIsSkipped) {
  // What the mapping leaves when the hardware took every layer but the input: [hardware, software(input)].
  auto m = mapped(false);
  std::vector<std::shared_ptr<Sequence>> seqs{m.sequences[1], m.sequences[0]};
  auto out = software::run_sequences(seqs, m.model->layers(), *bytes({2, 1, 2, 1}, {1, 2, 3, 4}),
                                     software::Mode::Predict);
  EXPECT_EQ(out->type(), TensorType::float32);
  EXPECT_EQ(values<float>(*out), (std::vector<float>{3.0f, -1.0f, 7.0f, -1.0f}));
  // The hardware is then the last step: fit gives it the labels.
  auto fit = software::run_sequences(seqs, m.model->layers(), *bytes({2, 1, 2, 1}, {1, 2, 3, 4}),
                                     software::Mode::Fit, {1, 0});
  EXPECT_EQ(values<int32_t>(*fit), (std::vector<int32_t>{3, 2, 7, 2}));
}

template <class T>
std::shared_ptr<Dense> tensor(TensorType type, Shape shape, const std::vector<T>& v) {
  return std::shared_ptr<Dense>(
      Dense::copy(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T), type, shape));
}

TEST(MappedRun, AnInputBoundForHardwareIsCheckedThenReadAByteAValue) {
  // [hardware, software(input)]: the model input goes to the device first. The stand-in sums bytes.
  for (const int is_signed : {0, 1}) {
    auto model = Model::create();
    model->add(layer(LayerType::InputData,
                     {{"input_width", 1}, {"input_height", 2}, {"input_channels", 1}, {"input_bits", 8},
                      {"input_signed", is_signed}},
                     "input"));
    const std::vector<std::shared_ptr<Sequence>> seqs{std::make_shared<FakeHardware>(),
                                                       std::make_shared<FakeSoftware>(model->layers())};
    auto run = [&](const std::shared_ptr<Dense>& x) {
      return values<int32_t>(*software::run_sequences(seqs, model->layers(), *x, software::Mode::Forward));
    };
    // Checked as in software: shape, whole numbers, the input layer's bits and sign.
    const char* const unsigned_refusal = "Layer 'input': input value 300 does not fit its 8-bit unsigned input.";
    const char* const signed_refusal = "Layer 'input': input value 300 does not fit its 8-bit signed input.";
    try {
      run(tensor<int16_t>(TensorType::int16, {1, 1, 2, 1}, {300, 0}));
      ADD_FAILURE() << "300 was taken";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), is_signed ? signed_refusal : unsigned_refusal);
    }
    EXPECT_THROW(run(tensor<float>(TensorType::float32, {1, 1, 2, 1}, {0.5f, 0})), std::invalid_argument);
    EXPECT_THROW(run(bytes({1, 2, 1, 1}, {1, 2})), std::invalid_argument);
    // Wider types arrive as the bytes of the input layer's type: -1 as the int8 byte 0xFF.
    if (is_signed) {
      EXPECT_EQ(run(tensor<int16_t>(TensorType::int16, {1, 1, 2, 1}, {-1, 2})), (std::vector<int32_t>{257, -1}));
      EXPECT_EQ(run(tensor<float>(TensorType::float32, {1, 1, 2, 1}, {-128, 127})), (std::vector<int32_t>{255, -1}));
    } else {
      EXPECT_THROW(run(tensor<int8_t>(TensorType::int8, {1, 1, 2, 1}, {-1, 2})), std::invalid_argument);
      EXPECT_EQ(run(tensor<int16_t>(TensorType::int16, {1, 1, 2, 1}, {255, 2})), (std::vector<int32_t>{257, -1}));
      EXPECT_EQ(run(tensor<int32_t>(TensorType::int32, {1, 1, 2, 1}, {255, 255})), (std::vector<int32_t>{510, -1}));
    }
  }
}

TEST(MappedRun, Refusals) {
  auto m = mapped(false);
  auto x = bytes({3, 1, 2, 1}, {1, 2, 3, 4, 5, 6});
  std::vector<std::shared_ptr<Sequence>> bad{m.sequences[0], std::make_shared<FakeHardware>(true)};
  EXPECT_THROW(software::run_sequences(bad, m.model->layers(), *x, software::Mode::Forward), std::invalid_argument);
  EXPECT_THROW(software::run_sequences({}, m.model->layers(), *x, software::Mode::Forward), std::invalid_argument);
  // Predict checks the model's last layer even when the run ends on hardware.
  auto only_input = Model::create();
  only_input->add(layer(LayerType::InputData,
                        {{"input_width", 1}, {"input_height", 2}, {"input_channels", 1}, {"input_bits", 8}}, "in"));
  EXPECT_THROW(software::run_sequences(m.sequences, only_input->layers(), *x, software::Mode::Predict),
               std::invalid_argument);
  auto activated = Model::create();
  activated->add(layer(LayerType::InputData,
                       {{"input_width", 1}, {"input_height", 2}, {"input_channels", 1}, {"input_bits", 8}}, "in"));
  activated->add(layer(LayerType::Dense1D, {{"units", 2}, {"activation", 1}}, "relu"));
  EXPECT_THROW(software::run_sequences(m.sequences, activated->layers(), *x, software::Mode::Predict),
               std::runtime_error);
}

}  // namespace
}  // namespace ovrix
