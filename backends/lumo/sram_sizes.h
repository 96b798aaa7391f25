#pragma once
// Words a chain of TNP-R layers needs in each of the four TNP-R SRAMs, counted from the layer given.
// The FSRAM and TSRAM counts equal the words the recorder writes for the chain. Counts are summed in
// 64 bits and saturated to 32 bits; nothing is read from a layer that does not hold it (a walk that
// starts at a post-processing layer has no recurrent layer to size).
#include <cstdint>

#include "engine/layer.h"

namespace ovrix::lumo {

uint32_t get_tnpr_stsram_32b_size(const Layer& layer);
uint32_t get_tnpr_fsram_64b_size(const Layer& layer);
uint32_t get_tnpr_tsram_51b_size(const Layer& layer);
uint32_t get_tnpr_evsram_32b_size(const Layer& layer);

// 32-bit words of one packed input row of b-bit values over c channels: (b c + 31) / 32, 1 when that
// is at most 1, else the smallest power of two not below it.
uint32_t input_row_words(uint32_t bits, uint32_t channels);

// The smallest power of two not below v (1 for 0 and 1), v at most 2^63; whether v is a power of two.
constexpr uint64_t next_pow2(uint64_t v) {
  uint64_t p = 1;
  while (p < v) p <<= 1;
  return p;
}
constexpr bool is_pow2(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// FSRAM words of one (R, K) weight tensor: R x ceil(K / 8).
uint64_t fsram_matrix_words(const Shape& shape);
// TSRAM input-shift words of C channels at B bits: ceil(C / P), P = 8 for 8-bit input, else 4.
uint64_t tsram_input_shift_words(uint32_t bits, uint64_t channels);

}  // namespace ovrix::lumo
