// Shapes, bit widths, targets and initial variables of every layer kind (tests/data/engine/layer_kinds.txt),
// calculated parameters, records and refusals.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/model.h"
#include "support/engine_util.h"
#include "support/golden.h"

namespace ovrix {
namespace {

using test::dims_text;
using test::input_data;
using test::make_layer;

Shape shape_of(const std::string& text) {  // "8x8x3"
  Shape s;
  std::stringstream in(text);
  for (std::string d; std::getline(in, d, 'x');) s.dims[s.count++] = static_cast<uint32_t>(std::stoul(d));
  return s;
}

std::vector<std::string> words_of(const std::string& field) {
  std::vector<std::string> out;
  std::stringstream in(field);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

template <class E>
E by_name(const std::string& name, const char* (*name_of)(E), int last) {
  for (int v = 0; v <= last; ++v)
    if (name == name_of(static_cast<E>(v))) return static_cast<E>(v);
  throw std::invalid_argument("unknown name " + name);
}

const char* target_name(hw::TargetKind k) {
  static const char* names[] = {"None", "HRC", "CNP", "FNP", "SkipDma", "TNP_B", "TNP_R", "DMA"};
  return names[static_cast<uint32_t>(k)];
}
const char* edition_name(IpVersion v) {
  static const char* names[] = {"none", "v1", "v2", "lumo"};
  return names[static_cast<int>(v)];
}

class LayerKinds : public ::testing::TestWithParam<golden::Case> {};

TEST_P(LayerKinds, ShapesBitsTargetsAndVariables) {
  const golden::Case& c = GetParam();
  ASSERT_GE(c.fields.size(), 7u);
  const LayerType type = by_name<LayerType>(c[0], layer_type_name, 30);
  std::map<std::string, int> params;
  for (const std::string& kv : words_of(c[2])) params[kv.substr(0, kv.find('='))] = std::stoi(kv.substr(kv.find('=') + 1));
  const auto bits = words_of(c[4]);
  const auto target = words_of(c[5]);
  const int bits_of_inputs = c.fields.size() > 8 ? std::stoi(c[8]) : 8;

  auto model = Model::create();
  std::vector<std::shared_ptr<Layer>> inbounds;
  const auto inputs = words_of(c[1]);
  for (size_t i = 0; i < inputs.size(); ++i) {
    const Shape s = shape_of(inputs[i]);
    inbounds.push_back(input_data(s.dims[0], s.dims[1], s.dims[2], bits_of_inputs, 0, "in" + std::to_string(i)));
    model->add(inbounds.back());
  }
  auto layer = make_layer(type, params, "under_test");
  EXPECT_THROW(layer->output_dimensions(), std::runtime_error);
  model->add(layer, inbounds);

  ASSERT_EQ(layer->input_dimensions().size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(dims_text(layer->input_dimensions()[i]), dims_text(shape_of(inputs[i])));
  EXPECT_EQ(dims_text(layer->output_dimensions()), dims_text(shape_of(c[3])));
  EXPECT_EQ(layer->input_bits(), std::stoi(bits.at(0)));
  EXPECT_EQ(layer->output_bits(), std::stoi(bits.at(1)));
  EXPECT_EQ(layer->output_signed(), bits.at(2) == "signed");
  EXPECT_STREQ(edition_name(layer->ip_version()), target.at(1).c_str());
  for (uint32_t k = 0; k <= 7; ++k) {
    const auto kind = static_cast<hw::TargetKind>(k);
    EXPECT_EQ(layer->is_target_component(kind), target.at(0) == target_name(kind)) << target_name(kind);
  }
  EXPECT_FALSE(layer->is_input_layer());
  EXPECT_EQ(layer->macs(), std::stoull(c[6]));
  const bool depthwise = type == LayerType::DepthwiseConv2D || type == LayerType::DepthwiseConv2DTranspose ||
                         type == LayerType::DepthwiseBufferTempConv;
  EXPECT_EQ(layer->channels_follow_neurons(), depthwise);
  // output_flag: "applies an activation" on v2 and lumo kinds, never on v1 kinds.
  const bool v2_or_lumo = layer->ip_version() == IpVersion::v2 || layer->ip_version() == IpVersion::lumo;
  EXPECT_EQ(layer->output_flag(), v2_or_lumo && layer->activation_enabled());

  std::vector<std::string> expected, actual;
  for (const std::string& v : words_of(c.fields.size() > 7 ? c[7] : "")) expected.push_back(v);
  auto vars = layer->variables();
  for (const std::string& name : vars->names()) {
    auto t = vars->get(name);
    actual.push_back(name + ":" + Dense::type_name(t->type()) + ":" + dims_text(t->shape()) + (t->layout() ? ":reversed" : ""));
  }
  for (std::string& v : expected) {  // the data file writes shapes as 8x8x3
    const auto first = v.find(':'), second = v.find(':', first + 1), third = v.find(':', second + 1);
    const std::string dims = v.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
    v = v.substr(0, second + 1) + dims_text(shape_of(dims)) + (third == std::string::npos ? "" : v.substr(third));
  }
  EXPECT_EQ(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, LayerKinds, ::testing::ValuesIn(golden::cases("engine/layer_kinds.txt")),
                         golden::line_name);

TEST(LayerKinds, InputLayersAreBuiltFromTheirKeys) {
  auto in = input_data(8, 6, 3, 4, 1);
  EXPECT_TRUE(in->is_input_layer());
  EXPECT_TRUE((in->input_dimensions().at(0) == Shape{8, 6, 3}));
  EXPECT_TRUE((in->output_dimensions() == Shape{8, 6, 3}));
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
  EXPECT_TRUE((hrc->output_dimensions() == Shape{2, 2, 1}));
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
    conv->input_dimensions();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot get input size before it is set.");
  }
  try {
    conv->output_dimensions();
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
    EXPECT_THROW(l->output_dimensions(), std::runtime_error) << r.label;
  }
  // A convolution whose output is empty still builds under global pooling (the mapping rules report it).
  auto model = Model::create();
  model->add(input_data(2, 2, 1));
  auto gap = make_layer(LayerType::Conv2D, {{"filters", 1}, {"padding", 0}, {"pool_type", 2}, {"pool_size", -1}},
                        "gap");
  model->add(gap);
  EXPECT_EQ(dynamic_cast<HasConvParams&>(*gap).conv_calculated_params().output_height, 0u);
  EXPECT_TRUE((gap->output_dimensions() == Shape{1, 1, 1}));
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
  EXPECT_EQ(add->inbound_layers().size(), 2u);
  EXPECT_EQ(b->outbound_layers().size(), 1u);
  EXPECT_TRUE(add->output_signed());
}

}  // namespace
}  // namespace ovrix
