// The v2 convolution rules: every message, and the order in which one call gathers them.
#include <gtest/gtest.h>

#include "backends/v2/rules.h"
#include "mapping/hardware_constraints.h"
#include "support/v2_fake_layer.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using testing::FakeGraph;
using testing::FakeLayer;
using testing::joined;
using testing::make_vector;

const HardwareConstraints& v2_limits() {
  static const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  return limits;
}

// A convolution that meets every rule: 16 x 16 x 8 input, 8-bit in and out with ReLU, kernel 3,
// stride 1, Same padding, 8-bit weights, 16 filters, no pooling.
std::shared_ptr<FakeLayer> valid_conv(FakeGraph* g, LayerType type = LayerType::Conv2D) {
  auto l = g->add("conv", type, hw::TargetKind::CNP);
  l->inputs = {Shape{16, 16, 8}};
  l->output = Shape{16, 16, 16};
  l->activation_on = true;
  l->act = ActivationType::ReLU;
  for (auto [k, v] : std::map<std::string, int>{{"padding", 1}, {"kernel_stride", 1}, {"weights_bits", 8},
                                                {"activation", 1}, {"pool_type", 0}, {"pool_size", 2},
                                                {"kernel_size", 3}, {"filters", 16}})
    l->set(k, v);
  if (type == LayerType::DepthwiseConv2D || type == LayerType::DepthwiseConv2DTranspose) l->fake_params.values().erase("filters");
  l->set_variable("input_shift", make_vector<uint8_t>(TensorType::uint8, std::vector<uint8_t>(8, 0)));
  l->conv.output_width = l->conv.output_height = 16;
  l->pool_params.stride_x = l->pool_params.stride_y = 1;
  return l;
}

using Check = MappingStatus (*)(const HardwareConstraints&, const Layer&);

void expect_failure(const MappingStatus& status, const std::string& message) {
  EXPECT_TRUE(status.failed);
  EXPECT_EQ(status.layer_name, "conv");
  EXPECT_EQ(status.message, message);
}

TEST(ConvRules, ValidLayersOfEveryKindPass) {
  FakeGraph g;
  EXPECT_EQ(check_conv2d_constraints(v2_limits(), *valid_conv(&g)), MappingStatus());
  EXPECT_EQ(check_dwconv2d_constraints(v2_limits(), *valid_conv(&g, LayerType::DepthwiseConv2D)), MappingStatus());
  auto t = valid_conv(&g, LayerType::Conv2DTranspose);
  t->set("kernel_size", 4);
  EXPECT_EQ(check_conv2dtranspose_constraints(v2_limits(), *t), MappingStatus());
  EXPECT_EQ(check_dwconv2dtranspose_constraints(v2_limits(), *valid_conv(&g, LayerType::DepthwiseConv2DTranspose)),
            MappingStatus());
}

TEST(ConvRules, Conv2dGathersEveryRuleInOrder) {
  FakeGraph g;
  auto l = valid_conv(&g);
  l->out_bits = 16;
  l->in_bits = 2;
  l->inputs = {Shape{5000, 4097, 2049}};
  l->set("filters", 3000);
  l->set_variable("input_shift", make_vector<uint8_t>(TensorType::uint8, std::vector<uint8_t>(2056, 0)));
  l->set("padding", 0);
  l->set("kernel_size", 2);
  expect_failure(check_conv2d_constraints(v2_limits(), *l),
                 joined({"With activation output bitwidth should be <= 8.", "Input bits should be >= weights bits.",
                         "The maximum input width is 4096 (got 5000).", "The maximum input height is 4096 (got 4097).",
                         "The maximum input channel value is 2048 (got 2049).",
                         "The maximum number of filters is 2048 (got 3000).",
                         "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes).",
                         "Input should be 4-bit or 8-bit.", "Only padding 'Same' and 'SameUpper' are supported.",
                         "Kernel size must be 1, 3, 5 or 7.", "With activation output bitwidth should be 4 or 8."}));
}

TEST(ConvRules, ValidPaddingAloneIsOneFailure) {
  FakeGraph g;
  auto l = valid_conv(&g);
  l->set("padding", 0);
  expect_failure(check_conv2d_constraints(v2_limits(), *l), "Only padding 'Same' and 'SameUpper' are supported.");
}

TEST(ConvRules, SameUpperRulesInOrder) {
  FakeGraph g;
  auto l = valid_conv(&g);
  l->set("padding", 2);
  l->set("weights_bits", 4);
  l->out_bits = 4;
  expect_failure(check_conv2d_constraints(v2_limits(), *l),
                 joined({"With SameUpper padding only stride 2 is supported.",
                         "With SameUpper padding only 8-bit activations are supported.",
                         "With SameUpper padding only 8-bit weights are supported."}));
  l->set("kernel_stride", 2);
  l->set("weights_bits", 8);
  l->out_bits = 8;
  EXPECT_FALSE(check_conv2d_constraints(v2_limits(), *l).failed);
}

