#pragma once
// Sizes of a dense layer on a v1 FNP. Sizes are computed in 64 bits and saturated into 32, so a
// product that would wrap never passes a limit: the saturated size is refused by the limit or the
// register field it exceeds.
#include <cstdint>

#include "engine/layer.h"

namespace ovrix::v1 {

// Magnitude bit planes a weight of b bits keeps (sign apart), and the sets (positive, negative) they
// are kept in.
inline uint32_t fnp_weight_planes(int b) { return b == 1 ? 1u : static_cast<uint32_t>(b - 1); }
inline uint32_t fnp_weight_sets(int b) { return b == 1 ? 1u : 2u; }
// Words of one neuron block of the FNP weight memory: a 4-word header, then the bit planes of
// ceil(inputs / 32) groups of 32 inputs in each set.
uint64_t fnp_neuron_words(uint64_t inputs, int b);

// Words of the weight memory of a (neurons, inputs, ...) weights shape at b bits.
uint32_t fnp_sram_size(const Shape& weights_shape, int b);
// Words of the layer's weight memory as recorded (rounded to the extended DMA block unit when needed).
uint32_t get_fnp_sram_size(const Layer& layer);
// Words of the layer's input: its first three dimensions, one bit each, in 32-bit words.
uint32_t get_fnp_input_size(const Layer& layer);

}  // namespace ovrix::v1
