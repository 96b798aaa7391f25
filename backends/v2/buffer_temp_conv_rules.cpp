#include "backends/v2/buffer_temp_conv_rules.h"

#include <string>

#include "backends/common/sizes.h"
#include "backends/v2/cnp_sizes.h"
#include "backends/v2/cnp_tnp_common.h"
#include "backends/v2/conv_recorder.h"
#include "backends/v2/rules.h"

namespace ovrix::v2 {

namespace {

// Limits of the TNP-B.
constexpr uint64_t TNP_B_MAX_WIDTH = 4096;
constexpr uint64_t TNP_B_MAX_HEIGHT = 4096;
constexpr uint64_t TNP_B_MAX_CHANNELS = 2048;
constexpr uint64_t TNP_B_MAX_FILTERS = 2048;
// A skip-DMA row carries one input pixel, in 32-bit words.
constexpr uint64_t SKIP_DMA_MAX_ROW_WORDS = 1023;

std::string str(uint64_t v) { return std::to_string(v); }

}  // namespace

MappingStatus check_tnp_b_constraints(const HardwareConstraints& constraints, const Layer& layer) {
  MappingStatus status;
  const auto fail = [&](const std::string& message) { status += layer_failure(layer, message); };
  const uint32_t in = layer.input_bits();
  if (in != 8) fail("Input should be 8-bit.");
  if (layer.output_bits() != 8) fail("Output should be 8-bit.");

  const Shape input = first_input_shape(layer);
  const uint64_t x = input[0], y = input[1], c = input[2];
  MappingStatus size;
  if (x > TNP_B_MAX_WIDTH)
    size += layer_failure(layer, "The maximum input width is " + str(TNP_B_MAX_WIDTH) + " (got " + str(x) + ").");
  if (y > TNP_B_MAX_HEIGHT)
    size += layer_failure(layer, "The maximum input height is " + str(TNP_B_MAX_HEIGHT) + " (got " + str(y) + ").");
  if (c > TNP_B_MAX_CHANNELS)
    size += layer_failure(layer,
                          "The maximum input channel value is " + str(TNP_B_MAX_CHANNELS) + " (got " + str(c) + ").");
  status += size;

  if (layer_param(layer, "weights_bits") != 8) fail("Only 8-bit weights are supported.");

  const int64_t filters = layer_filters(layer);
  if (filters > static_cast<int64_t>(TNP_B_MAX_FILTERS))
    fail("The maximum number of filters is " + str(TNP_B_MAX_FILTERS) + " (got " + std::to_string(filters) + ").");

  const uint64_t row_words = ceil_div(uint64_t{in} * c, 32);
  if (row_words > SKIP_DMA_MAX_ROW_WORDS)
    fail("The skip DMA horizontal dimension must be smaller than " + str(SKIP_DMA_MAX_ROW_WORDS + 1) + " (got " +
         str(row_words) + ").");

  const uint32_t shift = cnp_tnp_input_shift_24b_size(*required_variable(layer, "input_shift"));
  if (constraints.input_shift_max_24b_words < shift)
    fail("Input shift exceeds memory. Maximum size is " + str(uint64_t{constraints.input_shift_max_24b_words} * 3) +
         " bytes. (got " + str(uint64_t{shift} * 3) + " bytes).");
  return status;
}

MappingStatus check_buffer_temp_conv_constraints(const HardwareConstraints& constraints, const Layer& layer) {
  return check_tnp_b_constraints(constraints, layer);
}

MappingStatus check_depthwise_buffer_temp_conv_constraints(const HardwareConstraints& constraints,
                                                           const Layer& layer) {
  return check_tnp_b_constraints(constraints, layer);
}

}  // namespace ovrix::v2
