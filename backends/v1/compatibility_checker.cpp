#include "backends/v1/compatibility_checker.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backends/v1/cnp_sizes.h"
#include "backends/v1/fnp_sizes.h"
#include "backends/v1/input_fit.h"
#include "backends/common/layer_queries.h"
#include "backends/common/rule_failures.h"
#include "engine/device.h"
#include "engine/engine.h"
#include "engine/layer.h"
#include "engine/layers.h"
#include "engine/variables.h"

namespace ovrix::v1 {


namespace {

// Pool sizes a CNP's max pooling takes.
constexpr uint8_t MAX_POOL_SIZE = 3;
// Global average pooling reads the whole input row at once: at most this wide.
constexpr uint32_t AVG_POOL_MAX_WIDTH = 32;
constexpr uint32_t AVG_POOL_MIN_ROWS = 3;

constexpr const char* FILTER_TOO_BIG =
    "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth.";

bool is_quor_v1(const HwVersion& v) { return v == hw_versions::Quor_v1; }
bool is_quor_v2(const HwVersion& v) { return v == hw_versions::Quor_v2; }

// What the CNP rules read of a built convolution: the rows of the convolution output (before any
// pooling) and the pooling strides.
struct BuiltCnp {
  uint32_t conv_rows = 0;
  int8_t pool_stride_x = 0;
  int8_t pool_stride_y = 0;
};

// Both records throw "The layer <name> is not built." while the input is unknown.
template <class Kind>
BuiltCnp built_cnp(const Kind& layer) {
  const ConvCalculatedParams& conv = layer.conv_calculated_params();
  const PoolingCalculatedParams& pool = layer.pool_calculated_params();
  return {conv.output_height, static_cast<int8_t>(pool.stride_x), static_cast<int8_t>(pool.stride_y)};
}

// Input width, height and channels against the mesh-wide limits.
MappingStatus check_max_input_dims(const HardwareConstraints& limits, const Layer& layer, const Shape& input) {
  MappingStatus status;
  if (input[0] > limits.max_input_width)
    status += layer_failure(layer, fmt::format("The maximum input width is {} (got {}).", limits.max_input_width, input[0]));
  if (input[1] > limits.max_input_height)
    status += layer_failure(layer,
                            fmt::format("The maximum input height is {} (got {}).", limits.max_input_height, input[1]));
  if (input[2] > limits.max_input_channels)
    status += layer_failure(
        layer, fmt::format("The maximum input channel value is {} (got {}).", limits.max_input_channels, input[2]));
  return status;
}

MappingStatus check_max_pooling(const Layer& layer, const Shape& input, const BuiltCnp& built, HwVersion version) {
  MappingStatus status;
  const auto p = static_cast<uint8_t>(layer_param(layer, "pooling_width"));
  if (p < 1 || p > MAX_POOL_SIZE) status += layer_failure(layer, "Pooling size must be 1, 2 or 3.");
  if (is_quor_v2(version) && p == 3) status += layer_failure(layer, "Pooling size 3 is not supported on Quor_v2.");
  if (layer_param(layer, "pooling_height") != p) status += layer_failure(layer, "Pooling width and height must be equal.");
  if (built.pool_stride_x != built.pool_stride_y) status += layer_failure(layer, "Pooling stride x and y must be equal.");
  if (built.pool_stride_x > p) status += layer_failure(layer, "Pooling stride must be equal or lower than pooling size.");
  if (p > input[0] || p > input[1]) status += layer_failure(layer, "Pooling size cannot be greater than input dimensions.");
  return status;
}

MappingStatus check_average_pooling(const HardwareConstraints& limits, const Layer& layer, const Shape& input,
                                    uint8_t input_bits, const BuiltCnp& built) {
  MappingStatus status;
  if (layer_param(layer, "pooling_width") != -1) status += layer_failure(layer, "Average pooling must be global.");
  // The hardware bounds the row it averages, which is the input's first dimension.
  if (input[0] > AVG_POOL_MAX_WIDTH) status += layer_failure(layer, "With average pooling, input height cannot exceed 32.");
  if (built.conv_rows < AVG_POOL_MIN_ROWS) {
    status += layer_failure(layer,
                      fmt::format("When using Global Average Pooling, the output of the convolution must have at "
                                  "least 3 rows (currently {}).",
                                  built.conv_rows));
  } else if (cnp_input_words(input[0], input_bits, input[2], input[1]) > limits.sram_input_single_buffer) {
    // The global average needs the whole input in one NP.
    status += layer_failure(layer, "With average pooling, spatial split is impossible.");
  }
  return status;
}

// Rules shared by both CNP kinds, all of them run.
MappingStatus check_common_cnp_constraints(const HardwareConstraints& limits, const Layer& layer,
                                           const BuiltCnp& built, HwVersion version) {
  const uint8_t input_bits = layer.input_bits();
  const Shape input = first_input_shape(layer);
  MappingStatus status = check_max_input_dims(limits, layer, input);
  if (static_cast<uint32_t>(layer_param(layer, "filters")) > limits.max_filters)
    status += layer_failure(layer, fmt::format("The maximum number of filters is {} (got {}).", limits.max_filters,
                                               static_cast<uint32_t>(layer_param(layer, "filters"))));
  const int32_t kernel = layer_param(layer, "kernel_width");
  const int32_t stride = layer_param(layer, "stride_x");
  if (kernel != layer_param(layer, "kernel_height")) status += layer_failure(layer, "Kernel width and height must be equal.");
  if (stride != layer_param(layer, "stride_y")) status += layer_failure(layer, "Horizontal and vertical strides must be equal.");
  if (stride > 2) status += layer_failure(layer, "Convolution stride must be 1 or 2.");
  if (stride == 2 && kernel != 3) status += layer_failure(layer, "Convolution stride 2 is only supported for 3x3 kernels.");
  if (layer_param(layer, "padding") != static_cast<int32_t>(Padding::Same))
    status += layer_failure(layer, "Only padding same is supported.");
  switch (static_cast<PoolType>(layer_param(layer, "pool_type"))) {
    case PoolType::Max: status += check_max_pooling(layer, input, built, version); break;
    case PoolType::Average: status += check_average_pooling(limits, layer, input, input_bits, built); break;
    default: break;
  }
  return status;
}

MappingStatus check_sep_cnp_weights_not_zero(const Layer& layer, const Dense& weights) {
  const int8_t* values = weights.data_as<int8_t>();
  if (std::all_of(values, values + weights.size(), [](int8_t v) { return v == 0; }))
    return layer_failure(layer, "All weights in a separable CNP layer cannot be zeroes.");
  return MappingStatus();
}

}  // namespace

CompatibilityCheckerImpl::CompatibilityCheckerImpl(const Device& device, const HardwareConstraints& constraints)
    : CompatibilityChecker(device, constraints) {}

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer& layer, const Layer* /*previous*/,
                                                                  HwVersion version) const {
  if (is_quor_v1(version))
    return layer_failure(layer, "Quor_v1 is not supported on this version. Please install ovrix 2.0.5 instead.");
  switch (layer_type(layer)) {
    case LayerType::InputData:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return MappingStatus();
    case LayerType::InputConvolutional: return check_hrc_constraints(layer);
    case LayerType::FullyConnected: return check_dense_constraints(layer, version);
    case LayerType::Convolutional: return check_std_cnp_constraints(layer, version);
    case LayerType::SeparableConvolutional: return check_sep_cnp_constraints(layer, version);
    default: return layer_failure(layer, "Unsupported layer type on Ovrix v1.");
  }
}

