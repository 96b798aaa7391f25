// The v2 compatibility checker: layer dispatch, activations, sequences, components and sizing.
#include "backends/v2/compatibility_checker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/params.h"
#include "support/v2_fake_layer.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::connect;
using testing::FakeDevice;
using testing::FakeGraph;
using testing::FakeLayer;
using testing::make_vector;
using testing::v2_mesh;

class CheckerTest : public ::testing::Test {
 protected:
  CheckerTest() : device_(v2_mesh(2)), limits_(compute_hardware_constraints(IpVersion::v2, SramSize_v2)),
                  checker_(device_, limits_) {}

  // An 8-bit convolution on a CNP with ReLU that meets every rule.
  std::shared_ptr<FakeLayer> conv(const std::string& name) {
    auto l = g_.add(name, LayerType::Conv2D, hw::TargetKind::CNP);
    l->inputs = {Shape{8, 8, 4}};
    l->output = Shape{8, 8, 4};
    l->activation_on = true;
    l->act = ActivationType::ReLU;
    for (auto [k, v] : std::map<std::string, int>{{"padding", 1}, {"kernel_stride", 1}, {"weights_bits", 8},
                                                  {"activation", 1}, {"pool_type", 0}, {"pool_size", 1},
                                                  {"kernel_size", 3}, {"filters", 4}})
      l->set(k, v);
    return l;
  }
  std::shared_ptr<FakeLayer> layer(const std::string& name, LayerType type, hw::TargetKind target) {
    auto l = g_.add(name, type, target);
    l->inputs = {Shape{8, 8, 4}};
    l->output = Shape{8, 8, 4};
    return l;
  }
  MappingStatus sequence(std::vector<std::shared_ptr<Layer>> layers) {
    return checker_.check_layer_sequence(layers.cbegin(), layers.cend(), hw_versions::Proteo_v2);
  }

  FakeGraph g_;
  FakeDevice device_;
  HardwareConstraints limits_;
  CompatibilityCheckerImpl checker_;
};

MappingStatus failure(const std::string& layer, const std::string& message) { return MappingStatus(layer, message); }

// ---- check_layer_compatibility

TEST_F(CheckerTest, GathersBitWidthsActivationAndTheKindsRule) {
  auto l = conv("c");
  l->set_variable("input_shift", make_vector<uint8_t>(TensorType::uint8, {8, 0, 0, 0}));   // 4 bits
  l->set_variable("output_shift", make_vector<int8_t>(TensorType::int8, {-40, 0, 0, 0}));  // 7 bits
  l->set("padding", 0);
  const MappingStatus status = checker_.check_layer_compatibility(*l, nullptr, hw_versions::Proteo_v2);
  // The engine words the bit-width failures; they come first, in variable order.
  const std::string shift_bits = check_bitwidth(*l, 3, "input_shift", false).message;
  const std::string output_bits = check_bitwidth(*l, 6, "output_shift", false).message;
  EXPECT_NE(shift_bits, output_bits);
  EXPECT_EQ(status, failure("c", shift_bits + " " + output_bits + " Only padding 'Same' and 'SameUpper' are supported."));
  EXPECT_FALSE(check_bitwidth(*l, 5, "max_value_shift", false).failed);
  EXPECT_EQ(checker_.check_layer_compatibility(*conv("ok"), nullptr, hw_versions::Proteo_v2), MappingStatus());
}

TEST_F(CheckerTest, UnsupportedKindsDropEverythingElse) {
  for (LayerType type : {LayerType::Unknown, LayerType::FullyConnected, LayerType::Convolutional,
                         LayerType::StatefulRecurrent, LayerType::LumoPostProcessing, LayerType::InputConvolutional}) {
    auto l = layer("u", type, hw::TargetKind::FNP);
    l->set_variable("input_shift", make_vector<uint8_t>(TensorType::uint8, {200}));
    l->activation_on = true;
    l->act = ActivationType::LUT;
    EXPECT_EQ(checker_.check_layer_compatibility(*l, nullptr, hw_versions::Proteo_v2),
              failure("u", "Unsupported layer type on Ovrix v2."));
  }
}

