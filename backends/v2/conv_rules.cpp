// Rules of the convolutions that run on a v2 CNP: standard, depthwise and both transposed kinds.
#include <initializer_list>
#include <string>

#include "backends/v2/cnp_sizes.h"
#include "backends/v2/cnp_tnp_common.h"
#include "backends/v2/cnp_weights.h"
#include "backends/v2/rules.h"

namespace ovrix::v2 {

namespace {

// A global average pooling reads its whole input at once: these bound the input it may have.
constexpr uint32_t GLOBAL_POOLING_MAX_WIDTH = 64;
constexpr uint32_t GLOBAL_POOLING_MAX_AREA = 144;
constexpr uint32_t GLOBAL_POOLING_MIN_ROWS = 1;
constexpr int32_t GLOBAL_POOL_SIZE = -1;

MappingStatus check_cnp_common_constraints(const HardwareConstraints& limits, const Layer& layer) {
  RuleFailures rules(layer);
  const Shape input = first_input_shape(layer);
  const uint32_t output_bits = layer.output_bits();
  if (layer.output_flag() && output_bits > 8) rules.fail("With activation output bitwidth should be <= 8.");
  if (int64_t{layer.input_bits()} < layer_param(layer, "weights_bits")) rules.fail("Input bits should be >= weights bits.");
  if (input[0] > limits.max_input_width)
    rules.fail("The maximum input width is " + std::to_string(limits.max_input_width) + " (got " +
               std::to_string(input[0]) + ").");
  if (input[1] > limits.max_input_height)
    rules.fail("The maximum input height is " + std::to_string(limits.max_input_height) + " (got " +
               std::to_string(input[1]) + ").");
  if (input[2] > limits.max_input_channels)
    rules.fail("The maximum input channel value is " + std::to_string(limits.max_input_channels) + " (got " +
               std::to_string(input[2]) + ").");
  const int64_t filters = layer_filters(layer);
  if (filters > int64_t{limits.max_filters})
    rules.fail("The maximum number of filters is " + std::to_string(limits.max_filters) + " (got " +
               std::to_string(filters) + ").");
  const auto variables = layer.variables();
  const auto input_shift = variables ? variables->get("input_shift") : nullptr;
  const uint64_t shift_words = input_shift ? cnp_tnp_input_shift_24b_size(*input_shift) : 0;
  if (shift_words > limits.input_shift_max_24b_words)
    rules.fail("Input shift exceeds memory. Maximum size is " +
               std::to_string(3 * uint64_t{limits.input_shift_max_24b_words}) + " bytes. (got " +
               std::to_string(3 * shift_words) + " bytes).");
  return rules.status();
}

MappingStatus check_padding_constraints(const Layer& layer) {
  RuleFailures rules(layer);
  const int32_t padding = layer_param(layer, "padding");
  if (padding != static_cast<int32_t>(Padding::Same) && padding != static_cast<int32_t>(Padding::SameUpper))
    rules.fail("Only padding 'Same' and 'SameUpper' are supported.");
  if (padding == static_cast<int32_t>(Padding::SameUpper)) {
    if (layer_param(layer, "kernel_stride") != 2) rules.fail("With SameUpper padding only stride 2 is supported.");
    if (layer.output_flag() && layer.output_bits() != 8)
      rules.fail("With SameUpper padding only 8-bit activations are supported.");
    if (layer_param(layer, "weights_bits") != 8) rules.fail("With SameUpper padding only 8-bit weights are supported.");
  }
  return rules.status();
}

MappingStatus check_pooling_constraints(const HardwareConstraints& limits, const Layer& layer) {
  RuleFailures rules(layer);
  const int32_t pool_type = layer_param(layer, "pool_type");
  if (pool_type == static_cast<int32_t>(PoolType::NoPooling)) return rules.status();
  const auto& conv = dynamic_cast<const HasConvParams&>(layer);
  const auto& pool = dynamic_cast<const HasPoolParams&>(layer);
  const Shape input = first_input_shape(layer);
  if (layer_param(layer, "kernel_stride") > 1) rules.fail("The CNP cannot support both pooling and stride.");
  const int32_t pool_size = layer_param(layer, "pool_size");
  if (pool_type == static_cast<int32_t>(PoolType::Max)) {
    if (pool_size != 1 && pool_size != 2) rules.fail("Pooling size must be 1 or 2.");
    const PoolingCalculatedParams& calculated = pool.pool_calculated_params();
    if (calculated.stride_x != calculated.stride_y) rules.fail("Pooling stride x and y must be equal.");
    if (int64_t{input[0]} < pool_size || int64_t{input[1]} < pool_size)
      rules.fail("Pooling size cannot be greater than input dimensions.");
    if (layer.has_activation_type(ActivationType::LUT)) rules.fail("Max pooling is not supported with activation LUT.");
  } else if (pool_type == static_cast<int32_t>(PoolType::Average)) {
    if (layer.output_bits() > 8) rules.fail("With average pooling output bitwidth should be <= 8.");
    if (pool_size != GLOBAL_POOL_SIZE) rules.fail("Global Average pooling must be global.");
    // The whole input goes to one NP, whose input rows hold at most 64 values.
    if (input[0] > GLOBAL_POOLING_MAX_WIDTH)
      rules.fail("When using Global Average Pooling, input height cannot exceed " +
                 std::to_string(GLOBAL_POOLING_MAX_WIDTH) + ".");
    const uint32_t rows = conv.conv_calculated_params().output_height;
    if (rows < GLOBAL_POOLING_MIN_ROWS)
      rules.fail("When using Global Average Pooling, the output of the convolution must have at least " +
                 std::to_string(GLOBAL_POOLING_MIN_ROWS) + " rows (currently " + std::to_string(rows) + ").");
    if (uint64_t{input[0]} * input[1] > GLOBAL_POOLING_MAX_AREA)
      rules.fail("When using Global Average Pooling, input dimensions width * height cannot exceed " +
                 std::to_string(GLOBAL_POOLING_MAX_AREA) + ".");
    if (cnp_input_words(layer.input_bits(), input[0], input[1], input[2]) > limits.sram_input_single_buffer)
      rules.fail("When using Global Average Pooling, spatial split is impossible.");
  }
  return rules.status();
}

MappingStatus check_output_bits_constraints(const Layer& layer, bool allow_4bit_output) {
  RuleFailures rules(layer);
  const uint32_t bits = layer.output_bits();
  if (!layer.output_flag()) {
    if (bits != 8 && bits != 28) rules.fail("Without activation output bitwidth should be 8 or 28.");
  } else if (bits == 4) {
    if (!allow_4bit_output) rules.fail("With activation output bitwidth should be 8.");
    if (layer_param(layer, "activation") != static_cast<int32_t>(ActivationType::ReLU))
      rules.fail("4-bit activation is not supported with LUT.");
  } else if (bits != 8) {
    rules.fail(allow_4bit_output ? "With activation output bitwidth should be 4 or 8."
                                 : "With activation output bitwidth should be 8.");
  }
  return rules.status();
}

// One filter's weights over every input channel must fit the CNP's weight SRAM. Runs only when the
// kernel size has been accepted.
void check_filter_size(const HardwareConstraints& limits, const Layer& layer, RuleFailures* rules, const char* message) {
  if (!rules->passed()) return;
  const uint32_t kernel = static_cast<uint32_t>(layer_param(layer, "kernel_size"));
  const auto weights_bits = static_cast<uint8_t>(layer_param(layer, "weights_bits"));
  const uint64_t words = uint64_t{conv2d_ch_cont_100b_size(kernel, 1, weights_bits)} * first_input_shape(layer)[2];
  if (words > limits.cnp_weight_limit) rules->fail(message);
}

constexpr const char* FILTER_SIZE_MESSAGE_A =
    "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth.";
constexpr const char* FILTER_SIZE_MESSAGE_B = "Filter size is too big to fit in a CNP: try decreasing the input.";

bool one_of(int32_t value, std::initializer_list<int32_t> allowed) {
  for (int32_t a : allowed)
    if (value == a) return true;
  return false;
}

}  // namespace


MappingStatus check_conv2d_constraints(const HardwareConstraints& limits, const Layer& layer) {
  RuleFailures rules(layer);
  rules.add(check_cnp_common_constraints(limits, layer));
  if (!one_of(layer.input_bits(), {4, 8})) rules.fail("Input should be 4-bit or 8-bit.");
  rules.add(check_padding_constraints(layer));
  rules.add(check_pooling_constraints(limits, layer));
  if (!one_of(layer_param(layer, "kernel_size"), {1, 3, 5, 7})) rules.fail("Kernel size must be 1, 3, 5 or 7.");
  rules.add(check_output_bits_constraints(layer, true));
  const int32_t weights_bits = layer_param(layer, "weights_bits");
  if (!one_of(weights_bits, {4, 8})) rules.fail("Weights bitwidth should be 4-bit or 8-bit.");
  check_filter_size(limits, layer, &rules, FILTER_SIZE_MESSAGE_A);
  if (!layer.output_flag() && weights_bits == 4 && layer.output_bits() == 8)
    rules.fail("4-bit weights and 8-bit potential is not allowed.");
  return rules.status();
}

MappingStatus check_dwconv2d_constraints(const HardwareConstraints& limits, const Layer& layer) {
  RuleFailures rules(layer);
  rules.add(check_cnp_common_constraints(limits, layer));
  if (!one_of(layer.input_bits(), {4, 8})) rules.fail("Input should be 4-bit or 8-bit.");
  rules.add(check_padding_constraints(layer));
  rules.add(check_pooling_constraints(limits, layer));
  if (!one_of(layer_param(layer, "kernel_size"), {3, 5, 7})) rules.fail("Kernel size must be 3, 5 or 7.");
  rules.add(check_output_bits_constraints(layer, true));
  const int32_t weights_bits = layer_param(layer, "weights_bits");
  if (!one_of(weights_bits, {4, 8})) rules.fail("Weights bitwidth should be 4-bit or 8-bit.");
  if (layer.output_flag() && weights_bits == 4 && layer.output_bits() == 8)
    rules.fail("4-bit weights and 8-bit activation is not allowed.");
  return rules.status();
}

namespace {

// The transposed kinds share their first five rules.
void check_transposed_rules(const HardwareConstraints& limits, const Layer& layer, RuleFailures* rules) {
  rules->add(check_cnp_common_constraints(limits, layer));
  if (layer.input_bits() != 8) rules->fail("Input should be 8-bit.");
  rules->add(check_output_bits_constraints(layer, false));
  if (layer_param(layer, "weights_bits") != 8) rules->fail("Weights should be 8-bit.");
  if (!one_of(layer_param(layer, "kernel_size"), {3, 4})) rules->fail("Kernel size must be 3 or 4.");
}

}  // namespace

MappingStatus check_conv2dtranspose_constraints(const HardwareConstraints& limits, const Layer& layer) {
  RuleFailures rules(layer);
  check_transposed_rules(limits, layer, &rules);
  check_filter_size(limits, layer, &rules, FILTER_SIZE_MESSAGE_B);
  return rules.status();
}

MappingStatus check_dwconv2dtranspose_constraints(const HardwareConstraints& limits, const Layer& layer) {
  RuleFailures rules(layer);
  check_transposed_rules(limits, layer, &rules);
  return rules.status();
}

}  // namespace ovrix::v2
