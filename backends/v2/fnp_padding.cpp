#include "backends/v2/fnp_padding.h"

#include <stdexcept>

#include "backends/common/sizes.h"
#include "backends/v2/cnp_sizes.h"

namespace ovrix::v2 {

namespace {

// FNP input memory in bytes, whatever the layout.
constexpr uint64_t FNP_INPUT_LIMIT = 2048;

// Rounds up to a multiple of 4 bytes; a size whose rounding leaves the 32-bit range has no layout.
uint64_t round_up_4(uint64_t bytes) {
  if (bytes > 0xFFFFFFFCu) throw std::runtime_error("Error when formatting the FNP inputs, the padding is undefined.");
  return round_up(bytes, 4);
}

// Bytes of `elements` values once packed and padded to 4 bytes, counted as elements plus padding.
uint64_t padded_elements(uint8_t bits, uint64_t elements) {
  const uint64_t packed = ceil_div(uint64_t{bits} * elements, 8);
  return elements + (round_up_4(packed) - packed);
}

}  // namespace

InputPadding get_fnp_supported_padding(const Layer& layer, bool ignore_inbound) {
  const Shape input = first_input_shape(layer);
  const uint64_t w = input[0], h = input[1], c = input[2];
  const uint8_t bits = layer.input_bits();
  bool from_cnp = false;
  bool from_hrc = false;
  if (!ignore_inbound && !layer.inbound_layers().empty() && layer.inbound_layers().front()) {
    const Layer& in = *layer.inbound_layers().front();
    from_cnp = in.is_target_component(hw::TargetKind::CNP) || in.is_target_component(hw::TargetKind::TNP_B);
    from_hrc = in.is_target_component(hw::TargetKind::HRC);
  }
  if (from_cnp || from_hrc) {
    if (bits == 8 && layer_param(layer, "weights_bits") == 8 && from_cnp && round_up_4(w) * c * h <= FNP_INPUT_LIMIT)
      return INPUT_PADDING_ALIGNED_ROWS;
    return padded_elements(bits, c * w) * h <= FNP_INPUT_LIMIT ? INPUT_PADDING_PACKED_ROWS : INPUT_PADDING_NONE;
  }
  return padded_elements(bits, h * w * c) <= FNP_INPUT_LIMIT ? INPUT_PADDING_FLAT : INPUT_PADDING_NONE;
}

}  // namespace ovrix::v2
