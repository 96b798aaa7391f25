#pragma once
// Size arithmetic of the editions' memory and register sizes: sizes are computed in 64 bits, so
// that products of dimensions cannot wrap, and saturated when they go into a 32-bit size (a
// saturated size is then refused by whatever rule or field it exceeds).
#include <algorithm>
#include <cstdint>
#include <limits>

#include "engine/dma.h"

namespace ovrix {

// a / b rounded up; b > 0.
constexpr uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
// a rounded up to a multiple of m; m > 0.
constexpr uint64_t round_up(uint64_t a, uint64_t m) { return ceil_div(a, m) * m; }
// v as a 32-bit size, saturated at 2^32 - 1.
constexpr uint32_t size32(uint64_t v) {
  return static_cast<uint32_t>(std::min<uint64_t>(v, std::numeric_limits<uint32_t>::max()));
}

// Word count of a DMA block, raised to a multiple of dma::xl_size_unit when its header needs the XL
// form; saturated at 2^32 - 1.
inline uint32_t round_for_xl(uint64_t words) {
  const uint32_t n = size32(words);
  return dma::config_block_size_needs_xl(n) ? size32(round_up(n, dma::xl_size_unit)) : n;
}

}  // namespace ovrix