TEST(ConvRules, FilterSizeBoundsAndItsCondition) {
  FakeGraph g;
  auto l = valid_conv(&g);
  const char* a = "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth.";
  l->inputs = {Shape{16, 16, 683}};  // 6 words per channel: 4098
  expect_failure(check_conv2d_constraints(v2_limits(), *l), a);
  l->inputs = {Shape{16, 16, 682}};  // 4092
  EXPECT_FALSE(check_conv2d_constraints(v2_limits(), *l).failed);
  l->set("kernel_size", 7);
  l->inputs = {Shape{16, 16, 73}};  // 4088
  EXPECT_FALSE(check_conv2d_constraints(v2_limits(), *l).failed);
  l->inputs = {Shape{16, 16, 74}};  // 4144
  expect_failure(check_conv2d_constraints(v2_limits(), *l), a);
  // Another broken rule: no filter-size failure even when the weights would not fit.
  l->set("kernel_size", 2);
  l->inputs = {Shape{16, 16, 2000}};
  expect_failure(check_conv2d_constraints(v2_limits(), *l), "Kernel size must be 1, 3, 5 or 7.");
}

TEST(ConvRules, FourBitWeightsWithEightBitPotentials) {
  FakeGraph g;
  auto l = valid_conv(&g);
  l->activation_on = false;
  l->act = ActivationType::NoActivation;
  l->set("activation", 0);
  l->set("weights_bits", 4);
  expect_failure(check_conv2d_constraints(v2_limits(), *l), "4-bit weights and 8-bit potential is not allowed.");
  l->out_bits = 28;
  EXPECT_FALSE(check_conv2d_constraints(v2_limits(), *l).failed);
  l->set("weights_bits", 2);
  l->out_bits = 8;
  expect_failure(check_conv2d_constraints(v2_limits(), *l), "Weights bitwidth should be 4-bit or 8-bit.");
}

TEST(ConvRules, FiltersDefaultToInputChannels) {
  FakeGraph g;
  auto l = valid_conv(&g);
  l->fake_params.values().erase("filters");
  HardwareConstraints limits = v2_limits();
  limits.max_filters = 7;
  expect_failure(check_conv2d_constraints(limits, *l), "The maximum number of filters is 7 (got 8).");
}

TEST(ConvRules, InputShiftMemory) {
  FakeGraph g;
  auto l = valid_conv(&g);
  l->set_variable("input_shift", make_vector<uint8_t>(TensorType::uint8, std::vector<uint8_t>(2048, 0)));
  EXPECT_FALSE(check_conv2d_constraints(v2_limits(), *l).failed);
  l->set_variable("input_shift", make_vector<uint8_t>(TensorType::uint8, std::vector<uint8_t>(2049, 0)));
  expect_failure(check_conv2d_constraints(v2_limits(), *l),
                 "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes).");
}

TEST(ConvRules, MaxPoolingRulesInOrder) {
  FakeGraph g;
  auto l = valid_conv(&g);
  l->set("pool_type", 1);
  l->set("kernel_stride", 2);
  l->set("pool_size", 3);
  l->pool_params.stride_y = 2;
  l->inputs = {Shape{2, 16, 8}};
  l->act = ActivationType::LUT;
  l->set("activation", 2);
  expect_failure(check_conv2d_constraints(v2_limits(), *l),
                 joined({"The CNP cannot support both pooling and stride.", "Pooling size must be 1 or 2.",
                         "Pooling stride x and y must be equal.", "Pooling size cannot be greater than input dimensions.",
                         "Max pooling is not supported with activation LUT."}));
  // Stride and one pooling rule together.
  auto m = valid_conv(&g);
  m->set("pool_type", 1);
  m->set("kernel_stride", 2);
  m->set("pool_size", 4);
  expect_failure(check_conv2d_constraints(v2_limits(), *m),
                 joined({"The CNP cannot support both pooling and stride.", "Pooling size must be 1 or 2."}));
}

TEST(ConvRules, GlobalAveragePoolingRulesInOrder) {
  FakeGraph g;
  auto l = valid_conv(&g);
  l->set("pool_type", 2);
  l->set("pool_size", 2);
  l->activation_on = false;
  l->act = ActivationType::NoActivation;
  l->set("activation", 0);
  l->out_bits = 16;
  l->inputs = {Shape{65, 40, 64}};
  l->conv.output_height = 0;
  expect_failure(check_conv2d_constraints(v2_limits(), *l),
                 joined({"With average pooling output bitwidth should be <= 8.", "Global Average pooling must be global.",
                         "When using Global Average Pooling, input height cannot exceed 64.",
                         "When using Global Average Pooling, the output of the convolution must have at least 1 rows "
                         "(currently 0).",
                         "When using Global Average Pooling, input dimensions width * height cannot exceed 144.",
                         "When using Global Average Pooling, spatial split is impossible.",
                         "Without activation output bitwidth should be 8 or 28."}));
}

