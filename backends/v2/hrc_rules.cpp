#include "backends/v2/hrc_rules.h"

#include <fmt/format.h>

#include <algorithm>
#include <string>

#include "backends/v2/cnp_sizes.h"
#include "backends/v2/conv_recording.h"
#include "backends/v2/rules.h"

namespace ovrix::v2 {

namespace {

// Limits of the HRC.
constexpr int32_t HRC_MAX_STRIDE = 6;
constexpr uint32_t HRC_MIN_INPUT = 5;
constexpr uint32_t HRC_MAX_INPUT_HEIGHT = 384;
constexpr int32_t HRC_MAX_FILTERS = 512;

}  // namespace

MappingStatus check_input_conv2d_constraints(const Layer& layer) {
  RuleFailures rules(layer);
  const auto fail = [&](const std::string& message) { rules.fail(message); };
  const int32_t kernel = layer_param(layer, "kernel_size");
  const int32_t stride = layer_param(layer, "kernel_stride");
  const int32_t pool_type = layer_param(layer, "pool_type");
  const int32_t pool_size = layer_param(layer, "pool_size");
  const int32_t pool_stride = layer_param(layer, "pool_stride");

  if (!one_of(kernel, {3, 4, 5, 7}))
    fail(fmt::format("Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. {} given.", kernel));
  const int32_t max_stride = std::min(kernel, HRC_MAX_STRIDE);
  if (stride > max_stride)
    fail(fmt::format("For a kernel size {}, the kernel stride must be smaller than {}.", kernel, max_stride));
  if (pool_type == static_cast<int32_t>(PoolType::Max) && (!one_of(pool_size, {2, 3}) || pool_stride != 2))
    fail(fmt::format("Unsupported max-pooling size, max-pooling stride combinaison. The only supported combinaison of "
                     "(Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received ({}, {}).", pool_size, pool_stride));

  const Shape input = first_input_shape(layer);
  if (input[0] < HRC_MIN_INPUT)
    fail(fmt::format("Unsupported input size. Received: {} as first dimension.\n The first dimension should be >= {}.",
                     input[0], HRC_MIN_INPUT));
  if (input[1] < HRC_MIN_INPUT || input[1] > HRC_MAX_INPUT_HEIGHT)
    fail(fmt::format("Unsupported input size. Received: {} as second dimension.\n The second dimension should be "
                     "between {} and {}.", input[1], HRC_MIN_INPUT, HRC_MAX_INPUT_HEIGHT));

  const bool activation = layer.activation_enabled();
  if (activation) {
    const int32_t output_bits = layer_param(layer, "output_bits");
    if (output_bits != 4 && output_bits != 8)
      fail(fmt::format("Output should be 4-bit or 8-bit. {} given.", output_bits));
    if (layer_param(layer, "activation") == static_cast<int32_t>(ActivationType::LUT)) {
      if (output_bits == 4) fail("4-bit activation is not supported with LUT.");
      if (pool_type != static_cast<int32_t>(PoolType::NoPooling)) fail("Max pooling is not supported with activation LUT.");
    }
  } else {
    fail("The first convolutional layer of a model can only be mapped if its activations are enabled.");
  }

  const int32_t filters = layer_param(layer, "filters");
  if (filters < 1 || filters > HRC_MAX_FILTERS)
    fail(fmt::format("The filters number should be set between 1 and {}. {} given.", HRC_MAX_FILTERS, filters));

  const auto weights = required_variable(layer, "weights");
  const int8_t* values = weights->data_as<int8_t>();
  if (std::all_of(values, values + weights->size(), [](int8_t v) { return v == 0; }))
    fail("All weights cannot be zeroes.");

  if (layer_param(layer, "weights_bits") != 8) fail("Only 8-bit weigths are supported.");

  if (layer_param(layer, "padding") == static_cast<int32_t>(Padding::SameUpper)) {
    if (!one_of(kernel, {3, 5, 7})) fail("With SameUpper padding only kernels 3, 5, 7 are supported.");
    if (stride != 2) fail("With SameUpper padding only stride 2 is supported.");
    if (activation && layer.output_bits() != 8) fail("With SameUpper padding only 8-bit activations are supported.");
  }
  return rules.status();
}

}  // namespace ovrix::v2
