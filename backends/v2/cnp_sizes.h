#pragma once
// Sizes of a CNP's input data, shared by the compatibility rules, the memory sizer and the register
// blocks so that they cannot disagree.
#include <cstdint>

#include "backends/common/layer_queries.h"
#include "backends/common/sizes.h"

namespace ovrix::v2 {

// Bytes of one input row of `width` values, 4-byte aligned.
constexpr uint64_t cnp_row_bytes(uint8_t bits, uint64_t width) { return round_up(ceil_div(uint64_t{bits} * width, 8), 4); }
// 32-bit words of one input row, packed.
constexpr uint64_t cnp_row_words(uint8_t bits, uint64_t width) { return ceil_div(uint64_t{bits} * width, 32); }
// 32-bit words of an input part held row by row, channel after channel: (row bytes × channels / 4) ×
// rows.
constexpr uint64_t cnp_input_words(uint8_t bits, uint64_t width, uint64_t height, uint64_t channels) {
  return cnp_row_bytes(bits, width) * channels / 4 * height;
}

}  // namespace ovrix::v2