TEST(ConvRules, GlobalAveragePoolingArea) {
  FakeGraph g;
  auto l = valid_conv(&g);
  l->set("pool_type", 2);
  l->set("pool_size", -1);
  l->inputs = {Shape{12, 12, 8}};
  EXPECT_FALSE(check_conv2d_constraints(v2_limits(), *l).failed);
  l->inputs = {Shape{13, 12, 8}};
  expect_failure(check_conv2d_constraints(v2_limits(), *l),
                 "When using Global Average Pooling, input dimensions width * height cannot exceed 144.");
  // The whole input must fit one CNP: 12 x 12 rows of 12 bytes, 1024 channels is 36864 words.
  l->inputs = {Shape{12, 12, 1024}};
  l->set_variable("input_shift", make_vector<uint8_t>(TensorType::uint8, std::vector<uint8_t>(1024, 0)));
  l->set("kernel_size", 1);
  expect_failure(check_conv2d_constraints(v2_limits(), *l),
                 "When using Global Average Pooling, spatial split is impossible.");
}

TEST(ConvRules, OutputBitsWithActivation) {
  FakeGraph g;
  auto l = valid_conv(&g);
  l->out_bits = 4;
  EXPECT_FALSE(check_conv2d_constraints(v2_limits(), *l).failed);
  l->act = ActivationType::LUT;
  l->set("activation", 2);
  expect_failure(check_conv2d_constraints(v2_limits(), *l), "4-bit activation is not supported with LUT.");
  l->out_bits = 2;
  expect_failure(check_conv2d_constraints(v2_limits(), *l), "With activation output bitwidth should be 4 or 8.");
}

TEST(ConvRules, DepthwiseRules) {
  FakeGraph g;
  auto l = valid_conv(&g, LayerType::DepthwiseConv2D);
  l->set("kernel_size", 1);
  l->set("weights_bits", 4);
  l->inputs = {Shape{16, 16, 2048}};  // no filter-size rule for depthwise layers
  l->set_variable("input_shift", make_vector<uint8_t>(TensorType::uint8, std::vector<uint8_t>(2048, 0)));
  expect_failure(check_dwconv2d_constraints(v2_limits(), *l),
                 joined({"Kernel size must be 3, 5 or 7.", "4-bit weights and 8-bit activation is not allowed."}));
  l->set("kernel_size", 7);
  l->in_bits = 2;
  l->set("weights_bits", 2);
  expect_failure(check_dwconv2d_constraints(v2_limits(), *l),
                 joined({"Input should be 4-bit or 8-bit.", "Weights bitwidth should be 4-bit or 8-bit."}));
}

TEST(ConvRules, TransposedRulesInOrder) {
  FakeGraph g;
  for (auto [type, check] : std::vector<std::pair<LayerType, Check>>{
           {LayerType::Conv2DTranspose, &check_conv2dtranspose_constraints},
           {LayerType::DepthwiseConv2DTranspose, &check_dwconv2dtranspose_constraints}}) {
    auto l = valid_conv(&g, type);
    l->in_bits = 4;
    l->out_bits = 4;
    l->set("weights_bits", 4);
    l->set("kernel_size", 5);
    l->act = ActivationType::LUT;
    l->set("activation", 2);
    expect_failure(check(v2_limits(), *l),
                   joined({"Input should be 8-bit.", "With activation output bitwidth should be 8.",
                           "4-bit activation is not supported with LUT.", "Weights should be 8-bit.",
                           "Kernel size must be 3 or 4."}));
    l->out_bits = 2;
    l->in_bits = 8;
    l->set("weights_bits", 8);
    l->set("kernel_size", 3);
    expect_failure(check(v2_limits(), *l), "With activation output bitwidth should be 8.");
  }
}

TEST(ConvRules, TransposedFilterSize) {
  FakeGraph g;
  auto l = valid_conv(&g, LayerType::Conv2DTranspose);
  l->set("kernel_size", 4);  // 12 words per channel
  l->inputs = {Shape{16, 16, 341}};
  EXPECT_FALSE(check_conv2dtranspose_constraints(v2_limits(), *l).failed);
  l->inputs = {Shape{16, 16, 342}};
  expect_failure(check_conv2dtranspose_constraints(v2_limits(), *l),
                 "Filter size is too big to fit in a CNP: try decreasing the input.");
  auto d = valid_conv(&g, LayerType::DepthwiseConv2DTranspose);
  d->set("kernel_size", 4);
  d->inputs = {Shape{16, 16, 342}};
  EXPECT_FALSE(check_dwconv2dtranspose_constraints(v2_limits(), *d).failed);
}

TEST(ConvRules, MissingInputShape) {
  FakeGraph g;
  auto l = valid_conv(&g);
  l->inputs.clear();
  EXPECT_THROW(check_conv2d_constraints(v2_limits(), *l), std::runtime_error);
}

}  // namespace
}  // namespace ovrix::v2
