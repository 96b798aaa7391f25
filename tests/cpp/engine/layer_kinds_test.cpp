// Shapes, bit widths, targets and initial variables of every layer kind, one table row per case.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/model.h"
#include "support/engine_util.h"

namespace ovrix {
namespace {

using test::dims_text;
using test::input_data;
using test::make_layer;

struct Var {
  const char* name;
  TensorType type;
  Shape shape;
  int layout = 0;
};

struct Case {
  const char* label;
  // Inputs of the layer under test (each one an InputData), then the layer itself.
  std::vector<Shape> inputs;
  LayerType type;
  std::map<std::string, int> params;
  Shape output;
  uint8_t input_bits, output_bits;
  bool output_signed;
  hw::TargetKind target;
  IpVersion edition;
  std::vector<Var> variables;
  uint64_t macs;
  int input_bits_of_inputs = 8;
};

const Shape c16{16};

std::vector<Var> out_group(uint32_t n, bool relu = true) {
  std::vector<Var> v = {{"bias", TensorType::int8, Shape{n}},
                        {"bias_shift", TensorType::uint8, Shape{n}},
                        {"output_scales", TensorType::uint8, Shape{n}},
                        {"output_shift", TensorType::int8, Shape{n}}};
  if (relu) {
    v.push_back({"max_value", TensorType::uint8, Shape{n}});
    v.push_back({"max_value_shift", TensorType::uint8, Shape{n}});
  }
  return v;
}

std::vector<Var> cat(std::vector<Var> a, const std::vector<Var>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<Case> cases() {
  using T = TensorType;
  using K = hw::TargetKind;
  return {
      {"Convolutional valid, strides and max pooling", {Shape{10, 8, 2}}, LayerType::Convolutional,
       {{"kernel_width", 3}, {"kernel_height", 5}, {"stride_y", 2}, {"filters", 4}, {"pool_type", 1}},
       Shape{4, 1, 4}, 1, 1, false, K::CNP, IpVersion::v1,
       {{"weights", T::bit, Shape{4, 2, 5, 3}, 1}, {"threshold", T::int32, Shape{4}}, {"act_step", T::float32, Shape{4}}},
       8 * 2 * 4 * 3 * 5 * 2, 1},
      {"Convolutional global pooling, no activation", {Shape{5, 5, 1}}, LayerType::Convolutional,
       {{"filters", 3}, {"padding", 1}, {"pool_type", 2}, {"pooling_width", -1}, {"pooling_height", -1},
        {"activation", 0}, {"weights_bits", 4}},
       Shape{1, 1, 3}, 1, 32, true, K::CNP, IpVersion::v1,
       {{"weights", T::int4, Shape{3, 1, 3, 3}, 1}, {"threshold", T::int32, Shape{3}}, {"act_step", T::float32, Shape{3}}},
       5 * 5 * 3 * 9, 1},
      {"SeparableConvolutional same", {Shape{6, 6, 3}}, LayerType::SeparableConvolutional,
       {{"filters", 5}, {"padding", 1}, {"act_bits", 2}},
       Shape{6, 6, 5}, 1, 2, false, K::CNP, IpVersion::v1,
       {{"weights", T::bit, Shape{1, 3, 3, 3}, 1}, {"weights_pw", T::bit, Shape{5, 3}, 1},
        {"threshold", T::int32, Shape{5}}, {"act_step", T::float32, Shape{5}}},
       6 * 6 * 3 * 9 + 6 * 6 * 3 * 5, 1},
      {"FullyConnected", {Shape{2, 1, 3}}, LayerType::FullyConnected, {{"units", 10}, {"act_bits", 2}},
       Shape{1, 1, 10}, 1, 2, false, K::FNP, IpVersion::v1,
       {{"weights", T::bit, Shape{10, 6, 1, 1}, 1}, {"threshold", T::int32, Shape{10}},
        {"act_step", T::float32, Shape{10}}, {"threshold_learning", T::int32, Shape{10}},
        {"thswap", T::int32, Shape{10}}},
       60, 1},
      {"Add", {Shape{8, 8, 4}, Shape{8, 8, 4}}, LayerType::Add, {}, Shape{8, 8, 4}, 8, 8, false, K::SkipDma,
       IpVersion::none,
       {{"a_shift", T::uint8, Shape{4}}, {"b_shift", T::uint8, Shape{4}}, {"output_shift", T::int8, Shape{4}}}, 0},
      {"Concatenate", {Shape{8, 8, 4}, Shape{8, 8, 6}}, LayerType::Concatenate, {}, Shape{8, 8, 10}, 8, 8, false,
       K::SkipDma, IpVersion::none, {}, 0},
      {"Conv2D stride 2 same", {Shape{9, 9, 3}}, LayerType::Conv2D, {{"filters", 8}, {"kernel_stride", 2}},
       Shape{5, 5, 8}, 8, 8, false, K::CNP, IpVersion::v2,
       cat({{"weights", T::int8, Shape{3, 3, 3, 8}}, {"input_shift", T::uint8, Shape{3}}}, out_group(8)),
       5 * 5 * 8 * 9 * 3},
      {"Conv2D max pooling", {Shape{8, 8, 3}}, LayerType::Conv2D, {{"filters", 16}, {"pool_type", 1}},
       Shape{4, 4, 16}, 8, 8, false, K::CNP, IpVersion::v2,
       cat({{"weights", T::int8, Shape{3, 3, 3, 16}}, {"input_shift", T::uint8, Shape{3}}}, out_group(16)),
       8 * 8 * 16 * 9 * 3},
      {"Conv2D global average pooling, no activation", {Shape{12, 12, 3}}, LayerType::Conv2D,
       {{"filters", 2}, {"padding", 0}, {"pool_type", 2}, {"pool_size", -1}, {"activation", 0}, {"output_bits", 28}},
       Shape{1, 1, 2}, 8, 28, true, K::CNP, IpVersion::v2,
       cat({{"weights", T::int8, Shape{3, 3, 3, 2}}, {"input_shift", T::uint8, Shape{3}}}, out_group(2, false)),
       10 * 10 * 2 * 9 * 3},
      {"Conv2D 4-bit weights, lookup table", {Shape{4, 4, 1}}, LayerType::Conv2D,
       {{"filters", 2}, {"weights_bits", 4}, {"activation", 2}, {"output_bits", 4}},
       Shape{4, 4, 2}, 8, 4, true, K::CNP, IpVersion::v2,
       cat(cat({{"weights", T::int4, Shape{3, 3, 1, 2}}, {"input_shift", T::uint8, Shape{1}}}, out_group(2, false)),
           {{"activation_shift", T::int8, Shape{2}}, {"activation_scales", T::uint8, Shape{2}},
            {"lut_values", T::int32, Shape{2048}}}),
       4 * 4 * 2 * 9},
      {"InputConv2D", {Shape{32, 32, 3}}, LayerType::InputConv2D, {{"filters", 8}, {"kernel_stride", 2}},
       Shape{16, 16, 8}, 8, 8, false, K::HRC, IpVersion::v2,
       cat({{"weights", T::int8, Shape{3, 3, 3, 8}}, {"padding_value", T::uint8, Shape{3}}}, out_group(8)),
       16 * 16 * 8 * 9 * 3},
      {"DepthwiseConv2D", {Shape{8, 8, 6}}, LayerType::DepthwiseConv2D, {{"kernel_size", 5}},
       Shape{8, 8, 6}, 8, 8, false, K::CNP, IpVersion::v2,
       cat({{"weights", T::int8, Shape{5, 5, 1, 6}}, {"input_shift", T::uint8, Shape{6}}}, out_group(6)),
       8 * 8 * 6 * 25},
      {"Conv2DTranspose doubles", {Shape{4, 5, 3}}, LayerType::Conv2DTranspose, {{"filters", 2}, {"activation", 0}},
       Shape{8, 10, 2}, 8, 8, true, K::CNP, IpVersion::v2,
       cat({{"weights", T::int8, Shape{3, 3, 3, 2}}, {"input_shift", T::uint8, Shape{3}}}, out_group(2, false)),
       4 * 5 * 2 * 9 * 3},
      {"DepthwiseConv2DTranspose doubles", {Shape{4, 5, 3}}, LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}},
       Shape{8, 10, 3}, 8, 8, false, K::CNP, IpVersion::v2,
       cat({{"weights", T::int8, Shape{4, 4, 1, 3}}, {"input_shift", T::uint8, Shape{3}}}, out_group(3)),
       4 * 5 * 3 * 16},
      {"Dequantizer", {Shape{1, 1, 10}}, LayerType::Dequantizer, {}, Shape{1, 1, 10}, 8, 32, true, K::None,
       IpVersion::none, {{"scales", T::float32, Shape{10}}}, 0},
      {"Quantizer channels first", {Shape{4, 5, 3}}, LayerType::Quantizer, {{"channels_first", 1}}, Shape{4, 5, 3},
       8, 8, true, K::None, IpVersion::none,
       {{"scales", T::float32, Shape{4}}, {"zero_points", T::uint8, Shape{4}}}, 0},
      {"BufferTempConv", {Shape{1, 1, 16}}, LayerType::BufferTempConv, {{"fifo_size", 5}, {"filters", 8}},
       Shape{1, 1, 8}, 8, 8, false, K::TNP_B, IpVersion::v2,
       cat({{"weights", T::int8, Shape{1, 1, 80, 8}}, {"input_shift", T::uint8, c16}}, out_group(8)), 8 * 5 * 16},
      {"DepthwiseBufferTempConv", {Shape{2, 2, 16}}, LayerType::DepthwiseBufferTempConv,
       {{"fifo_size", 4}, {"pool_type", 2}},
       Shape{1, 1, 16}, 8, 8, false, K::TNP_B, IpVersion::v2,
       cat({{"weights", T::int8, Shape{1, 1, 4, 16}}, {"input_shift", T::uint8, c16}}, out_group(16)),
       2 * 2 * 16 * 4},
      {"Dense1D", {Shape{2, 3, 4}}, LayerType::Dense1D, {{"units", 5}, {"activation", 0}, {"output_bits", 32}},
       Shape{1, 1, 5}, 8, 32, true, K::FNP, IpVersion::v2,
       cat({{"weights", T::int8, Shape{24, 5}}, {"input_shift", T::uint8, Shape{24}}}, out_group(5, false)), 120},
      {"StatefulRecurrent", {Shape{1, 10, 16}}, LayerType::StatefulRecurrent,
       {{"stateful_channels", 64}, {"output_channels", 32}, {"subsample", 3}},
       Shape{1, 4, 32}, 8, 8, false, K::TNP_R, IpVersion::lumo,
       cat({{"in_proj", T::int8, Shape{64, 16}},
            {"out_proj", T::int8, Shape{32, 64}},
            {"A_real", T::int16, Shape{64}},
            {"A_imag", T::int16, Shape{64}},
            {"internal_state_outputs_shift", T::int8, Shape{64}},
            {"new_state_scale", T::uint8, Shape{64}},
            {"new_state_shift", T::int8, Shape{64}},
            {"input_shift", T::uint8, c16}},
           out_group(32)),
       10 * (64 * 16 + 32 * 64)},
      {"StatefulRecurrent without state channels", {Shape{1, 4, 8}}, LayerType::StatefulRecurrent,
       {{"stateful_channels", 0}, {"output_channels", 2}, {"subsample", 0}, {"activation", 0}},
       Shape{1, 4, 2}, 8, 8, true, K::TNP_R, IpVersion::lumo,
       cat({{"input_shift", T::uint8, Shape{8}}}, out_group(2, false)), 0},
      {"LumoPostProcessing", {Shape{1, 10, 1}}, LayerType::LumoPostProcessing, {}, Shape{1, 1, 1}, 8, 16, false,
       K::TNP_R, IpVersion::lumo,
       {{"threshold", T::uint16, Shape{1}}, {"input_scales", T::uint8, Shape{1}}, {"input_shift", T::int8, Shape{1}}},
       0},
  };
}

class LayerKinds : public ::testing::TestWithParam<Case> {};

TEST_P(LayerKinds, ShapesBitsTargetsAndVariables) {
  const Case& c = GetParam();
  auto model = Model::create();
  std::vector<std::shared_ptr<Layer>> inbounds;
  for (size_t i = 0; i < c.inputs.size(); ++i) {
    auto in = input_data(c.inputs[i][0], c.inputs[i][1], c.inputs[i][2], c.input_bits_of_inputs, 0,
                         "in" + std::to_string(i));
    model->add(in);
    inbounds.push_back(in);
  }
  auto layer = make_layer(c.type, c.params, "under_test");
  EXPECT_THROW(layer->output_dims(), std::runtime_error);
  model->add(layer, inbounds);

  ASSERT_EQ(layer->input_dims().size(), c.inputs.size());
  for (size_t i = 0; i < c.inputs.size(); ++i) EXPECT_TRUE(layer->input_dims()[i] == c.inputs[i]);
  EXPECT_TRUE(layer->output_dims() == c.output) << dims_text(layer->output_dims());
  EXPECT_EQ(layer->input_bits(), c.input_bits);
  EXPECT_EQ(layer->output_bits(), c.output_bits);
  EXPECT_EQ(layer->output_signed(), c.output_signed);
  EXPECT_EQ(layer->ip_version(), c.edition);
  for (uint32_t k = 0; k <= 7; ++k) {
    EXPECT_EQ(layer->is_target_component(static_cast<hw::TargetKind>(k)), static_cast<hw::TargetKind>(k) == c.target)
        << "kind " << k;
  }
  EXPECT_FALSE(layer->is_input_layer());
  EXPECT_EQ(layer->macs(), c.macs);
  const bool depthwise = c.type == LayerType::DepthwiseConv2D || c.type == LayerType::DepthwiseConv2DTranspose ||
                         c.type == LayerType::DepthwiseBufferTempConv;
  EXPECT_EQ(layer->channels_follow_neurons(), depthwise);
  // output_flag: "applies an activation" on v2 and lumo kinds, never on v1 kinds.
  const bool v2_or_lumo = c.edition == IpVersion::v2 || c.edition == IpVersion::lumo;
  EXPECT_EQ(layer->output_flag(), v2_or_lumo && layer->activation_enabled());

  auto vars = layer->variables();
  std::vector<std::string> names;
  for (const auto& v : c.variables) names.push_back(v.name);
  EXPECT_EQ(vars->names(), names);
  for (const auto& v : c.variables) {
    auto t = vars->get(v.name);
    ASSERT_NE(t, nullptr) << v.name;
    EXPECT_EQ(t->type(), v.type) << v.name;
    EXPECT_TRUE(t->shape() == v.shape) << v.name << " " << dims_text(t->shape());
    EXPECT_EQ(t->layout(), v.layout) << v.name;
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, LayerKinds, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string s;
                           for (const char* p = info.param.label; *p; ++p) s += std::isalnum(*p) ? *p : '_';
                           return s;
                         });

TEST(LayerKinds, InputLayersAreBuiltFromTheirKeys) {
  auto in = input_data(8, 6, 3, 4, 1);
  EXPECT_TRUE(in->is_input_layer());
  EXPECT_TRUE((in->input_dims().at(0) == Shape{8, 6, 3}));
  EXPECT_TRUE((in->output_dims() == Shape{8, 6, 3}));
  EXPECT_EQ(in->input_bits(), 4);
  EXPECT_EQ(in->output_bits(), 4);
  EXPECT_TRUE(in->output_signed());
  EXPECT_TRUE(in->is_target_component(hw::TargetKind::None));
  EXPECT_EQ(in->ip_version(), IpVersion::none);

  // The HRC check layer: 8 x 8 x 1, kernel 3, stride 2, Same, max pooling 2 x 2 stride 2.
  auto hrc = make_layer(LayerType::InputConvolutional,
                        {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}, {"kernel_width", 3},
                         {"kernel_height", 3}, {"padding", 1}, {"stride_x", 2}, {"stride_y", 2}, {"filters", 1},
                         {"weights_bits", 1}, {"padding_value", 0}, {"activation", 1}, {"act_bits", 1},
                         {"pooling_width", 2}, {"pooling_height", 2}, {"pool_type", 1}, {"pooling_stride_x", 2},
                         {"pooling_stride_y", 2}},
                        "inputconv");
  EXPECT_TRUE(hrc->is_input_layer());
  EXPECT_TRUE(hrc->is_target_component(hw::TargetKind::HRC));
  EXPECT_EQ(hrc->ip_version(), IpVersion::v1);
  EXPECT_FALSE(hrc->output_flag());
  EXPECT_TRUE((hrc->output_dims() == Shape{2, 2, 1}));
  EXPECT_EQ(hrc->input_bits(), 8);
  EXPECT_EQ(hrc->output_bits(), 1);
  auto* ic = dynamic_cast<InputConvolutional*>(hrc.get());
  ASSERT_NE(ic, nullptr);
  // Convolution 8 -> 4 with one padding value after (odd padding after for Same).
  EXPECT_EQ(ic->conv_calculated_params().output_width, 4u);
  EXPECT_TRUE((ic->conv_calculated_params().padding == PaddingParams{0, 1, 0, 1}));
  EXPECT_EQ(ic->build_values(), (std::array<uint32_t, 4>{0, 1, 0, 1}));
  auto w = hrc->variables()->get("weights");
  EXPECT_TRUE((w->shape() == Shape{3, 3, 1, 1}));
  EXPECT_EQ(w->layout(), 0);
  EXPECT_EQ(hrc->macs(), 4u * 4 * 9);
}