MappingStatus CompatibilityCheckerImpl::check_std_cnp_constraints(const Layer& layer, HwVersion version) const {
  const auto& conv = dynamic_cast<const Convolutional&>(layer);
  const BuiltCnp built = built_cnp(conv);
  MappingStatus status = check_common_cnp_constraints(constraints_, layer, built, version);
  if (status.failed) return status;
  const int32_t kernel = layer_param(layer, "kernel_width");
  if (kernel != 1 && kernel != 3 && kernel != 5 && kernel != 7)
    status += layer_failure(layer, "Kernel size must be 1, 3, 5 or 7.");
  const int32_t bits = layer_param(layer, "weights_bits");
  if (bits != 1 && bits != 2 && bits != 4) status += layer_failure(layer, "Standard CNP weights bitwidth must be 1, 2 or 4.");
  if (status.failed) return status;
  if (!check_weights_size_fit_cnp(constraints_, layer, 1)) status += layer_failure(layer, FILTER_TOO_BIG);
  return status;
}

MappingStatus CompatibilityCheckerImpl::check_sep_cnp_constraints(const Layer& layer, HwVersion version) const {
  const Shape input = first_input_shape(layer);
  const auto& sep = dynamic_cast<const SeparableConvolutional&>(layer);
  const auto depthwise = layer_variable(layer, "weights");
  const auto pointwise = layer_variable(layer, "weights_pw");
  const BuiltCnp built = built_cnp(sep);
  MappingStatus status = check_common_cnp_constraints(constraints_, layer, built, version);
  if (status.failed) return status;
  const int32_t kernel = layer_param(layer, "kernel_width");
  if (kernel != 3 && kernel != 5 && kernel != 7) status += layer_failure(layer, "Kernel size must be 3, 5 or 7.");
  const int32_t bits = layer_param(layer, "weights_bits");
  if (bits != 2 && bits != 4) status += layer_failure(layer, "Separable CNP weights bitwidth must be 2 or 4.");
  if (layer_param(layer, "pool_type") == static_cast<int32_t>(PoolType::Average) && input[0] == 1 && input[1] == 1)
    status += layer_failure(layer, "Separable CNP with Global Average Pooling does not support 1x1 inputs.");
  if (status.failed) return status;
  if (!check_weights_size_fit_cnp(constraints_, layer, 1)) status += layer_failure(layer, FILTER_TOO_BIG);
  status += check_sep_cnp_weights_not_zero(layer, *depthwise);
  if (status.failed) return status;
  status += check_sep_cnp_weights_not_zero(layer, *pointwise);
  return status;
}

