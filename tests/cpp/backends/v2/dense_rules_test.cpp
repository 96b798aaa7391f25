// The v2 dense-layer rules: every message, gathered in rule order, and the memory rules that run only
// when the others passed.
#include "backends/v2/dense_rules.h"

#include <gtest/gtest.h>

#include "backends/v2/compatibility_checker.h"
#include "support/v2_helpers.h"

namespace ovrix::v2 {
namespace {

using testing::FakeDevice;
using testing::FakeGraph;
using testing::FakeLayer;
using testing::make_tensor;
using testing::v2_mesh;

constexpr const char* INPUT_BITS = "Input should be 4-bit or 8-bit.";
constexpr const char* OUTPUT_BITS = "Output bits should be 4, 8 or > 8.";
constexpr const char* NO_ACTIVATION_WIDTH = "Without activation output bitwidth should be 8, 28 or 32.";
constexpr const char* LUT_4BIT = "4-bit activation is not supported with LUT.";
constexpr const char* ACTIVATION_WIDTH = "With activation output bitwidth should be 4 or 8.";
constexpr const char* TOO_LARGE = "Input dimensions are too large to fit in a FNP. The maximum value is 2048.";
constexpr const char* WEIGHT_BITS = "Weights bitwidth should be 4-bit or 8-bit.";
constexpr const char* WEIGHTS_4BIT = "With 4-bit weights, output must be 4-bit or 32-bit.";
constexpr const char* INPUT_BELOW_WEIGHTS = "Input bits should be >= weights bits.";

enum class Feeder { None, Cnp, TnpB, Hrc, Fnp, InputData };

struct RuleCase {
  const char* name;
  uint8_t in = 8;
  uint8_t out = 8;
  bool activation = false;
  int activation_kind = 1;  // the "activation" parameter
  int weights_bits = 8;
  Shape input{1, 1, 64};
  Feeder feeder = Feeder::None;    // the layer's inbound (and `previous`)
  Feeder previous = Feeder::None;  // a `previous` other than the inbound, when set
  uint32_t shift_values = 0;       // size of "input_shift", 0: one per input value
  std::vector<std::string> messages;
};

hw::TargetKind kind_of(Feeder f) {
  switch (f) {
    case Feeder::Cnp: return hw::TargetKind::CNP;
    case Feeder::TnpB: return hw::TargetKind::TNP_B;
    case Feeder::Hrc: return hw::TargetKind::HRC;
    case Feeder::Fnp: return hw::TargetKind::FNP;
    default: return hw::TargetKind::None;
  }
}

class DenseRules : public ::testing::TestWithParam<RuleCase> {
 protected:
  std::shared_ptr<FakeLayer> dense(const RuleCase& c, const Layer** previous) {
    auto l = g_.add("dense", LayerType::Dense1D, hw::TargetKind::FNP);
    l->inputs = {c.input};
    l->in_bits = c.in;
    l->out_bits = c.out;
    l->activation_on = c.activation;
    l->act = static_cast<ActivationType>(c.activation_kind);
    l->set("weights_bits", c.weights_bits);
    l->set("activation", c.activation_kind);
    const uint32_t n = c.shift_values ? c.shift_values : c.input[0] * c.input[1] * c.input[2];
    l->set_variable("input_shift", make_tensor<uint8_t>(TensorType::uint8, Shape{n}, [](size_t) { return 1; }));
    *previous = nullptr;
    if (c.feeder != Feeder::None) {
      auto in = g_.add("in", LayerType::Conv2D, kind_of(c.feeder));
      testing::connect(in, l);
      *previous = in.get();
    }
    if (c.previous != Feeder::None) {
      auto other = g_.add("other", LayerType::Conv2D, kind_of(c.previous));
      others_.push_back(other);
      *previous = other.get();
    }
    return l;
  }
  FakeGraph g_;
  std::vector<std::shared_ptr<FakeLayer>> others_;
};

MappingStatus expected_status(const std::vector<std::string>& messages) {
  MappingStatus status;
  for (const auto& m : messages) status += MappingStatus("dense", m);
  return status;
}

TEST_P(DenseRules, GatherInRuleOrder) {
  const RuleCase& c = GetParam();
  const Layer* previous = nullptr;
  auto l = dense(c, &previous);
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  EXPECT_EQ(check_fnp_constraints(limits, *l, previous), expected_status(c.messages));
}

RuleCase rc(const char* name, std::vector<std::string> messages) {
  RuleCase c;
  c.name = name;
  c.messages = std::move(messages);
  return c;
}

template <class Fn>
RuleCase with(RuleCase c, Fn fn) {
  fn(c);
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DenseRules,
    ::testing::Values(
        rc("passes", {}),
        with(rc("wide_potentials", {}), [](RuleCase& c) { c.out = 32; }),
        with(rc("potentials_28", {}), [](RuleCase& c) { c.out = 28; c.weights_bits = 4; }),
        with(rc("input_2bit", {INPUT_BITS, INPUT_BELOW_WEIGHTS}), [](RuleCase& c) { c.in = 2; }),
        with(rc("output_6bit", {OUTPUT_BITS, NO_ACTIVATION_WIDTH}), [](RuleCase& c) { c.out = 6; }),
        with(rc("output_16bit_without_activation", {NO_ACTIVATION_WIDTH}), [](RuleCase& c) { c.out = 16; }),
        with(rc("relu_4bit", {}), [](RuleCase& c) { c.activation = true; c.out = 4; }),
        with(rc("lut_4bit", {LUT_4BIT}), [](RuleCase& c) { c.activation = true; c.out = 4; c.activation_kind = 2; }),
        with(rc("activation_16bit", {ACTIVATION_WIDTH}), [](RuleCase& c) { c.activation = true; c.out = 16; }),
        with(rc("activation_3bit", {OUTPUT_BITS, ACTIVATION_WIDTH}), [](RuleCase& c) { c.activation = true; c.out = 3; }),
        with(rc("flat_too_large", {TOO_LARGE}), [](RuleCase& c) { c.input = Shape{1, 1, 2049}; }),
        with(rc("flat_2048", {}), [](RuleCase& c) { c.input = Shape{1, 1, 2048}; }),
        with(rc("aligned_after_cnp", {}), [](RuleCase& c) { c.input = Shape{4, 1, 512}; c.feeder = Feeder::Cnp; }),
        with(rc("aligned_after_tnp_b", {}), [](RuleCase& c) { c.input = Shape{5, 2, 3}; c.feeder = Feeder::TnpB; }),
        with(rc("packed_after_hrc", {}), [](RuleCase& c) { c.input = Shape{5, 2, 3}; c.feeder = Feeder::Hrc; }),
        with(rc("packed_after_cnp", {}),
             [](RuleCase& c) { c.input = Shape{1, 1, 2048}; c.feeder = Feeder::Cnp; }),
        with(rc("rows_too_large", {TOO_LARGE}), [](RuleCase& c) { c.input = Shape{4, 1, 2049}; c.feeder = Feeder::Cnp; }),
        with(rc("flat_after_fnp", {}), [](RuleCase& c) { c.feeder = Feeder::Fnp; }),
        with(rc("flat_after_input_data", {}), [](RuleCase& c) { c.feeder = Feeder::InputData; }),
        // A flat layout does not suit a previous CNP.
        with(rc("flat_with_cnp_previous", {TOO_LARGE}), [](RuleCase& c) { c.previous = Feeder::Cnp; }),
        with(rc("weights_2bit", {WEIGHT_BITS}), [](RuleCase& c) { c.weights_bits = 2; }),
        with(rc("weights_4bit_output_8", {WEIGHTS_4BIT}), [](RuleCase& c) { c.weights_bits = 4; }),
        with(rc("weights_4bit_output_8_with_activation", {WEIGHTS_4BIT}),
             [](RuleCase& c) { c.weights_bits = 4; c.activation = true; }),
        with(rc("input_4bit_weights_8bit", {INPUT_BELOW_WEIGHTS}), [](RuleCase& c) { c.in = 4; }),
        with(rc("every_width_rule", {INPUT_BITS, OUTPUT_BITS, NO_ACTIVATION_WIDTH, WEIGHT_BITS}),
             [](RuleCase& c) { c.in = 16; c.out = 5; c.weights_bits = 16; }),
        // Input shifts beyond 256 24-bit words: the message counts bytes.
        with(rc("input_shift_memory",
                {"Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes)."}),
             [](RuleCase& c) { c.shift_values = 2056; }),
        with(rc("input_shift_fits", {}), [](RuleCase& c) { c.shift_values = 2048; }),
        // The memory rules are not tested when another rule failed.
        with(rc("memory_rules_wait", {INPUT_BITS, INPUT_BELOW_WEIGHTS}),
             [](RuleCase& c) { c.in = 2; c.shift_values = 4000; })),
    [](const ::testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

TEST(DenseRulesMemory, InputSizeAgainstTheFnpInputMemory) {
  FakeGraph g;
  auto l = g.add("dense", LayerType::Dense1D, hw::TargetKind::FNP);
  l->inputs = {Shape{1, 1, 64}};
  l->set("weights_bits", 8);
  l->set_variable("input_shift", make_tensor<uint8_t>(TensorType::uint8, Shape{64}, [](size_t) { return 1; }));
  HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  EXPECT_EQ(check_fnp_constraints(limits, *l, nullptr), MappingStatus());
  limits.fnp_input_max_bytes = 10;  // 10 words
  EXPECT_EQ(check_fnp_constraints(limits, *l, nullptr),
            MappingStatus("dense", "Input size exceeds memory. Maximum size is 40 bytes. (got 64 bytes)."));
  limits.input_shift_max_24b_words = 7;
  EXPECT_EQ(check_fnp_constraints(limits, *l, nullptr),
            MappingStatus("dense", "Input shift exceeds memory. Maximum size is 21 bytes. (got 24 bytes). "
                                   "Input size exceeds memory. Maximum size is 40 bytes. (got 64 bytes)."));
  l->vars->tensors.erase("input_shift");
  EXPECT_THROW(check_fnp_constraints(limits, *l, nullptr), std::runtime_error);
}

TEST(DenseRulesChecker, TheCheckerHandsThePreviousLayerOn) {
  FakeGraph g;
  FakeDevice device(v2_mesh(1));
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  const CompatibilityCheckerImpl checker(device, limits);
  auto conv = g.add("conv", LayerType::Conv2D, hw::TargetKind::CNP);
  auto l = g.add("dense", LayerType::Dense1D, hw::TargetKind::FNP);
  testing::connect(conv, l);
  // 2048 rows of one 4-bit value: each row padded to 4 bytes does not fit, the flat input does.
  l->inputs = {Shape{1, 2048, 1}};
  l->in_bits = 4;
  l->out_bits = 32;
  l->set("weights_bits", 4);
  l->set_variable("input_shift", make_tensor<uint8_t>(TensorType::uint8, Shape{2048}, [](size_t) { return 1; }));
  EXPECT_EQ(checker.check_layer_compatibility(*l, conv.get(), hw_versions::Proteo_v2), MappingStatus("dense", TOO_LARGE));
  EXPECT_EQ(checker.check_layer_compatibility(*l, nullptr, hw_versions::Proteo_v2), MappingStatus());
}

}  // namespace
}  // namespace ovrix::v2
