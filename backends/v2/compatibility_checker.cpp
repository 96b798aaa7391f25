#include "backends/v2/compatibility_checker.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

#include "backends/common/sizes.h"
#include "backends/v2/buffer_temp_conv_recording.h"
#include "backends/v2/buffer_temp_conv_rules.h"
#include "backends/v2/cnp_sizes.h"
#include "backends/v2/cnp_weights.h"
#include "backends/v2/dense_rules.h"
#include "backends/v2/depthwise_buffer_temp_conv_recording.h"
#include "backends/v2/fnp_format.h"
#include "backends/v2/hrc_rules.h"
#include "backends/v2/rules.h"
#include "engine/device.h"
#include "engine/engine.h"
#include "engine/layer.h"
#include "mapping/graph_utils.h"
#include "mapping/mesh.h"

namespace ovrix::v2 {

namespace {

// Limits of the checks of components and passes.
constexpr uint32_t NP_MAX_INPUT_WIDTH = 64;
constexpr size_t PASS_MAX_FIRST_COMPONENTS = 127;
constexpr size_t MAX_OUTBOUNDS = 2;
// Channel containers are addressed with 18 bits.
constexpr uint32_t CH_CONT_LIMIT = 1u << 18;
// TNP-B input frames are allocated in blocks of 64 words.
constexpr uint64_t TNP_B_FRAME_ALIGN = 64;

// Bit widths of the per-channel variables, checked for every layer.
struct VariableWidth {
  const char* name;
  uint32_t bits;
};
constexpr VariableWidth VARIABLE_WIDTHS[] = {
    {"input_shift", 3}, {"max_value_shift", 5}, {"bias_shift", 5}, {"output_shift", 6}, {"output_scales", 8},
};

const char* activation_name(const Layer& layer) {
  const LayerParams* params = layer.params();
  if (params == nullptr || !params->has("activation")) return "Unknown";
  switch (params->get("activation")) {
    case 0: return "NoActivation";
    case 1: return "ReLU";
    case 2: return "LUT";
    default: return "Unknown";
  }
}

// The first inbound layer that answers `test`, or null.
template <class Test>
const Layer* first_inbound(const Layer& layer, Test test) {
  for (const auto& in : layer.inbound_layers())
    if (in && test(*in)) return in.get();
  return nullptr;
}

bool in_range(const std::vector<LayerPtr>& range, const Layer* layer) {
  return layer && std::any_of(range.begin(), range.end(), [&](const LayerPtr& l) { return l.get() == layer; });
}

// Checks the output variables of a last layer without activation: they must leave the potentials
// unchanged when they are wider than 8 bits.
MappingStatus check_unscaled_output(const Layer& layer) {
  const auto variables = layer.variables();
  const auto scales = variables ? variables->get("output_scales") : nullptr;
  const auto shifts = variables ? variables->get("output_shift") : nullptr;
  const uint8_t* scale_values = scales ? scales->data_as<uint8_t>() : nullptr;
  const int8_t* shift_values = shifts ? shifts->data_as<int8_t>() : nullptr;
  if (shift_values && std::any_of(shift_values, shift_values + shifts->size(), [](int8_t v) { return v != 0; }))
    return layer_failure(layer, "Without activation output_shift should be 0.");
  if (scale_values && std::any_of(scale_values, scale_values + scales->size(), [](uint8_t v) { return v != 1; }))
    return layer_failure(layer, "Without activation output_scales should be 1.");
  return MappingStatus();
}

}  // namespace

CompatibilityCheckerImpl::CompatibilityCheckerImpl(const Device& device, const HardwareConstraints& constraints)
    : CompatibilityChecker(device, constraints) {}

MappingStatus CompatibilityCheckerImpl::check_supported_activation(const Layer& layer) const {
  MappingStatus status;
  if (!is_kind(layer, hw::TargetKind::CNP) && !is_kind(layer, hw::TargetKind::HRC) && layer.activation_enabled() &&
      !layer.has_activation_type(ActivationType::ReLU))
    status += layer_failure(layer, fmt::format("Does not support activation type '{}'.", activation_name(layer)));
  if (layer.has_activation_type(ActivationType::LUT) && !device_.mesh().has_lut_on_all_nps())
    status += layer_failure(layer, "Lookup tables are missing on some NPs.");
  return status;
}

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer& layer, const Layer* previous,
                                                                  HwVersion /*version*/) const {
  MappingStatus status;
  for (const auto& [name, bits] : VARIABLE_WIDTHS) status += check_bitwidth(layer, bits, name, false);
  status += check_supported_activation(layer);
  const LayerType type = layer_type(layer);
  switch (type) {
    case LayerType::InputData:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: break;
    case LayerType::Add: status += check_add_constraints(layer); break;
    case LayerType::Concatenate: status += check_concatenate_constraints(layer); break;
    case LayerType::Conv2D: status += check_conv2d_constraints(constraints_, layer); break;
    case LayerType::DepthwiseConv2D: status += check_dwconv2d_constraints(constraints_, layer); break;
    case LayerType::Conv2DTranspose: status += check_conv2dtranspose_constraints(constraints_, layer); break;
    case LayerType::DepthwiseConv2DTranspose: status += check_dwconv2dtranspose_constraints(constraints_, layer); break;
    case LayerType::InputConv2D: status += check_input_conv2d_constraints(layer); break;
    case LayerType::BufferTempConv: status += check_buffer_temp_conv_constraints(constraints_, layer); break;
    case LayerType::DepthwiseBufferTempConv:
      status += check_depthwise_buffer_temp_conv_constraints(constraints_, layer);
      break;
    case LayerType::Dense1D: status += check_fnp_constraints(constraints_, layer, previous); break;
    default: return layer_failure(layer, "Unsupported layer type on Ovrix v2.");
  }
  return status;
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerIterator first_it, LayerIterator last_it,
                                                             HwVersion /*version*/) const {
  const std::vector<LayerPtr> range(first_it, last_it);
  if (range.empty()) return MappingStatus();
  const Layer& first = *range.front();
  const Layer& last = *range.back();

  if (is_kind(first, hw::TargetKind::SkipDma)) return layer_failure(first, "Can't be the first layer of the sequence.");

  const auto dequantizer = std::find_if(range.begin(), range.end(), [](const LayerPtr& l) {
    return is_layer_type(*l, LayerType::Dequantizer);
  });
  if (dequantizer == range.begin()) return layer_failure(first, "Can't start a sequence with a Dequantizer.");
  if (dequantizer != range.end() && dequantizer + 1 != range.end())
    return layer_failure(**dequantizer, "Only 1 Dequantizer at the end of the model is supported.");

  const Layer& tail = is_layer_type(last, LayerType::Dequantizer) ? *range[range.size() - 2] : last;
  if (tail.has_pool_type(PoolType::Max))
    return layer_failure(tail, "A layer with max pooling cannot be the last layer of a sequence.");
  if (!tail.activation_enabled() && tail.output_bits() > 8) {
    MappingStatus status = check_unscaled_output(tail);
    if (status.failed) return status;
  }

  for (const LayerPtr& p : range) {
    const Layer& layer = *p;
    if (!is_kind(layer, hw::TargetKind::CNP) && !is_kind(layer, hw::TargetKind::TNP_B)) {
      const Layer* q = first_inbound(layer, [](const Layer& in) {
        return is_kind(in, hw::TargetKind::CNP) && in.has_pool_type(PoolType::Max);
      });
      if (in_range(range, q))
        return layer_failure(layer,
                             fmt::format("Any layer with max pooling must be followed by a layer mapped on a CNP or a "
                                         "TNP-B. Layer '{}' has max pooling.", q->get_name()));
    }
    if (is_kind(layer, hw::TargetKind::CNP)) {
      const Layer* q = first_inbound(layer, [](const Layer& in) { return is_kind(in, hw::TargetKind::FNP); });
      if (in_range(range, q))
        return layer_failure(layer,
                             fmt::format("A layer mapped on FNP cannot be directly followed by a layer mapped on CNP "
                                         "due to incompatible data processing requirements. Layer '{}' is mappable on "
                                         "FNP.", q->get_name()));
    }
    if (is_kind(layer, hw::TargetKind::FNP)) {
      const Layer* q = first_inbound(layer, [](const Layer& in) { return is_kind(in, hw::TargetKind::SkipDma); });
      if (in_range(range, q))
        return layer_failure(layer, fmt::format("Dense layer can't have Add/Concat as inbound. Layer '{}' is a "
                                                "Add/Concat.", q->get_name()));
    }
    if (layer.outbound_layers().size() > MAX_OUTBOUNDS)
      return layer_failure(layer, fmt::format("Layer has {} outbounds. A maximum of 2 outbounds is supported.",
                                              layer.outbound_layers().size()));
  }

  if (is_kind(first, hw::TargetKind::HRC) && first.outbound_layers().size() > 1)
    return layer_failure(first, "A layer mapped on HRC supports 1 outbound only.");

  if (get_out_branches_count(range) >= 2) return MappingStatus("", "Bad mapping on skip connection. Several branches.");

  if (is_kind(last, hw::TargetKind::SkipDma))
    return layer_failure(last,
                         "Bad mapping on skip connection. No valid merge layer. Add layer requires an outbound that "
                         "is mappable on a CNP.");

  for (const LayerPtr& x : range) {
    const auto& outs = x->outbound_layers();
    if (outs.size() <= 1) continue;
    DepthMemo memo;
    for (const LayerPtr& c : outs) {
      if (!c || !is_layer_type(*c, LayerType::Concatenate)) continue;
      const auto& ins = c->inbound_layers();
      if (ins.size() < 2 || ins[1] != x) continue;
      const uint32_t first_depth = get_layer_depth(ins[0], &memo);
      get_layer_depth(ins[1], &memo);
      if (first_depth < get_layer_depth(x, &memo))
        return layer_failure(*x, "Is the second input of a Concat, it can't have multiple outputs.");
    }
  }
  return MappingStatus();
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(const Layer& layer,
                                                             const std::vector<hw::Component>& components,
                                                             bool first_in_pass) const {
  for (const hw::Component& c : components) {
    if (c.type != hw::Type::CNP1 && c.type != hw::Type::CNP2) continue;
    const uint64_t width = round_up(c.np ? c.np->spatial_partition.shape[0] : 0, 4);
    if (width > NP_MAX_INPUT_WIDTH)
      return layer_failure(layer, fmt::format("The input length {} exceeds the maximum value for NP input width: {}.",
                                              width, NP_MAX_INPUT_WIDTH));
  }
  const auto stores = std::count_if(components.begin(), components.end(),
                                    [](const hw::Component& c) { return c.type == hw::Type::SKIP_DMA_STORE; });
  if (stores > 1)
    return layer_failure(layer,
                         "A layer which outputs directly to one skip dma and another skipdma via dual outputs is not "
                         "supported.");
  if (first_in_pass) {
    if (components.size() > PASS_MAX_FIRST_COMPONENTS)
      return layer_failure(layer, fmt::format("First layer of pass exceeds the maximum of {} hardware components. "
                                              "Needs {}.", PASS_MAX_FIRST_COMPONENTS, components.size()));
    if (is_kind(layer, hw::TargetKind::TNP_B)) return layer_failure(layer, "A TNP-B layer cannot be the first layer of a pass.");
  }
  return MappingStatus();
}

uint64_t np_input_words(hw::Type type, uint32_t height, uint32_t width, uint32_t channels, uint32_t fifo_size,
                        uint8_t input_bits) {
  switch (type) {
    case hw::Type::CNP1:
    case hw::Type::CNP2: return cnp_input_words(input_bits, width, height, channels);
    case hw::Type::TNP_B: {
      const uint64_t bits = round_up(channels, 4) * height * input_bits * width;
      return round_up(ceil_div(bits, 32), TNP_B_FRAME_ALIGN) * (uint64_t{fifo_size} + 1);
    }
    default: throw std::runtime_error("Type of NP not supported.");
  }
}

namespace {

bool fits(uint32_t budget, uint32_t reserved, uint64_t need) { return reserved <= budget && budget - reserved >= need; }

}  // namespace

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                                               uint32_t channels, uint32_t fifo_size,
                                                               uint8_t input_bits, uint32_t reserved_words) const {
  return fits(constraints_.sram_input_single_buffer, reserved_words,
              np_input_words(type, height, width, channels, fifo_size, input_bits));
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                                             uint32_t channels, uint32_t fifo_size, uint8_t input_bits,
                                                             uint32_t reserved_words) const {
  return fits(constraints_.sram_input_dual_buffer, reserved_words,
              np_input_words(type, height, width, channels, fifo_size, input_bits));
}