MappingStatus CompatibilityCheckerImpl::check_hrc_constraints(const Layer& layer) const {
  auto param = [&](const char* key) { return layer_param(layer, key); };
  MappingStatus status;
  auto fail = [&](const std::string& message) { status += layer_failure(layer, message); };
  const auto k = static_cast<uint8_t>(param("kernel_width"));
  const int32_t kernel_height = param("kernel_height");
  if (kernel_height != param("kernel_width")) fail("Kernel size should be symmetric.");
  const bool kernel_ok = k == 3 || k == 5 || k == 7;
  if (!kernel_ok) fail("Kernel size should be 3, 5 or 7.");
  const int32_t act_bits = param("act_bits");
  if (param("activation") != 0 && act_bits != 1 && act_bits != 2 && act_bits != 4)
    fail("The parameter act_bits should be 1, 2 or 4.");
  const int32_t channels = param("input_channels");
  if (channels != 1 && channels != 3) fail("The parameter input_channels must be 1 or 3.");
  const int32_t stride_x = param("stride_x"), stride_y = param("stride_y");
  if (stride_x < 1 || stride_x > 3) fail("The parameter stride_x should be 1, 2 or 3.");
  if (stride_y < 1 || stride_y > 3) fail("The parameter stride_y should be 1, 2 or 3.");
  if (kernel_ok) {
    // Neurons the HRC holds per kernel size, for colour and for single-channel inputs.
    const int32_t limit = k == 3 ? (channels == 3 ? 192 : 512) : k == 5 ? (channels == 3 ? 64 : 192)
                                                                        : (channels == 3 ? 32 : 96);
    const int32_t filters = param("filters");
    if (filters < 1 || filters > limit)
      fail(fmt::format("The parameter num_neurons should be set between 1 and {}.", limit));
  }
  const int32_t width = param("input_width"), height = param("input_height");
  if (param("padding") == static_cast<int32_t>(Padding::Valid)) {
    const int64_t minimum = std::max<int64_t>(int64_t{kernel_height} + stride_y, 5);
    if (height < minimum)
      fail(fmt::format("With valid padding, a {} kernel size and a {} kernel stride, input second dimension size "
                       "cannot be smaller than {}.",
                       k, stride_y, minimum));
  } else if (height < 5) {
    fail("Input second dimension size cannot be smaller than 5.");
  }
  if (width < 5) fail("Input first dimension size cannot be smaller than 5.");
  if (width < k) fail("Input first dimension size cannot be smaller than kernel size.");
  if (height > 256) fail(fmt::format("The maximum input second dimension size is 256 (got {}).", height));
  const int32_t pool = param("pool_type");
  if (pool == static_cast<int32_t>(PoolType::Average)) fail("The parameter pool_type cannot be Average.");
  if (pool == static_cast<int32_t>(PoolType::Max)) {
    const int32_t pool_w = param("pooling_width"), pool_h = param("pooling_height");
    if (pool_h < 1 || pool_h > 2) fail("The parameter pooling_y should be 1 or 2.");
    if (pool_w < 1 || pool_w > 2) fail("The parameter pooling_x should be 1 or 2.");
    const int32_t sx = param("pooling_stride_x") < 0 ? pool_w : param("pooling_stride_x");
    const int32_t sy = param("pooling_stride_y") < 0 ? pool_h : param("pooling_stride_y");
    if (pool_w != sx || pool_h != sy) fail("The parameter pool_size and pool_stride should be equal.");
    if (layer.output_dimensions()[1] < 2) fail("With max pooling, output second dimension size must be at least 2.");
  }
  if (param("activation") == 0)
    fail("The first convolutional layer of a model can only be mapped if its activations are enabled.");
  const auto weights = layer_variable(layer, "weights");
  const int8_t* values = weights->data_as<int8_t>();
  if (std::all_of(values, values + weights->size(), [](int8_t v) { return v == 0; }))
    fail("All weights in a hrc layer cannot be zeroes.");
  if (status.failed) return status;
  const auto t16 = get_threshold_t16_from_act_steps(*layer_variable(layer, "act_step"));
  const int32_t* thresholds = t16->data_as<int32_t>();
  const int32_t* over = std::find_if(thresholds, thresholds + t16->size(),
                                     [](int32_t t) { return static_cast<uint32_t>(t) > 16777215u; });
  if (over != thresholds + t16->size())
    fail(fmt::format("The parameter act_step should be between 0 and 1048575. Receives act_step {}.", *over / 16));
  return status;
}

