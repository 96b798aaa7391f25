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

// FSRAM words of one (R, K) weight tensor: R x ceil(K / 8).
uint64_t fsram_matrix_words(const Shape& shape);
// TSRAM input-shift words of C channels at B bits: ceil(C / P), P = 8 for 8-bit input, else 4.
uint64_t tsram_input_shift_words(uint32_t bits, uint64_t channels);

}  // namespace ovrix::lumo
