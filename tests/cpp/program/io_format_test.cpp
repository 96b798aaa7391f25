#include "program/io_format.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/program_fake_layer.h"

namespace ovrix {
namespace {

using ::testing::ThrowsMessage;

using program_test::FakeLayer;

template <class T>
std::shared_ptr<Dense> tensor(TensorType type, const std::vector<T>& values) {
  return Dense::copy(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T), type,
                     Shape{static_cast<uint32_t>(values.size())});
}


TEST(InputParameters, HrcInputIsUnsignedAndUnscaled) {
  FakeLayer first("in", LayerType::InputConv2D);
  first.target = hw::TargetKind::HRC;
  first.in_bits = 8;
  EXPECT_EQ(io::input_bits(first), 8);
  EXPECT_FALSE(io::input_sign(first));
  EXPECT_FALSE(io::input_channels_first(first));
  EXPECT_TRUE(io::format_input_scales(first).empty());
  EXPECT_TRUE(io::format_input_zero_points(first).empty());
}

struct SignCase {
  uint8_t bits;
  hw::TargetKind target;
  bool sign;
};

class InputSign : public ::testing::TestWithParam<SignCase> {};

TEST_P(InputSign, FollowsWidthAndTarget) {
  FakeLayer first("c", LayerType::Conv2D);
  first.in_bits = GetParam().bits;
  first.out_bits = 1;  // only a Quantizer reads its output side
  first.target = GetParam().target;
  EXPECT_EQ(io::input_sign(first), GetParam().sign);
  EXPECT_EQ(io::input_bits(first), GetParam().bits);
}

INSTANTIATE_TEST_SUITE_P(Widths, InputSign,
                         ::testing::Values(SignCase{4, hw::TargetKind::CNP, false}, SignCase{5, hw::TargetKind::CNP, true},
                                           SignCase{8, hw::TargetKind::FNP, true}, SignCase{8, hw::TargetKind::HRC, false},
                                           SignCase{1, hw::TargetKind::HRC, false}));

TEST(InputParameters, QuantizerDescribesTheFloatInput) {
  FakeLayer q("q", LayerType::Quantizer, {{"channels_first", 1}});
  q.in_bits = 32;
  q.out_bits = 4;
  q.out_signed = true;
  q.vars->set("scales", tensor<float>(TensorType::float32, {0.5f, 0.25f}));
  q.vars->set("zero_points", tensor<uint8_t>(TensorType::uint4, {3, 15}));
  EXPECT_EQ(io::input_bits(q), 4);
  EXPECT_TRUE(io::input_sign(q));
  EXPECT_TRUE(io::input_channels_first(q));
  EXPECT_EQ(io::format_input_scales(q), (std::vector<float>{0.5f, 0.25f}));
  EXPECT_EQ(io::format_input_zero_points(q), (std::vector<uint8_t>{3, 15}));

  FakeLayer last_first("q2", LayerType::Quantizer, {{"channels_first", 0}});
  EXPECT_FALSE(io::input_channels_first(last_first));
}

TEST(InputParameters, QuantizerVariablesOfTheWrongTypeAreRefused) {
  FakeLayer q("q", LayerType::Quantizer, {{"channels_first", 0}});
  q.vars->set("scales", tensor<int8_t>(TensorType::int8, {1}));
  q.vars->set("zero_points", tensor<int8_t>(TensorType::int8, {1}));
  EXPECT_THAT([&] { io::format_input_scales(q); }, ThrowsMessage<std::exception>("Wrong requested type f for a tensor of type int8"));
  EXPECT_THAT([&] { io::format_input_zero_points(q); }, ThrowsMessage<std::exception>("Wrong requested type h for a tensor of type int8"));
}

TEST(InputParameters, MissingVariableIsAClearError) {
  FakeLayer q("q", LayerType::Quantizer, {{"channels_first", 0}});
  EXPECT_THAT([&] { io::format_input_scales(q); }, ThrowsMessage<std::exception>("Layer 'q' has no variable 'scales'."));
  FakeLayer d("d", LayerType::Dequantizer);
  EXPECT_THAT([&] { io::format_output_shift(d); }, ThrowsMessage<std::exception>("Layer 'd' has no variable 'scales'."));
}

TEST(OutputParameters, ReluLayerGivesReciprocalStepsAndThresholds) {
  FakeLayer last("fc", LayerType::Dense1D);
  last.act = ActivationType::ReLU;
  last.out_flag = false;
  last.vars->set("act_step", tensor<float>(TensorType::float32, {0.5f, 0.0f, 4.0f, -0.0f, 3.0f}));
  last.vars->set("threshold", tensor<int32_t>(TensorType::int32, {7, -1, 0}));
  const auto scales = io::format_output_scales(last);
  ASSERT_EQ(scales.size(), 5u);
  EXPECT_EQ(scales[0], 2.0f);
  EXPECT_EQ(scales[1], 0.0f);
  EXPECT_EQ(scales[2], 0.25f);
  EXPECT_EQ(scales[3], 0.0f);
  EXPECT_TRUE(std::signbit(scales[3]));  // a zero step is copied, sign included
  EXPECT_EQ(scales[4], 1.0f / 3.0f);
  EXPECT_EQ(io::format_output_shift(last), (std::vector<int32_t>{7, -1, 0}));
}

TEST(OutputParameters, DequantizerGivesItsScalesAndZeroShifts) {
  FakeLayer last("dq", LayerType::Dequantizer);
  last.vars->set("scales", tensor<float>(TensorType::float32, {1.5f, 2.5f, 3.5f}));
  EXPECT_EQ(io::format_output_scales(last), (std::vector<float>{1.5f, 2.5f, 3.5f}));
  EXPECT_EQ(io::format_output_shift(last), (std::vector<int32_t>{0, 0, 0}));
}

struct NoScalingCase {
  ActivationType act;
  bool output_flag;
};

class OutputLeftAsItIs : public ::testing::TestWithParam<NoScalingCase> {};

TEST_P(OutputLeftAsItIs, GivesEmptyLists) {
  FakeLayer last("l", LayerType::Conv2D);
  last.act = GetParam().act;
  last.out_flag = GetParam().output_flag;
  // Present but not to be read.
  last.vars->set("act_step", tensor<float>(TensorType::float32, {1.0f}));
  last.vars->set("threshold", tensor<int32_t>(TensorType::int32, {1}));
  EXPECT_TRUE(io::format_output_scales(last).empty());
  EXPECT_TRUE(io::format_output_shift(last).empty());
}

INSTANTIATE_TEST_SUITE_P(Activations, OutputLeftAsItIs,
                         ::testing::Values(NoScalingCase{ActivationType::NoActivation, false},
                                           NoScalingCase{ActivationType::LUT, false},
                                           NoScalingCase{ActivationType::ReLU, true}));

TEST(OutputParameters, ThresholdOfTheWrongTypeIsRefused) {
  FakeLayer last("l", LayerType::Dense1D);
  last.act = ActivationType::ReLU;
  last.vars->set("threshold", tensor<float>(TensorType::float32, {1.0f}));
  EXPECT_THAT([&] { io::format_output_shift(last); }, ThrowsMessage<std::exception>("Wrong requested type i for a tensor of type float32"));
}

}  // namespace
}  // namespace ovrix