TEST_F(CheckerTest, KindsWithoutRulesAndTheDenseHrcAndTnpBRules) {
  for (LayerType type : {LayerType::InputData, LayerType::Dequantizer, LayerType::Quantizer})
    EXPECT_EQ(checker_.check_layer_compatibility(*layer("q", type, hw::TargetKind::None), nullptr,
                                                 hw_versions::Proteo_v2),
              MappingStatus());
  auto d = layer("d", LayerType::Dense1D, hw::TargetKind::FNP);
  d->in_bits = 2;
  d->set("weights_bits", 8);
  EXPECT_EQ(checker_.check_layer_compatibility(*d, nullptr, hw_versions::Proteo_v2),
            failure("d", "Input should be 4-bit or 8-bit. Input bits should be >= weights bits."));
  // The input convolution and TNP-B rules read their parameters first.
  EXPECT_THAT([&] {
        checker_.check_layer_compatibility(*layer("h", LayerType::InputConv2D, hw::TargetKind::HRC), nullptr,
                                           hw_versions::Proteo_v2);
      }, ThrowsMessage<std::invalid_argument>("Layer 'h' has no parameter \"kernel_size\"."));
  EXPECT_THAT([&] {
        checker_.check_layer_compatibility(*layer("t", LayerType::BufferTempConv, hw::TargetKind::TNP_B), nullptr,
                                           hw_versions::Proteo_v2);
      }, ThrowsMessage<std::invalid_argument>("Layer 't' has no parameter \"weights_bits\"."));
}

TEST_F(CheckerTest, MergeKindsGetTheirRules) {
  auto a = conv("a");
  auto add = layer("add", LayerType::Add, hw::TargetKind::SkipDma);
  connect(a, add);
  EXPECT_EQ(checker_.check_layer_compatibility(*add, a.get(), hw_versions::Proteo_v2),
            failure("add", "Must be followed by a merge layer."));
  auto cat = layer("cat", LayerType::Concatenate, hw::TargetKind::SkipDma);
  connect(a, cat);
  connect(a, cat);
  EXPECT_EQ(checker_.check_layer_compatibility(*cat, a.get(), hw_versions::Proteo_v2),
            failure("cat", "Concatenate inbounds must come from different layers."));
}

TEST_F(CheckerTest, ActivationsOutsideTheCnps) {
  auto dense = layer("d", LayerType::Dequantizer, hw::TargetKind::FNP);
  dense->activation_on = true;
  dense->act = ActivationType::LUT;
  dense->set("activation", 2);
  EXPECT_EQ(checker_.check_supported_activation(*dense), failure("d", "Does not support activation type 'LUT'."));
  dense->set("activation", 7);
  EXPECT_EQ(checker_.check_supported_activation(*dense), failure("d", "Does not support activation type 'Unknown'."));
  dense->act = ActivationType::ReLU;
  EXPECT_EQ(checker_.check_supported_activation(*dense), MappingStatus());

  FakeDevice no_luts(v2_mesh(1, false));
  CompatibilityCheckerImpl checker(no_luts, limits_);
  auto cnp = conv("c");
  cnp->act = ActivationType::LUT;
  EXPECT_EQ(checker.check_supported_activation(*cnp), failure("c", "Lookup tables are missing on some NPs."));
  dense->act = ActivationType::LUT;
  dense->set("activation", 2);
  EXPECT_EQ(checker.check_supported_activation(*dense),
            failure("d", "Does not support activation type 'LUT'. Lookup tables are missing on some NPs."));
  EXPECT_EQ(checker_.check_supported_activation(*cnp), MappingStatus());
}

// ---- check_layer_sequence

TEST_F(CheckerTest, SequenceFirstAndDequantizerRules) {
  auto add = layer("add", LayerType::Add, hw::TargetKind::SkipDma);
  auto c = conv("c");
  connect(add, c);
  EXPECT_EQ(sequence({add, c}), failure("add", "Can't be the first layer of the sequence."));

  auto dq1 = layer("dq1", LayerType::Dequantizer, hw::TargetKind::None);
  EXPECT_EQ(sequence({dq1}), failure("dq1", "Can't start a sequence with a Dequantizer."));
  auto dq2 = layer("dq2", LayerType::Dequantizer, hw::TargetKind::None);
  EXPECT_EQ(sequence({c, dq1, dq2}), failure("dq1", "Only 1 Dequantizer at the end of the model is supported."));
  EXPECT_EQ(sequence({c, dq1}), MappingStatus());
}

