// The v2 rules of buffered temporal convolutions on TNP-B NPs: every message, gathered in rule order,
// the same for both kinds.
#include "backends/v2/buffer_temp_conv_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/v2_helpers.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::FakeGraph;
using testing::make_tensor;

struct TnpBRuleCase {
  const char* name;
  uint8_t in = 8;
  uint8_t out = 8;
  Shape input{16, 16, 32};
  int weights_bits = 8;
  int filters = 64;  // -1: no "filters" parameter
  uint32_t shift_values = 32;
  std::vector<std::string> messages;
};

class TnpBRules : public ::testing::TestWithParam<std::tuple<TnpBRuleCase, LayerType>> {};

TEST_P(TnpBRules, GatherInRuleOrder) {
  const auto& [c, type] = GetParam();
  FakeGraph g;
  auto l = g.add("tnp", type, hw::TargetKind::TNP_B);
  l->inputs = {c.input};
  l->in_bits = c.in;
  l->out_bits = c.out;
  l->set("weights_bits", c.weights_bits);
  l->set("fifo_size", 3);
  if (c.filters >= 0) l->set("filters", c.filters);
  l->set_variable("input_shift",
                  make_tensor<uint8_t>(TensorType::uint8, Shape{c.shift_values}, [](size_t) { return 2; }));
  MappingStatus expected;
  for (const auto& m : c.messages) expected += MappingStatus("tnp", m);
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  const MappingStatus status = type == LayerType::BufferTempConv ? check_buffer_temp_conv_constraints(limits, *l)
                                                                 : check_depthwise_buffer_temp_conv_constraints(limits, *l);
  EXPECT_EQ(status, expected);
  EXPECT_EQ(check_tnp_b_constraints(limits, *l), expected);
}

template <class Fn>
TnpBRuleCase tc(const char* name, std::vector<std::string> messages, Fn fn) {
  TnpBRuleCase c;
  c.name = name;
  c.messages = std::move(messages);
  fn(c);
  return c;
}

const TnpBRuleCase CASES[] = {
    tc("passes", {}, [](TnpBRuleCase&) {}),
    tc("input_4bit", {"Input should be 8-bit."}, [](TnpBRuleCase& c) { c.in = 4; }),
    tc("output_4bit", {"Output should be 8-bit."}, [](TnpBRuleCase& c) { c.out = 4; }),
    tc("largest_input", {}, [](TnpBRuleCase& c) { c.input = Shape{4096, 4096, 2048}; }),
    tc("width_4097", {"The maximum input width is 4096 (got 4097)."},
       [](TnpBRuleCase& c) { c.input = Shape{4097, 16, 32}; }),
    tc("height_4097", {"The maximum input height is 4096 (got 4097)."},
       [](TnpBRuleCase& c) { c.input = Shape{16, 4097, 32}; }),
    tc("channels_2049", {"The maximum input channel value is 2048 (got 2049)."},
       [](TnpBRuleCase& c) { c.input = Shape{16, 16, 2049}; }),
    tc("whole_input_too_large",
       {"The maximum input width is 4096 (got 5000).", "The maximum input height is 4096 (got 4097).",
        "The maximum input channel value is 2048 (got 2049)."},
       [](TnpBRuleCase& c) { c.input = Shape{5000, 4097, 2049}; }),
    tc("weights_4bit", {"Only 8-bit weights are supported."}, [](TnpBRuleCase& c) { c.weights_bits = 4; }),
    tc("filters_2048", {}, [](TnpBRuleCase& c) { c.filters = 2048; }),
    tc("filters_2049", {"The maximum number of filters is 2048 (got 2049)."}, [](TnpBRuleCase& c) { c.filters = 2049; }),
    // Without "filters" the filters are the channels.
    tc("channels_as_filters",
       {"The maximum input channel value is 2048 (got 2049).", "The maximum number of filters is 2048 (got 2049)."},
       [](TnpBRuleCase& c) {
         c.filters = -1;
         c.input = Shape{16, 16, 2049};
       }),
    // A pixel of 4096 8-bit channels is 1024 words of skip DMA.
    tc("skip_dma_row_1024",
       {"The maximum input channel value is 2048 (got 4096).",
        "The skip DMA horizontal dimension must be smaller than 1024 (got 1024)."},
       [](TnpBRuleCase& c) { c.input = Shape{16, 16, 4096}; }),
    tc("skip_dma_row_1023", {"The maximum input channel value is 2048 (got 4092)."},
       [](TnpBRuleCase& c) { c.input = Shape{16, 16, 4092}; }),
    tc("input_shift_257_words", {"Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes)."},
       [](TnpBRuleCase& c) { c.shift_values = 2049; }),
    tc("input_shift_256_words", {}, [](TnpBRuleCase& c) { c.shift_values = 2048; }),
    tc("everything",
       {"Input should be 8-bit.", "Output should be 8-bit.", "The maximum input height is 4096 (got 9000).",
        "Only 8-bit weights are supported.", "The maximum number of filters is 2048 (got 3000).",
        "Input shift exceeds memory. Maximum size is 768 bytes. (got 3000 bytes)."},
       [](TnpBRuleCase& c) {
         c.in = 2;
         c.out = 16;
         c.input = Shape{8, 9000, 8};
         c.weights_bits = 2;
         c.filters = 3000;
         c.shift_values = 8000;
       }),
};

INSTANTIATE_TEST_SUITE_P(
    Messages, TnpBRules,
    ::testing::Combine(::testing::ValuesIn(CASES),
                       ::testing::Values(LayerType::BufferTempConv, LayerType::DepthwiseBufferTempConv)),
    [](const ::testing::TestParamInfo<std::tuple<TnpBRuleCase, LayerType>>& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) == LayerType::BufferTempConv ? "_standard" : "_depthwise");
    });

TEST(TnpBRulesInputs, MissingWeightBitsOrInputShift) {
  FakeGraph g;
  auto l = g.add("tnp", LayerType::BufferTempConv, hw::TargetKind::TNP_B);
  l->inputs = {Shape{4, 4, 4}};
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  EXPECT_THAT([&] { check_tnp_b_constraints(limits, *l); }, ThrowsMessage<std::invalid_argument>("Layer 'tnp' has no parameter \"weights_bits\"."));
  l->set("weights_bits", 8);
  EXPECT_THAT([&] { check_tnp_b_constraints(limits, *l); }, ThrowsMessage<std::runtime_error>("Layer 'tnp' has no variable \"input_shift\""));
}

}  // namespace
}  // namespace ovrix::v2
