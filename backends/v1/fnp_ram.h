#pragma once
// The weight memory of a dense layer on a v1 FNP: for every neuron a 4-word header (threshold,
// activation step, learning state) then its weights as bit planes, one bit per input, magnitudes in
// a positive and (above 1 bit) a negative set, least significant plane first within each group of
// 32 inputs.
#include <cstdint>
#include <vector>

#include "engine/tensor.h"

namespace ovrix::v1 {

inline constexpr uint32_t FNP_HEADER_WORDS = 4;

// Where the bits of a (neurons, inputs) weight matrix of b bits lie in the memory.
struct FnpLayout {
  uint32_t neurons = 0;
  uint32_t inputs = 0;
  uint32_t planes = 0;       // magnitude bits a weight keeps
  uint32_t set_words = 0;    // words of one set
  uint32_t block_words = 0;  // words of one neuron block
  // The layout of a weights shape; a memory beyond 2^32 - 1 words is refused (FnpError).
  static FnpLayout of(const Shape& weights_shape, int b);
  uint64_t words() const { return uint64_t{neurons} * block_words; }
  // Word of plane p of input i in the positive (or negative) set of neuron k.
  uint64_t word(uint32_t k, uint32_t i, uint32_t p, bool negative) const {
    return uint64_t{k} * block_words + FNP_HEADER_WORDS + (negative ? set_words : 0) + uint64_t{i / 32} * planes + p;
  }
};

// The memory of a layer's int8 weights, int32 thresholds and int32 steps (one each per neuron) at b
// bits. A weight whose magnitude needs more than the planes of b bits, or a negative weight at 1 bit,
// has no place in the layout and is refused (FnpError); so are a threshold outside 20-bit signed and
// a step above 0xFFFFF. Without thresholds the headers hold 0x80000 and 0.
std::vector<uint32_t> format_fnp_ram(const Dense& weights, const Dense& threshold, const Dense& step, int b,
                                     bool with_thresholds);

}  // namespace ovrix::v1