TEST_F(CheckerTest, SequenceLastLayerRules) {
  auto c = conv("c");
  auto dq = layer("dq", LayerType::Dequantizer, hw::TargetKind::None);
  c->pool = PoolType::Max;
  EXPECT_EQ(sequence({c}), failure("c", "A layer with max pooling cannot be the last layer of a sequence."));
  // Behind a final Dequantizer the layer before it is the last one.
  EXPECT_EQ(sequence({c, dq}), failure("c", "A layer with max pooling cannot be the last layer of a sequence."));

  auto p = conv("p");
  p->activation_on = false;
  p->out_bits = 32;
  p->set_variable("output_scales", make_vector<uint8_t>(TensorType::uint8, {1, 2, 1, 1}));
  p->set_variable("output_shift", make_vector<int8_t>(TensorType::int8, {0, 0, 0, 0}));
  EXPECT_EQ(sequence({p}), failure("p", "Without activation output_scales should be 1."));
  p->set_variable("output_shift", make_vector<int8_t>(TensorType::int8, {0, 0, 1, 0}));
  EXPECT_EQ(sequence({p}), failure("p", "Without activation output_shift should be 0."));
  p->out_bits = 8;  // potentials that fit 8 bits may be scaled
  EXPECT_EQ(sequence({p}), MappingStatus());
  p->out_bits = 9;
  p->set_variable("output_scales", make_vector<int8_t>(TensorType::int8, {1, 1, 1, 1}));
  EXPECT_THROW(sequence({p}), std::runtime_error);  // wrong element type of the scales
}

TEST_F(CheckerTest, SequenceInboundKindRules) {
  auto pooled = conv("pooled");
  pooled->pool = PoolType::Max;
  auto dense = layer("dense", LayerType::Dense1D, hw::TargetKind::FNP);
  connect(pooled, dense);
  EXPECT_EQ(sequence({pooled, dense}),
            failure("dense", "Any layer with max pooling must be followed by a layer mapped on a CNP or a TNP-B. "
                             "Layer 'pooled' has max pooling."));
  // The pooled layer outside the range: nothing to say.
  EXPECT_EQ(sequence({dense}), MappingStatus());

  auto fnp = layer("fnp", LayerType::Dense1D, hw::TargetKind::FNP);
  auto c = conv("c");
  connect(fnp, c);
  EXPECT_EQ(sequence({fnp, c}),
            failure("c", "A layer mapped on FNP cannot be directly followed by a layer mapped on CNP due to incompatible "
                         "data processing requirements. Layer 'fnp' is mappable on FNP."));

  auto a = conv("a");
  auto cat = layer("cat", LayerType::Concatenate, hw::TargetKind::SkipDma);
  auto d = layer("d", LayerType::Dense1D, hw::TargetKind::FNP);
  connect(a, cat);
  connect(cat, d);
  EXPECT_EQ(sequence({a, cat, d}),
            failure("d", "Dense layer can't have Add/Concat as inbound. Layer 'cat' is a Add/Concat."));
}

TEST_F(CheckerTest, SequenceOutboundCounts) {
  auto src = conv("src");
  auto a = conv("a"), b = conv("b"), c = conv("c");
  connect(src, a);
  connect(src, b);
  EXPECT_EQ(sequence({src}), failure("", "Bad mapping on skip connection. Several branches."));
  connect(src, c);
  EXPECT_EQ(sequence({src, a, b, c}),
            failure("src", "Layer has 3 outbounds. A maximum of 2 outbounds is supported."));

  auto hrc = layer("hrc", LayerType::InputConv2D, hw::TargetKind::HRC);
  auto x = conv("x"), y = conv("y");
  connect(hrc, x);
  connect(hrc, y);
  EXPECT_EQ(sequence({hrc, x, y}), failure("hrc", "A layer mapped on HRC supports 1 outbound only."));
}

