#include "backends/lumo/sram_sizes.h"

#include <cmath>

#include "backends/common/sizes.h"
#include "backends/lumo/chain.h"
#include "engine/variables.h"

namespace ovrix::lumo {

namespace {

// 32-bit words that n values of `bits` bits fill, ceil(n / (32 / bits)); 0 for widths of 0 or above 32,
// whose words hold no value.
uint64_t packed_words(uint64_t n, uint32_t bits) {
  const uint64_t per_word = bits == 0 ? 0 : 32 / bits;
  return per_word == 0 ? 0 : ceil_div(n, per_word);
}

uint64_t proj_words(const Layer& layer, const char* name) {
  const auto shape = variable_shape(layer, name);
  return shape ? fsram_matrix_words(*shape) : 0;
}

}  // namespace

uint64_t fsram_matrix_words(const Shape& shape) {
  if (shape.size() < 2) return 0;
  return uint64_t{shape[0]} * ceil_div(shape[1], 8);
}

uint32_t input_row_words(uint32_t bits, uint32_t channels) {
  const uint64_t w = (uint64_t{bits} * channels + 31) / 32;
  return size32(w <= 1 ? 1 : next_pow2(w));
}

uint64_t tsram_input_shift_words(uint32_t bits, uint64_t channels) { return ceil_div(channels, bits == 8 ? 8 : 4); }

uint32_t get_tnpr_stsram_32b_size(const Layer& layer) {
  uint64_t n = 0;
  const Layer* p = &layer;
  for (; p && is_recurrent(*p); p = first_outbound_layer(*p)) ++n;
  bool post = false;
  for (; p && !post; p = first_outbound_layer(*p)) post = is_post_processing(*p);
  uint64_t size = n ? n * uint64_t(uint32_t(param_or_zero(layer, "stateful_channels"))) : 0;
  if (post) {
    const uint64_t w = packed_words(first_input_shape(layer)[1], layer.input_bits());
    size += w <= 1 ? 0 : 2 * uint64_t(std::ceil(std::log2(double(w))));
  }
  return size32(size);
}

uint32_t get_tnpr_fsram_64b_size(const Layer& layer) {
  uint64_t size = 0;
  for (const Layer* p = &layer; p && is_recurrent(*p); p = first_outbound_layer(*p))
    size += proj_words(*p, "in_proj") + proj_words(*p, "out_proj");
  return size32(size);
}

uint32_t get_tnpr_tsram_51b_size(const Layer& layer) {
  uint64_t size = 0;
  for (const Layer* p = &layer; p && is_tnpr(*p); p = first_outbound_layer(*p)) {
    if (is_recurrent(*p))
      size += uint64_t(uint32_t(param_or_zero(*p, "stateful_channels"))) +
              uint64_t(uint32_t(param_or_zero(*p, "output_channels"))) +
              tsram_input_shift_words(p->input_bits(), first_input_shape(*p)[2]);
    else
      size += 2;
  }
  return size32(size);
}

uint32_t get_tnpr_evsram_32b_size(const Layer& layer) {
  const Shape in = first_input_shape(layer);
  uint64_t size = input_row_words(layer.input_bits(), in[2]);
  const Layer* previous = nullptr;
  for (const Layer* p = &layer; p && is_tnpr(*p); p = first_outbound_layer(*p)) {
    if (is_recurrent(*p)) {
      size += packed_words(first_input_shape(*p)[2], p->input_bits());
      previous = p;
    } else if (previous) {
      // The post-processing layer reads the outputs of the recurrent layer before it; at the head of
      // a walk there is none, and it adds nothing.
      size += packed_words(previous->output_dimensions()[2], previous->output_bits());
    }
  }
  return size32(size);
}

}  // namespace ovrix::lumo
