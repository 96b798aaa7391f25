#pragma once
// Internal helpers of the CNP weight formats: the bit stream of 64-bit halves that the 4-bit
// formats fill, and the XL rounding of 8-bit blocks.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/dma.h"

namespace ovrix::v2::detail {

// Word count of a block, raised to a multiple of 16 when its DMA header needs the XL form.
inline uint32_t round_for_xl(uint32_t words) {
  return dma::config_block_size_needs_xl(words) ? (words + 15u) & ~15u : words;
}

// A stream of bits written least significant first into 64-bit halves (32-bit words 2h and 2h+1)
// of which only the low `usable` bits hold data. When a half is full the stream goes on at bit 0 of
// the next half, so a value may straddle two halves.
class HalfStream {
 public:
  HalfStream(std::vector<uint32_t>* words, uint32_t usable) : words_(words), usable_(usable) {}

  // Moves to bit 0 of half h.
  void seek_half(size_t h) {
    half_ = h;
    bit_ = 0;
  }
  // Moves to the start of the next half, unless the stream already stands at the start of one.
  void align_to_next_half() {
    if (bit_ != 0) seek_half(half_ + 1);
  }
  uint32_t bits_left_in_half() const { return usable_ - bit_; }

  void put(uint32_t value, uint32_t nbits) {
    while (nbits > 0) {
      const uint32_t in_word = 32 - bit_ % 32;
      const uint32_t take = std::min({nbits, usable_ - bit_, in_word});
      const uint32_t mask = take == 32 ? 0xFFFFFFFFu : (1u << take) - 1;
      words_->at(2 * half_ + bit_ / 32) |= (value & mask) << (bit_ % 32);
      value = take == 32 ? 0 : value >> take;
      nbits -= take;
      bit_ += take;
      if (bit_ == usable_) seek_half(half_ + 1);
    }
  }

 private:
  std::vector<uint32_t>* words_;
  uint32_t usable_;
  size_t half_ = 0;
  uint32_t bit_ = 0;
};

}  // namespace ovrix::v2::detail
