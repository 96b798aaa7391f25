#pragma once
// FSRAM image of the projection weights: for an (R, K) tensor of signed bytes, R x ceil(K / 8) 64-bit
// words, block of eight columns by block and row by row within a block (word b R + r holds columns
// 8b .. 8b+7 of row r in bytes 0-7, zeros past K).
#include <cstdint>
#include <vector>

#include "engine/tensor.h"

namespace ovrix::lumo {

std::vector<uint32_t> format_fsram_matrix(const Dense& weights);
// Appends the words of in_proj, then those of out_proj.
void format_fsram_weights(std::vector<uint32_t>* out, const Dense& in_proj, const Dense& out_proj);

}  // namespace ovrix::lumo