TEST_F(CheckerTest, SequenceMergeRules) {
  auto a = conv("a");
  auto add = layer("add", LayerType::Add, hw::TargetKind::SkipDma);
  auto after = conv("after");
  connect(a, add);
  connect(add, after);
  EXPECT_EQ(sequence({a, add}),
            failure("add", "Bad mapping on skip connection. No valid merge layer. Add layer requires an outbound that "
                           "is mappable on a CNP."));
  EXPECT_EQ(sequence({a, add, after}), MappingStatus());
}

TEST_F(CheckerTest, SecondInputOfAConcatWithSeveralOutputs) {
  auto first = conv("first");
  auto second = conv("second");
  auto cat = layer("cat", LayerType::Concatenate, hw::TargetKind::SkipDma);
  auto other = conv("other");
  auto next = conv("next");
  connect(first, second);
  connect(first, cat);
  connect(second, cat);
  connect(second, other);
  connect(cat, next);
  EXPECT_EQ(sequence({first, second, cat, other}),
            failure("second", "Is the second input of a Concat, it can't have multiple outputs."));
}

// ---- check_layer_mappings

hw::Component cnp(uint32_t width, hw::Type type = hw::Type::CNP2) {
  hw::NpMapping part;
  part.spatial_partition = NpSpace(0, 0, Shape{width, 4, 4});
  return hw::Component(type, part);
}

TEST_F(CheckerTest, ComponentRules) {
  auto c = conv("c");
  EXPECT_EQ(checker_.check_layer_mappings(*c, {cnp(62), cnp(64, hw::Type::CNP1)}, false), MappingStatus());
  EXPECT_EQ(checker_.check_layer_mappings(*c, {cnp(10), cnp(65)}, false),
            failure("c", "The input length 68 exceeds the maximum value for NP input width: 64."));
  const hw::Component store(hw::Type::SKIP_DMA_STORE);
  EXPECT_EQ(checker_.check_layer_mappings(*c, {cnp(8), store, store}, false),
            failure("c", "A layer which outputs directly to one skip dma and another skipdma via dual outputs is not "
                         "supported."));
  EXPECT_EQ(checker_.check_layer_mappings(*c, std::vector<hw::Component>(127, cnp(8)), true), MappingStatus());
  EXPECT_EQ(checker_.check_layer_mappings(*c, std::vector<hw::Component>(128, cnp(8)), true),
            failure("c", "First layer of pass exceeds the maximum of 127 hardware components. Needs 128."));
  EXPECT_EQ(checker_.check_layer_mappings(*c, std::vector<hw::Component>(128, cnp(8)), false), MappingStatus());
  auto t = layer("t", LayerType::BufferTempConv, hw::TargetKind::TNP_B);
  EXPECT_EQ(checker_.check_layer_mappings(*t, {}, true), failure("t", "A TNP-B layer cannot be the first layer of a pass."));
  EXPECT_EQ(checker_.check_layer_mappings(*t, {}, false), MappingStatus());
}

// ---- Sizing questions

TEST_F(CheckerTest, InputSramFit) {
  // 4-bit rows of 10 values: 8 bytes; 3 channels, 5 rows: 30 words.
  EXPECT_EQ(np_input_words(hw::Type::CNP2, 5, 10, 3, 0, 4), 30u);
  EXPECT_TRUE(checker_.is_sram_input_fit_single_buffer(hw::Type::CNP1, 5, 10, 3, 0, 4, 512));
  // 8-bit rows of 64 values, 64 channels: 1024 words a row.
  EXPECT_TRUE(checker_.is_sram_input_fit_single_buffer(hw::Type::CNP1, 16, 64, 64, 0, 8, 0));
  EXPECT_FALSE(checker_.is_sram_input_fit_single_buffer(hw::Type::CNP1, 16, 64, 64, 0, 8, 1));
  EXPECT_TRUE(checker_.is_sram_input_fit_dual_buffer(hw::Type::CNP2, 8, 64, 64, 0, 8, 0));
  EXPECT_FALSE(checker_.is_sram_input_fit_dual_buffer(hw::Type::CNP2, 9, 64, 64, 0, 8, 0));
  EXPECT_FALSE(checker_.is_sram_input_fit_dual_buffer(hw::Type::CNP2, 1, 4, 1, 0, 8, 8193));
  // TNP-B: round_up(3, 4) x 4 x 8 x 4 bits = 16 words, frames of 64 words, fifo 2: 192 words.
  EXPECT_EQ(np_input_words(hw::Type::TNP_B, 4, 4, 3, 2, 8), 192u);
  EXPECT_TRUE(checker_.is_sram_input_fit_dual_buffer(hw::Type::TNP_B, 4, 4, 3, 127, 8, 0));
  EXPECT_FALSE(checker_.is_sram_input_fit_dual_buffer(hw::Type::TNP_B, 4, 4, 3, 128, 8, 0));
  EXPECT_THAT([&] { checker_.is_sram_input_fit_single_buffer(hw::Type::FNP3, 1, 1, 1, 0, 8, 0); }, ThrowsMessage<std::runtime_error>("Type of NP not supported."));
}