MappingStatus CompatibilityCheckerImpl::check_fnp_common_constraints(const Layer& layer, HwVersion version) const {
  const Shape input = first_input_shape(layer);
  const uint32_t bits = layer.input_bits();
  (void)dynamic_cast<const FullyConnected&>(layer);
  MappingStatus status;
  if (bits != 1 && bits != 2 && bits != 4) status += layer_failure(layer, "Input bitwidth should be 1, 2 or 4.");
  const uint32_t limit = is_quor_v2(version) ? 57334 : 81920;
  if (input.elements() > limit)
    status += layer_failure(layer,
                            fmt::format("Input dimensions are too large to fit in a FNP. The maximum value is {}.", limit));
  if (!status.failed && !(input[0] == 1 && input[1] == 1)) status += check_max_input_dims(constraints_, layer, input);
  if (layer_param(layer, "weights_bits") > 4)
    status += layer_failure(layer, "Weight bits should be between 1 and 4 inclusive.");
  const int32_t act_bits = layer_param(layer, "act_bits");
  if (layer_param(layer, "activation") != 0 && act_bits != 1 && act_bits != 2 && act_bits != 4)
    status += layer_failure(layer, "act_bits should be 1, 2 or 4.");
  if (!status.failed) {
    const uint32_t size = get_fnp_input_size(layer);
    const uint32_t capacity = constraints_.fnp_input_max_bytes;
    if (size > capacity)
      status += layer_failure(layer, fmt::format("Input size exceeds memory. Maximum size is {} bytes. (got {} bytes).",
                                                 uint64_t{capacity} * 4, uint64_t{size} * 4));
  }
  return status;
}

MappingStatus CompatibilityCheckerImpl::check_dense_constraints(const Layer& layer, HwVersion version) const {
  const auto& dense = dynamic_cast<const FullyConnected&>(layer);
  MappingStatus status = check_fnp_common_constraints(layer, version);
  if (status.failed) return status;
  const bool learns = dense.can_learn();
  const int32_t bits = layer_param(layer, "weights_bits");
  const int32_t bound = bits == 1 ? 2 : 1 << (std::clamp(bits, 1, 8) - 1);
  const auto weights = layer_variable(layer, "weights");
  const int8_t* values = weights->data_as<int8_t>();
  const int8_t* out = std::find_if(values, values + weights->size(), [&](int8_t w) { return w >= bound || w <= -bound; });
  if (out != values + weights->size())
    return layer_failure(layer, fmt::format("Weights contain values out of range ({}, {}) (e.g.: {}).", 1 - bound,
                                            bound - 1, *out));
  if (!learns) return status;
  const auto params = layer.learning_params();
  if (!params) return status;
  const auto n = static_cast<int64_t>(params->get("num_weights"));
  const Shape shape = weights->shape();
  const std::vector<uint32_t> strides = weights->strides();
  uint64_t per_neuron = 1;
  for (size_t d = 1; d < shape.size(); ++d) per_neuron *= shape[d];
  for (uint32_t i = 0; i < shape[0]; ++i) {
    int64_t count = 0;
    for (uint64_t j = 0; j < per_neuron; ++j) count += values[size_t{i} * strides[0] + j * strides[1]] != 0;
    if (count != n)
      return layer_failure(layer, "The number of weights per neuron should match the num_weights OvrixUnsupervised parameter.");
  }
  return status;
}

}  // namespace ovrix::v1
