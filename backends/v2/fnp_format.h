#pragma once
// Memory layouts of a dense layer on a v2 FNP: the input memory (FPKSRAM), the input-shift words and
// the FNP RAM (per neuron: a two-word header, then the neuron's packed weights). The dense rules, the
// memory sizer and the dense recorder all size through these functions, so they cannot disagree.
//
// The FNP input is a shape (d0, d1, d2) = (width, height, channels); the input value at (x, y, c) has
// the flat index x * (d1 * d2) + y * d2 + c, which is also its row in the weights (input, neuron).
// Every layout refuses a mode other than 1, 2 or 3 with "Unsupported padding.".
#include <cstdint>
#include <vector>

#include "backends/v2/fnp_padding.h"
#include "engine/layer.h"
#include "engine/tensor.h"
#include "program/reg_detail.h"

namespace ovrix::v2 {

namespace fnp {
// Clamp fields of a neuron's first header word (bias in byte 0, bias shift in byte 1).
inline constexpr RegDetail MAX_VALUE{16, 8};
inline constexpr RegDetail MAX_VALUE_SHIFT{24, 8};
}  // namespace fnp

// The layer's first input shape; with `flatten`, (1, 1, d0 * d1 * d2) (an input without values is
// refused: "Cannot have a shape with dimension 2 set to 0").
Shape get_fnp_input_dim(const Layer& layer, bool flatten);

// Input memory (FPKSRAM) words for `rows` rows of `row_len` values of `channels` channels.
uint32_t get_fpksram_size(uint32_t rows, uint32_t row_len, uint32_t channels, uint8_t bits, InputPadding mode);
// get_fpksram_size of the layer's FNP input.
uint32_t get_fnp_input_size(const Layer& layer, bool flatten);

// 32-bit words of one neuron's block of the FNP RAM, its two header words included.
uint32_t get_neuron_word_size(const Shape& dim, InputPadding mode, uint8_t input_bits, uint8_t weight_bits);
// get_neuron_word_size times the neurons (dimension 1 of the weights).
uint32_t get_layer_word_size(const Dense& weights, uint8_t weight_bits, const Shape& dim, InputPadding mode,
                             uint8_t input_bits);
// The FNP RAM of the layer in 32-bit words, as the sizer reserves it (input laid out as its inbound
// gives it), padded to the extended DMA block format when it needs it.
uint32_t get_fnp_sram_size(const Layer& layer);

// The input-shift block: one byte per input value slot of the layout, padding slots 0, in an even
// number of words.
std::vector<uint32_t> format_input_shift_fnp(const Dense& input_shift, const Shape& dim, InputPadding mode,
                                              uint8_t input_bits);
// The input-shift memory the layout needs, in 24-bit words.
uint32_t fnp_input_shift_24b_size(const Dense& input_shift, const Shape& dim, InputPadding mode, uint8_t input_bits);

// The FNP RAM: get_layer_word_size words, neuron after neuron. A variable the RAM needs and the layer
// lacks is refused naming the layer and the variable.
std::vector<uint32_t> format_fnp_ram(const Layer& layer, bool flatten, InputPadding mode, uint8_t input_bits,
                                     uint8_t weight_bits);

}  // namespace ovrix::v2