TEST(LayerKinds, CalculatedParamsAndPadding) {
  struct Row {
    const char* label;
    uint32_t in;
    int kernel, stride, padding;
    uint32_t out;
    PaddingParams pad;
  };
  const Row rows[] = {
      {"valid", 9, 3, 2, 0, 4, {0, 0, 0, 0}},
      {"same odd after", 8, 3, 2, 1, 4, {0, 1, 0, 1}},
      {"same upper odd before", 8, 3, 2, 2, 4, {1, 0, 1, 0}},
      {"same even", 8, 3, 1, 1, 8, {1, 1, 1, 1}},
      {"same kernel 4", 8, 4, 1, 1, 8, {1, 2, 1, 2}},
      {"same upper kernel 4", 8, 4, 1, 2, 8, {2, 1, 2, 1}},
  };
  for (const auto& r : rows) {
    auto model = Model::create();
    model->add(input_data(r.in, r.in, 1));
    auto conv = make_layer(LayerType::Conv2D,
                           {{"filters", 1}, {"kernel_size", r.kernel}, {"kernel_stride", r.stride}, {"padding", r.padding}},
                           "c");
    model->add(conv);
    auto& cp = dynamic_cast<HasConvParams&>(*conv).conv_calculated_params();
    EXPECT_EQ(cp.output_width, r.out) << r.label;
    EXPECT_EQ(cp.output_height, r.out) << r.label;
    EXPECT_TRUE(cp.padding == r.pad) << r.label;
    auto& pp = dynamic_cast<HasPoolParams&>(*conv).pool_calculated_params();
    EXPECT_EQ(pp.stride_x, 1) << r.label;
    EXPECT_EQ(pp.flag, 0) << r.label;
  }
}

