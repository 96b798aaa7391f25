// The v2 input-convolution (HRC) rules: every message, gathered in rule order.
#include "backends/v2/hrc_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "support/v2_helpers.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::FakeGraph;
using testing::make_tensor;

struct HrcRuleCase {
  const char* name;
  std::map<std::string, int> params;  // over the passing defaults
  Shape input{32, 32, 3};
  bool activation = true;
  uint8_t output_bits = 8;  // the layer's
  bool zero_weights = false;
  std::vector<std::string> messages;
};

std::map<std::string, int> passing_params() {
  return {{"kernel_size", 3}, {"kernel_stride", 1}, {"pool_type", 0},   {"pool_size", 2},    {"pool_stride", 2},
          {"output_bits", 8}, {"activation", 1},    {"filters", 16},    {"weights_bits", 8}, {"padding", 1}};
}

class HrcRules : public ::testing::TestWithParam<HrcRuleCase> {};

TEST_P(HrcRules, GatherInRuleOrder) {
  const HrcRuleCase& c = GetParam();
  FakeGraph g;
  auto l = g.add("hrc", LayerType::InputConv2D, hw::TargetKind::HRC);
  l->inputs = {c.input};
  l->activation_on = c.activation;
  l->out_bits = c.output_bits;
  for (const auto& [k, v] : passing_params()) l->set(k, v);
  for (const auto& [k, v] : c.params) l->set(k, v);
  const bool zero = c.zero_weights;
  l->set_variable("weights", make_tensor<int8_t>(TensorType::int8, Shape{3, 3, 3, 16},
                                                 [zero](size_t k) { return int8_t(zero || k != 431 ? 0 : -1); }));
  MappingStatus expected;
  for (const auto& m : c.messages) expected += MappingStatus("hrc", m);
  EXPECT_EQ(check_input_conv2d_constraints(*l), expected);
}

HrcRuleCase hc(const char* name, std::map<std::string, int> params, std::vector<std::string> messages) {
  HrcRuleCase c;
  c.name = name;
  c.params = std::move(params);
  c.messages = std::move(messages);
  return c;
}

template <class Fn>
HrcRuleCase with(HrcRuleCase c, Fn fn) {
  fn(c);
  return c;
}

const char* const NO_ACTIVATION = "The first convolutional layer of a model can only be mapped if its activations are enabled.";

