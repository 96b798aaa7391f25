#include "backends/lumo/sram_sizes.h"

#include <cmath>

#include "backends/lumo/chain.h"
#include "backends/lumo/interim_helpers.h"
#include "engine/variables.h"

namespace ovrix::lumo {

using interim::ceil_div;
using interim::saturate32;

namespace {

// Values of `bits`-bit elements that one 32-bit word holds (0 for widths above 32 or of 0).
uint64_t per_word(uint32_t bits) { return bits == 0 ? 0 : 32 / bits; }

uint64_t proj_words(const Layer& layer, const char* name) {
  const auto t = variable(layer, name);
  return t ? fsram_matrix_words(t->shape()) : 0;
}

}  // namespace

uint64_t fsram_matrix_words(const Shape& shape) {
  if (shape.size() < 2) return 0;
  return uint64_t{shape[0]} * ceil_div(shape[1], 8);
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
    const uint64_t w = ceil_div(first_input(layer)[1], per_word(layer.input_bits()));
    size += w <= 1 ? 0 : 2 * uint64_t(std::ceil(std::log2(double(w))));
  }
  return saturate32(size);
}

uint32_t get_tnpr_fsram_64b_size(const Layer& layer) {
  uint64_t size = 0;
  for (const Layer* p = &layer; p && is_recurrent(*p); p = first_outbound_layer(*p))
    size += proj_words(*p, "in_proj") + proj_words(*p, "out_proj");
  return saturate32(size);
}

uint32_t get_tnpr_tsram_51b_size(const Layer& layer) {
  uint64_t size = 0;
  for (const Layer* p = &layer; p && is_tnpr(*p); p = first_outbound_layer(*p)) {
    if (is_recurrent(*p))
      size += uint64_t(uint32_t(param_or_zero(*p, "stateful_channels"))) +
              uint64_t(uint32_t(param_or_zero(*p, "output_channels"))) +
              tsram_input_shift_words(p->input_bits(), first_input(*p)[2]);
    else
      size += 2;
  }
  return saturate32(size);
}

uint32_t get_tnpr_evsram_32b_size(const Layer& layer) {
  const Shape in = first_input(layer);
  uint64_t size = input_row_words(layer.input_bits(), in[2]);
  const Layer* previous = nullptr;
  for (const Layer* p = &layer; p && is_tnpr(*p); p = first_outbound_layer(*p)) {
    if (is_recurrent(*p)) {
      size += ceil_div(first_input(*p)[2], per_word(p->input_bits()));
      previous = p;
    } else if (previous) {
      // The post-processing layer reads the outputs of the recurrent layer before it; at the head of
      // a walk there is none, and it adds nothing.
      size += ceil_div(previous->output_dims()[2], per_word(previous->output_bits()));
    }
  }
  return saturate32(size);
}

}  // namespace ovrix::lumo