TEST_F(CheckerTest, WeightsFitOneNp) {
  auto c = conv("c");
  c->inputs = {Shape{8, 8, 8}};
  EXPECT_EQ(get_weights_100b_size(*c, 8), 48u);
  EXPECT_TRUE(checker_.is_weights_size_fit_np(*c, 8));
  c->inputs = {Shape{8, 8, 683}};  // 6 words per channel and group
  EXPECT_FALSE(checker_.is_weights_size_fit_np(*c, 8));

  // Channel containers are addressed with 18 bits, whatever the SRAM.
  HardwareConstraints huge = limits_;
  huge.cnp_weight_limit = 0xFFFFFFFF;
  CompatibilityCheckerImpl big(device_, huge);
  c->inputs = {Shape{8, 8, 1}};
  c->set("kernel_size", 7);
  EXPECT_TRUE(big.is_weights_size_fit_np(*c, 37448));   // 262136 words
  EXPECT_FALSE(big.is_weights_size_fit_np(*c, 37456));  // 262192 words

  auto d = layer("d", LayerType::DepthwiseConv2D, hw::TargetKind::CNP);
  d->set("kernel_size", 7);
  d->set("weights_bits", 8);
  EXPECT_EQ(get_weights_100b_size(*d, 10), 70u);
  EXPECT_TRUE(big.is_weights_size_fit_np(*d, 37449));   // 262143
  EXPECT_FALSE(big.is_weights_size_fit_np(*d, 37450));  // 262150

  EXPECT_THAT([&] { checker_.is_weights_size_fit_np(*layer("x", LayerType::Dense1D, hw::TargetKind::FNP), 1); }, ThrowsMessage<std::invalid_argument>("Unexpected layer type for CNP or TNP-B."));
  auto t = layer("t", LayerType::BufferTempConv, hw::TargetKind::TNP_B);
  t->set("fifo_size", 3);
  EXPECT_EQ(get_weights_100b_size(*t, 1), 32u);  // 4 frames of 4 channels, containers of 2 words
  EXPECT_TRUE(checker_.is_weights_size_fit_np(*t, 1));
}

TEST_F(CheckerTest, SplitParameters) {
  auto c = conv("c");
  c->set("kernel_size", 5);
  c->set("filters", 32);
  c->set("pool_type", 1);
  c->set("pool_size", 2);
  NpSplitParams p = checker_.np_split_params(hw::Type::CNP2, c->fake_params);
  EXPECT_EQ(p.kernel_margins, (std::array<uint32_t, 4>{2, 2, 2, 2}));
  EXPECT_EQ(p.pool_type, 1u);
  EXPECT_EQ(p.pool_width, 2u);
  EXPECT_EQ(p.pool_height, 2u);
  EXPECT_EQ(p.filters, 32u);
  c->set("pool_size", -1);
  EXPECT_EQ(checker_.np_split_params(hw::Type::CNP2, c->fake_params).pool_width, 0xFFFFFFFFu);
  const testing::FakeParams temporal(LayerType::BufferTempConv, {{"fifo_size", 3}});
  EXPECT_EQ(checker_.np_split_params(hw::Type::TNP_B, temporal), NpSplitParams{});
}

TEST_F(CheckerTest, DenseSizesNeedTheWeights) {
  auto d = layer("d", LayerType::Dense1D, hw::TargetKind::FNP);
  EXPECT_THROW(checker_.is_fnp3_compatible(*d), std::runtime_error);
}

}  // namespace
}  // namespace ovrix::v2