INSTANTIATE_TEST_SUITE_P(
    Messages, HrcRules,
    ::testing::Values(
        hc("passes", {}, {}),
        hc("kernel_4", {{"kernel_size", 4}}, {}),
        hc("kernel_7_stride_6", {{"kernel_size", 7}, {"kernel_stride", 6}}, {}),
        hc("kernel_3_stride_3", {{"kernel_stride", 3}}, {}),
        hc("kernel_3_stride_4", {{"kernel_stride", 4}},
           {"For a kernel size 3, the kernel stride must be smaller than 3."}),
        hc("kernel_6", {{"kernel_size", 6}, {"kernel_stride", 7}},
           {"Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. 6 given.",
            "For a kernel size 6, the kernel stride must be smaller than 6."}),
        hc("max_pool_3_2", {{"pool_type", 1}, {"pool_size", 3}}, {}),
        hc("max_pool_2_1", {{"pool_type", 1}, {"pool_stride", 1}},
           {"Unsupported max-pooling size, max-pooling stride combinaison. The only supported combinaison of "
            "(Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received (2, 1)."}),
        hc("max_pool_4_2", {{"pool_type", 1}, {"pool_size", 4}},
           {"Unsupported max-pooling size, max-pooling stride combinaison. The only supported combinaison of "
            "(Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received (4, 2)."}),
        hc("average_pool_unchecked", {{"pool_type", 2}, {"pool_size", 7}, {"pool_stride", 5}}, {}),
        with(hc("first_dimension_4", {},
                {"Unsupported input size. Received: 4 as first dimension.\n The first dimension should be >= 5."}),
             [](HrcRuleCase& c) { c.input = Shape{4, 32, 3}; }),
        with(hc("second_dimension_384", {}, {}), [](HrcRuleCase& c) { c.input = Shape{5, 384, 1}; }),
        with(hc("second_dimension_385", {},
                {"Unsupported input size. Received: 385 as second dimension.\n The second dimension should be "
                 "between 5 and 384."}),
             [](HrcRuleCase& c) { c.input = Shape{32, 385, 3}; }),
        with(hc("second_dimension_4", {},
                {"Unsupported input size. Received: 4 as second dimension.\n The second dimension should be "
                 "between 5 and 384."}),
             [](HrcRuleCase& c) { c.input = Shape{32, 4, 3}; }),
        hc("output_6", {{"output_bits", 6}}, {"Output should be 4-bit or 8-bit. 6 given."}),
        hc("output_4", {{"output_bits", 4}}, {}),
        hc("lut_4bit_with_pooling", {{"output_bits", 4}, {"activation", 2}, {"pool_type", 2}},
           {"4-bit activation is not supported with LUT.", "Max pooling is not supported with activation LUT."}),
        hc("lut_8bit", {{"activation", 2}}, {}),
        with(hc("no_activation", {{"output_bits", 4}}, {NO_ACTIVATION}),
             [](HrcRuleCase& c) { c.activation = false; }),
        hc("filters_512", {{"filters", 512}}, {}),
        hc("filters_0", {{"filters", 0}}, {"The filters number should be set between 1 and 512. 0 given."}),
        hc("filters_513", {{"filters", 513}}, {"The filters number should be set between 1 and 512. 513 given."}),
        with(hc("zero_weights", {}, {"All weights cannot be zeroes."}),
             [](HrcRuleCase& c) { c.zero_weights = true; }),
        hc("weights_4bit", {{"weights_bits", 4}}, {"Only 8-bit weigths are supported."}),
        hc("same_upper_ok", {{"padding", 2}, {"kernel_stride", 2}}, {}),
        hc("same_upper_kernel_4", {{"padding", 2}, {"kernel_size", 4}},
           {"With SameUpper padding only kernels 3, 5, 7 are supported.",
            "With SameUpper padding only stride 2 is supported."}),
        with(hc("same_upper_4bit", {{"padding", 2}, {"kernel_stride", 2}, {"output_bits", 4}},
                {"With SameUpper padding only 8-bit activations are supported."}),
             [](HrcRuleCase& c) { c.output_bits = 4; }),
        with(hc("everything",
                {{"kernel_size", 9}, {"kernel_stride", 8}, {"pool_type", 1}, {"pool_stride", 3}, {"filters", 0},
                 {"weights_bits", 4}, {"padding", 2}},
                {"Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. 9 given.",
                 "For a kernel size 9, the kernel stride must be smaller than 6.",
                 "Unsupported max-pooling size, max-pooling stride combinaison. The only supported combinaison of "
                 "(Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received (2, 3).",
                 "Unsupported input size. Received: 2 as first dimension.\n The first dimension should be >= 5.",
                 "Unsupported input size. Received: 400 as second dimension.\n The second dimension should be "
                 "between 5 and 384.",
                 NO_ACTIVATION, "The filters number should be set between 1 and 512. 0 given.",
                 "All weights cannot be zeroes.", "Only 8-bit weigths are supported.",
                 "With SameUpper padding only kernels 3, 5, 7 are supported.",
                 "With SameUpper padding only stride 2 is supported."}),
             [](HrcRuleCase& c) {
               c.input = Shape{2, 400, 3};
               c.activation = false;
               c.zero_weights = true;
             })),
    [](const ::testing::TestParamInfo<HrcRuleCase>& info) { return std::string(info.param.name); });

TEST(HrcRulesInputs, MissingParametersAndWronglyTypedWeights) {
  FakeGraph g;
  auto l = g.add("hrc", LayerType::InputConv2D, hw::TargetKind::HRC);
  l->inputs = {Shape{32, 32, 3}};
  l->activation_on = true;
  for (const auto& [k, v] : passing_params()) l->set(k, v);
  l->fake_params.values().erase("pool_stride");
  EXPECT_THAT([&] { check_input_conv2d_constraints(*l); }, ThrowsMessage<std::invalid_argument>("Layer 'hrc' has no parameter \"pool_stride\"."));
  l->set("pool_stride", 2);
  l->set_variable("weights", make_tensor<uint8_t>(TensorType::uint8, Shape{3, 3, 3, 1}, [](size_t) { return 1; }));
  EXPECT_THAT([&] { check_input_conv2d_constraints(*l); }, ThrowsMessage<std::runtime_error>(std::string("Wrong requested type ") + typeid(int8_t).name() +
                                                  " for a tensor of type uint8"));
}

}  // namespace
}  // namespace ovrix::v2
