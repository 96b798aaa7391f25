#include "backends/v1/cnp_sizes.h"

#include <stdexcept>

#include "backends/common/sizes.h"
#include "backends/v1/cnp_weights.h"

namespace ovrix::v1 {

namespace {

// The layer's input channels; the layer must know its input.
uint32_t input_channels(const Layer& layer) {
  const auto dims = layer.input_dimensions();  // "Cannot get input size before it is set."
  if (dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
  return dims.front()[2];
}

bool is_standard(const Layer& layer) {
  switch (layer.params()->layer_type()) {
    case LayerType::Convolutional: return true;
    case LayerType::SeparableConvolutional: return false;
    default: throw std::invalid_argument("Unexpected layer type for CNP");
  }
}

}  // namespace

uint32_t get_cnp_channel_container_size(uint32_t width, uint8_t bits) {
  return size32(ceil_div(uint64_t{width} * bits, 8));
}

uint32_t get_cnp_input_sram_size(uint32_t container_size, uint32_t channels, uint32_t rows) {
  return size32(ceil_div(uint64_t{container_size} * channels * 8, 32) * rows);
}

uint32_t get_weights_size(const Layer& layer, uint32_t filters) {
  const uint32_t channels = input_channels(layer);
  const bool standard = is_standard(layer);
  const LayerParams& params = *layer.params();
  const int32_t kernel_width = params.get("kernel_width");
  const int32_t bits = params.get("weights_bits");
  uint32_t size;
  if (standard) {
    (void)dynamic_cast<const Convolutional&>(layer);
    size = kernel_width < 0 ? 0xFFFFFFFFu
                            : get_std_cnp_sram_size(static_cast<uint32_t>(kernel_width), channels, filters, bits);
  } else {
    (void)dynamic_cast<const SeparableConvolutional&>(layer);
    size = kernel_width < 0 ? 0xFFFFFFFFu
                            : get_sep_cnp_sram_size(static_cast<uint32_t>(kernel_width), channels, filters, bits);
  }
  return round_for_xl(size);
}

bool check_weights_size_fit_cnp(const HardwareConstraints& constraints, const Layer& layer, uint32_t filters) {
  const uint32_t size = get_weights_size(layer, filters);
  const uint32_t channels = input_channels(layer);
  // The standard layout's words per channel go to a 10-bit field in units of 4.
  if (is_standard(layer) && size / channels / 4 > 1023) return false;
  return constraints.cnp_weight_limit >= size / 2;
}

}  // namespace ovrix::v1
