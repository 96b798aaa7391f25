// The checks the mapping core asks while it places and groups layers: sequences, component
// assignments, input and weight fits, split parameters.
#include <fmt/format.h>

#include <algorithm>
#include <string>

#include "backends/v1/cnp_sizes.h"
#include "backends/v1/compatibility_checker.h"
#include "backends/v1/fnp_sizes.h"
#include "backends/v1/input_fit.h"
#include "backends/common/layer_queries.h"
#include "backends/common/rule_failures.h"
#include "engine/device.h"
#include "engine/layer.h"

namespace ovrix::v1 {


namespace {

// NP input rows are fetched in groups of four values.
constexpr uint64_t NP_INPUT_WIDTH_ALIGN = 4;
// On Quor_v2 a one-channel layer is computed in pairs of eight-filter groups.
constexpr uint32_t QUOR_V2_FILTER_GROUP = 8;
constexpr int32_t QUOR_V2_MIN_SPLIT_FILTERS = 16;

bool is_cnp_layer(const Layer& layer) { return layer.is_target_component(hw::TargetKind::CNP); }
bool is_max_pooling_cnp(const Layer& layer) { return is_cnp_layer(layer) && layer.has_pool_type(PoolType::Max); }
bool is_cnp(const hw::Component& c) { return c.type == hw::Type::CNP1 || c.type == hw::Type::CNP2; }

bool split_spatially(const std::vector<hw::Component>& components) {
  return std::any_of(components.begin(), components.end(), [](const hw::Component& c) {
    return c.np && (c.np->spatial_partition.x != 0 || c.np->spatial_partition.y != 0);
  });
}

// Overlapping pooling windows would need the rows and columns of the neighbouring NPs.
MappingStatus check_cnp_pooling_mappings(const Layer& layer, const std::vector<hw::Component>& components) {
  if (!split_spatially(components)) return MappingStatus();
  // The raw stride parameters are compared, as given.
  if (layer_param(layer, "pool_type") == static_cast<int32_t>(PoolType::Max) &&
      (layer_param(layer, "pooling_width") > layer_param(layer, "pooling_stride_x") ||
       layer_param(layer, "pooling_height") > layer_param(layer, "pooling_stride_y")))
    return layer_failure(layer, "Cannot have pooling size > pooling stride if the layer is mapped spatially on multiple NPs.");
  return MappingStatus();
}

}  // namespace

MappingStatus check_sep_cnp_mappings(const Layer& layer, const std::vector<hw::Component>& components) {
  return check_cnp_pooling_mappings(layer, components);
}

MappingStatus check_std_cnp_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     HwVersion version) {
  MappingStatus status;
  if ((layer_param(layer, "stride_x") >= 2 || layer_param(layer, "stride_y") >= 2) &&
      layer_param(layer, "pool_type") == static_cast<int32_t>(PoolType::Max) && split_spatially(components))
    status += layer_failure(layer, "Cannot have convolution stride > 1 and max pooling if the layer is mapped on multiple NPs.");
  status += check_cnp_pooling_mappings(layer, components);
  if (version == hw_versions::Quor_v2 && !status.failed && first_input_shape(layer)[2] == 1 &&
      layer_param(layer, "filters") > QUOR_V2_MIN_SPLIT_FILTERS) {
    for (const hw::Component& c : components) {
      const uint64_t groups = (uint64_t{c.filters()} + QUOR_V2_FILTER_GROUP - 1) / QUOR_V2_FILTER_GROUP;
      if (groups % 2 == 1) status += layer_failure(layer, "With one input channel, the number of neurons per NP / 8 must be even.");
    }
  }
  return status;
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerIterator first, LayerIterator last,
                                                             HwVersion /*version*/) const {
  if (first == last) return MappingStatus();
  const Layer& tail = **(last - 1);
  if (is_max_pooling_cnp(tail))
    return layer_failure(tail, "A convolutional or separable convolutional layer with max pooling cannot be the last layer "
                         "of a sequence.");
  for (auto it = first; it != last; ++it) {
    const Layer& layer = **it;
    if (is_cnp_layer(layer)) continue;
    const auto& inbounds = layer.inbound_layers();
    const auto pooled = std::find_if(inbounds.begin(), inbounds.end(),
                                     [](const std::shared_ptr<Layer>& in) { return in && is_max_pooling_cnp(*in); });
    if (pooled == inbounds.end()) continue;
    if (std::any_of(first, last, [&](const std::shared_ptr<Layer>& l) { return l == *pooled; }))
      return layer_failure(layer,
                     "A convolutional or separable convolutional layer with max pooling must be followed by another "
                     "convolutional or separable convolutional layer. Layer '" + (*pooled)->get_name() +
                         "' has max pooling.");
  }
  return MappingStatus();
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(const Layer& layer,
                                                             const std::vector<hw::Component>& components,
                                                             bool /*first_in_pass*/) const {
  MappingStatus status;
  switch (layer_type(layer)) {
    case LayerType::Convolutional: status = check_std_cnp_mappings(layer, components, device_.version()); break;
    case LayerType::SeparableConvolutional: status = check_sep_cnp_mappings(layer, components); break;
    case LayerType::InputConvolutional:
    case LayerType::FullyConnected: break;
    default: return layer_failure(layer, "unknown Layer type.");
  }
  if (status.failed) return status;
  for (const hw::Component& c : components) {
    if (!is_cnp(c)) continue;
    const uint64_t width = c.np ? c.np->spatial_partition.shape[0] : 0;
    const uint64_t rounded = (width + NP_INPUT_WIDTH_ALIGN - 1) / NP_INPUT_WIDTH_ALIGN * NP_INPUT_WIDTH_ALIGN;
    // A later component's message replaces an earlier one's.
    if (rounded > constraints_.cnp_max_width)
      status = layer_failure(layer, fmt::format("The input length {} exceeds the maximum value for NP input width: {}.",
                                                rounded, constraints_.cnp_max_width));
  }
  return status;
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type /*type*/, uint32_t height, uint32_t width,
                                                               uint32_t channels, uint32_t /*fifo_size*/,
                                                               uint8_t input_bits,
                                                               uint32_t /*reserved_words*/) const {
  return cnp_input_words(width, input_bits, channels, height) <= constraints_.sram_input_single_buffer;
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type /*type*/, uint32_t height, uint32_t width,
                                                             uint32_t channels, uint32_t /*fifo_size*/,
                                                             uint8_t input_bits, uint32_t /*reserved_words*/) const {
  return cnp_input_words(width, input_bits, channels, height) <= constraints_.sram_input_dual_buffer;
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer& layer, uint32_t filters) const {
  return check_weights_size_fit_cnp(constraints_, layer, filters);
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type /*type*/, const LayerParams& params) const {
  const auto kernel_width = static_cast<uint32_t>(params.get("kernel_width"));
  const auto kernel_height = static_cast<uint32_t>(params.get("kernel_height"));
  NpSplitParams split;
  split.kernel_margins = {kernel_width / 2, kernel_width / 2, kernel_height / 2, kernel_height / 2};
  split.pool_type = static_cast<uint32_t>(params.get("pool_type"));
  split.pool_width = static_cast<uint32_t>(params.get("pooling_width"));
  split.pool_height = static_cast<uint32_t>(params.get("pooling_height"));
  split.filters = static_cast<uint32_t>(params.get("filters"));
  return split;
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints& constraints, const Layer& layer) const {
  return constraints.fnp3_weight_limit >= get_fnp_sram_size(layer);
}

}  // namespace ovrix::v1