TEST(LayerKinds, PoolingRecords) {
  auto model = Model::create();
  model->add(input_data(12, 12, 3));
  auto gap = make_layer(LayerType::Conv2D,
                        {{"filters", 2}, {"padding", 0}, {"pool_type", 2}, {"pool_size", -1}}, "gap");
  model->add(gap);
  auto& g = dynamic_cast<HasPoolParams&>(*gap).pool_calculated_params();
  EXPECT_EQ(g.output_width, 1u);
  EXPECT_EQ(g.flag, 1);  // global
  EXPECT_EQ(dynamic_cast<HasConvParams&>(*gap).conv_calculated_params().output_height, 10u);
  EXPECT_TRUE(gap->has_pool_type(PoolType::Average));
  EXPECT_FALSE(gap->has_pool_type(PoolType::Max));

  auto maxp = make_layer(LayerType::Conv2D, {{"filters", 2}, {"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}},
                         "maxp");
  model->add(maxp);
  auto& m = dynamic_cast<HasPoolParams&>(*maxp).pool_calculated_params();
  // 1 x 1 after the global pooling: Same pooling keeps one output.
  EXPECT_EQ(m.output_width, 1u);
  EXPECT_EQ(m.stride_x, 2);
  EXPECT_EQ(m.stride_y, 2);
  EXPECT_TRUE((m.padding == PaddingParams{1, 1, 1, 1}));
}

TEST(LayerKinds, NotBuiltRefusals) {
  auto conv = make_layer(LayerType::Conv2D, {{"filters", 4}}, "conv_a");
  auto& hc = dynamic_cast<HasConvParams&>(*conv);
  auto& hp = dynamic_cast<HasPoolParams&>(*conv);
  try {
    hc.conv_calculated_params();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The layer conv_a is not built.");
  }
  EXPECT_THROW(hp.pool_calculated_params(), std::runtime_error);
  try {
    conv->input_dims();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot get input size before it is set.");
  }
  try {
    conv->output_dims();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot get output size before it is set.");
  }
  EXPECT_EQ(conv->input_bits(), 0);
  EXPECT_EQ(conv->output_bits(), 8);
  EXPECT_EQ(conv->macs(), 0u);
}

TEST(LayerKinds, ClassesCallersCastTo) {
  struct Row {
    LayerType type;
    std::map<std::string, int> params;
    bool conv, pool;
  };
  const Row rows[] = {
      {LayerType::Convolutional, {{"filters", 1}}, true, true},
      {LayerType::SeparableConvolutional, {{"filters", 1}}, true, true},
      {LayerType::Conv2D, {{"filters", 1}}, true, true},
      {LayerType::DepthwiseConv2D, {}, true, true},
      {LayerType::InputConv2D, {{"filters", 1}}, true, true},
      {LayerType::Conv2DTranspose, {{"filters", 1}}, false, false},
      {LayerType::DepthwiseConv2DTranspose, {}, false, false},
      {LayerType::Dense1D, {{"units", 1}}, false, false},
  };
  for (const auto& r : rows) {
    auto l = make_layer(r.type, r.params, "l");
    EXPECT_NE(dynamic_cast<LayerImpl*>(l.get()), nullptr);
    EXPECT_EQ(dynamic_cast<HasConvParams*>(l.get()) != nullptr, r.conv) << layer_type_name(r.type);
    EXPECT_EQ(dynamic_cast<HasPoolParams*>(l.get()) != nullptr, r.pool) << layer_type_name(r.type);
  }
  EXPECT_NE(dynamic_cast<Conv2D*>(make_layer(LayerType::Conv2D, {{"filters", 1}}, "a").get()), nullptr);
  EXPECT_NE(dynamic_cast<DepthwiseConv2D*>(make_layer(LayerType::DepthwiseConv2D, {}, "a").get()), nullptr);
  EXPECT_NE(dynamic_cast<Conv2DTranspose*>(make_layer(LayerType::Conv2DTranspose, {{"filters", 1}}, "a").get()),
            nullptr);
  EXPECT_NE(dynamic_cast<DepthwiseConv2DTranspose*>(make_layer(LayerType::DepthwiseConv2DTranspose, {}, "a").get()),
            nullptr);
  EXPECT_NE(dynamic_cast<Convolutional*>(make_layer(LayerType::Convolutional, {{"filters", 1}}, "a").get()), nullptr);
  EXPECT_NE(dynamic_cast<SeparableConvolutional*>(
                make_layer(LayerType::SeparableConvolutional, {{"filters", 1}}, "a").get()),
            nullptr);
  EXPECT_NE(dynamic_cast<FullyConnected*>(make_layer(LayerType::FullyConnected, {{"units", 1}}, "a").get()), nullptr);
}

TEST(LayerKinds, ActivationQueries) {
  auto v1_off = make_layer(LayerType::FullyConnected, {{"units", 2}, {"activation", 0}}, "a");
  EXPECT_FALSE(v1_off->activation_enabled());
  auto v1_on = make_layer(LayerType::FullyConnected, {{"units", 2}, {"activation", 5}}, "b");
  EXPECT_TRUE(v1_on->has_activation_type(ActivationType::ReLU));
  EXPECT_FALSE(v1_on->output_flag());
  auto lut = make_layer(LayerType::Conv2D, {{"filters", 1}, {"activation", 2}}, "c");
  EXPECT_TRUE(lut->has_activation_type(ActivationType::LUT));
  EXPECT_TRUE(lut->output_flag());
  auto unknown = make_layer(LayerType::Dense1D, {{"units", 1}, {"activation", 9}}, "d");
  EXPECT_TRUE(unknown->activation_enabled());
  EXPECT_FALSE(unknown->has_activation_type(ActivationType::ReLU));
  EXPECT_FALSE(unknown->has_activation_type(ActivationType::LUT));
  auto in = input_data(1, 1, 1);
  EXPECT_FALSE(in->activation_enabled());
  EXPECT_TRUE(in->has_pool_type(PoolType::NoPooling));
}

TEST(LayerKinds, SplittableKinds) {
  EXPECT_TRUE(make_layer(LayerType::Conv2D, {{"filters", 1}}, "a")->splittable());
  EXPECT_TRUE(make_layer(LayerType::Dense1D, {{"units", 1}}, "a")->splittable());
  EXPECT_FALSE(make_layer(LayerType::InputConv2D, {{"filters", 1}}, "a")->splittable());
  EXPECT_FALSE(make_layer(LayerType::Add, {}, "a")->splittable());
  EXPECT_FALSE(make_layer(LayerType::StatefulRecurrent, {{"stateful_channels", 1}, {"output_channels", 1}}, "a")
                   ->splittable());
}

TEST(LayerKinds, BuildRefusals) {
  struct Row {
    const char* label;
    Shape in;
    LayerType type;
    std::map<std::string, int> params;
  };
  const Row rows[] = {
      {"valid kernel larger than input", Shape{2, 2, 1}, LayerType::Conv2D, {{"filters", 1}, {"padding", 0}}},
      {"depthwise filters differ", Shape{4, 4, 3}, LayerType::DepthwiseConv2D, {{"filters", 4}}},
      {"v1 valid pooling too large", Shape{3, 3, 1}, LayerType::Convolutional,
       {{"filters", 1}, {"pool_type", 1}, {"pooling_width", 5}}},
      {"temporal pooling too large", Shape{2, 2, 1}, LayerType::BufferTempConv,
       {{"fifo_size", 1}, {"filters", 1}, {"pool_type", 1}, {"pool_size", 3}}},
  };
  for (const auto& r : rows) {
    auto model = Model::create();
    model->add(input_data(r.in[0], r.in[1], r.in[2]));
    auto l = make_layer(r.type, r.params, "l");
    EXPECT_THROW(model->add(l), std::invalid_argument) << r.label;
    EXPECT_EQ(model->layer_count(), 1u) << r.label;
    EXPECT_THROW(l->output_dims(), std::runtime_error) << r.label;
  }
  // A convolution whose output is empty still builds under global pooling (the mapping rules report it).
  auto model = Model::create();
  model->add(input_data(2, 2, 1));
  auto gap = make_layer(LayerType::Conv2D, {{"filters", 1}, {"padding", 0}, {"pool_type", 2}, {"pool_size", -1}},
                        "gap");
  model->add(gap);
  EXPECT_EQ(dynamic_cast<HasConvParams&>(*gap).conv_calculated_params().output_height, 0u);
  EXPECT_TRUE((gap->output_dims() == Shape{1, 1, 1}));
}

TEST(LayerKinds, MergeShapeRefusals) {
  auto model = Model::create();
  auto a = input_data(8, 8, 4, 8, 0, "a");
  auto b = input_data(8, 4, 4, 8, 1, "b");
  model->add(a);
  model->add(b);
  EXPECT_THROW(model->add(make_layer(LayerType::Add, {}, "add"), {a, b}), std::invalid_argument);
  EXPECT_THROW(model->add(make_layer(LayerType::Concatenate, {}, "cat"), {a, b}), std::invalid_argument);
  // The same inbound twice is allowed (the mapping rules refuse it with their own message).
  auto add = make_layer(LayerType::Add, {}, "add2");
  model->add(add, {b, b});
  EXPECT_EQ(add->inbounds().size(), 2u);
  EXPECT_EQ(b->outbounds().size(), 1u);
  EXPECT_TRUE(add->output_signed());
}

}  // namespace
}  // namespace ovrix
