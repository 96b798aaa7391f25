#pragma once
// The weight streams of the editions' weight formats: the bit stream of 64-bit halves that 4-bit
// formats fill, value by value or at once from a plain stream of values two to a byte, and the XL
// rounding of weight blocks.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>


namespace ovrix {

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

// The plain stream of 4-bit values: two to a byte, value 2m in the low nibble of byte m. Readers
// load 8 bytes at a time, so a buffer holding n values has room for (n + 1) / 2 + paired_slack
// bytes.
inline constexpr size_t paired_slack = 8;

// Pairs the low nibbles of bytes[0 .. n) into pairs[0 .. (n + 1) / 2).
inline void pair_nibbles(const uint8_t* bytes, size_t n, uint8_t* pairs) {
  for (size_t m = 0; m < n / 2; ++m) pairs[m] = static_cast<uint8_t>((bytes[2 * m] & 0xF) | (bytes[2 * m + 1] << 4));
  if (n % 2 != 0) pairs[n / 2] = bytes[n - 1] & 0xF;
}

// One half of the stream: `bits` bits (at most 56) of a plain stream from bit `at`, one unaligned
// 64-bit load, into the two words of the half.
inline void put_half(const uint8_t* pairs, size_t at, size_t bits, uint32_t* half) {
  static_assert(std::endian::native == std::endian::little, "the plain stream is read in little-endian loads");
  uint64_t v;
  std::memcpy(&v, pairs + at / 8, sizeof v);
  v >>= at % 8;
  v &= (uint64_t{1} << bits) - 1;
  half[0] = static_cast<uint32_t>(v);
  half[1] = static_cast<uint32_t>(v >> 32);
}

// Writes the values first .. first + n - 1 of a plain stream as a HalfStream of `usable` bits per
// half puts them from bit 0 of the half at words[0..1], a value straddling two halves where a half
// ends inside it: each half's bits are one unaligned 64-bit load of the plain stream (a half holds
// at most 50 bits; those past the n values are dropped). Each touched half is assigned whole, so
// the halves must not hold anything yet.
inline void put_nibbles(const uint8_t* pairs, size_t first, size_t n, uint32_t usable, uint32_t* words) {
  const size_t stream_bits = 4 * n;
  const size_t halves = (stream_bits + usable - 1) / usable;
  for (size_t h = 0; h < halves; ++h)
    put_half(pairs, 4 * first + h * usable, std::min<size_t>(stream_bits - h * usable, usable), words + 2 * h);
}

// put_nibbles(pairs, 0, N, Usable, words) for a stream known to the compiler: the halves unroll with
// their shifts fixed, which matters where a layer's weights are put a group of a few halves at a time.
template <uint32_t Usable, size_t N>
inline void put_nibbles_fixed(const uint8_t* pairs, uint32_t* words) {
  static_assert(Usable > 0 && Usable <= 56, "a half is one 64-bit load of the plain stream");
  constexpr size_t stream_bits = 4 * N;
  constexpr size_t halves = (stream_bits + Usable - 1) / Usable;
#pragma GCC unroll 32
  for (size_t h = 0; h < halves; ++h)
    put_half(pairs, h * Usable, std::min<size_t>(stream_bits - h * Usable, Usable), words + 2 * h);
}

}  // namespace ovrix
