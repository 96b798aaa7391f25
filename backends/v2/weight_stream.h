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
// the next half, so a value may straddle two halves. A half is gathered in a register and ORed into
// the words when the stream leaves it; finish() writes the last one.
class HalfStream {
 public:
  HalfStream(std::vector<uint32_t>* words, uint32_t usable) : words_(words), usable_(usable) {}

  // Moves to bit 0 of half h.
  void seek_half(size_t h) {
    flush();
    half_ = h;
    bit_ = 0;
  }
  // Moves to the start of the next half, unless the stream already stands at the start of one.
  void align_to_next_half() {
    if (bit_ != 0) seek_half(half_ + 1);
  }
  uint32_t bits_left_in_half() const { return usable_ - bit_; }

  // value holds nbits bits (at most 32).
  void put(uint32_t value, uint32_t nbits) {
    const uint32_t room = usable_ - bit_;
    if (nbits < room) {
      acc_ |= uint64_t{value} << bit_;
      bit_ += nbits;
      return;
    }
    acc_ |= (uint64_t{value} & ((uint64_t{1} << room) - 1)) << bit_;
    seek_half(half_ + 1);
    if (nbits > room) {
      acc_ = uint64_t{value} >> room;
      bit_ = nbits - room;
    }
  }

  void finish() { flush(); }

 private:
  void flush() {
    if (acc_ == 0) return;
    words_->at(2 * half_ + 1) |= static_cast<uint32_t>(acc_ >> 32);
    (*words_)[2 * half_] |= static_cast<uint32_t>(acc_);
    acc_ = 0;
  }

  std::vector<uint32_t>* words_;
  uint32_t usable_;
  size_t half_ = 0;
  uint32_t bit_ = 0;
  uint64_t acc_ = 0;
};

}  // namespace ovrix::v2::detail