uint32_t get_weights_100b_size(const Layer& layer, uint32_t filters) {
  const LayerType type = layer_type(layer);
  switch (type) {
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose:
      return conv2d_cnp_formatted_weight_100b_size(static_cast<uint32_t>(layer_param(layer, "kernel_size")), filters,
                                                   first_input_shape(layer)[2],
                                                   static_cast<uint8_t>(layer_param(layer, "weights_bits")));
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose:
      return dwc_ch_cont_100b_size(static_cast<uint32_t>(layer_param(layer, "kernel_size")), filters,
                                   static_cast<uint8_t>(layer_param(layer, "weights_bits")));
    case LayerType::BufferTempConv:
      return buffer_temp_conv_tnp_formatted_weight_100b_size(static_cast<uint32_t>(layer_param(layer, "fifo_size")),
                                                             filters, first_input_shape(layer)[2]);
    case LayerType::DepthwiseBufferTempConv:
      return depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(
          static_cast<uint32_t>(layer_param(layer, "fifo_size")), filters);
    default: throw std::invalid_argument("Unexpected layer type for CNP or TNP-B.");
  }
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer& layer, uint32_t filters) const {
  const uint32_t total = get_weights_100b_size(layer, filters);
  switch (layer_type(layer)) {
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose:
      if (conv2d_ch_cont_100b_size(static_cast<uint32_t>(layer_param(layer, "kernel_size")), filters,
                                   static_cast<uint8_t>(layer_param(layer, "weights_bits"))) >= CH_CONT_LIMIT)
        return false;
      break;
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose:
      if (total >= CH_CONT_LIMIT) return false;
      break;
    case LayerType::BufferTempConv:
      if (buffer_temp_conv_ch_cont_100b_size(filters) >= CH_CONT_LIMIT) return false;
      break;
    default: break;
  }
  return constraints_.cnp_weight_limit >= total;
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type type, const LayerParams& params) const {
  NpSplitParams split;
  const auto param = [&](const char* key) { return params.has(key) ? static_cast<uint32_t>(params.get(key)) : 0u; };
  split.filters = param("filters");
  split.pool_type = param("pool_type");
  split.pool_width = param("pool_size");
  split.pool_height = split.pool_width;
  const uint32_t margin = type == hw::Type::TNP_B ? 0 : static_cast<uint32_t>(params.get("kernel_size")) / 2;
  split.kernel_margins.fill(margin);
  return split;
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints& constraints,
                                                    const Layer& layer) const {
  return constraints.fnp3_weight_limit >= get_fnp_sram_size(layer);
}

}  // namespace ovrix::v2
