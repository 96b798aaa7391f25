#pragma once
// Sizes of a CNP's input data, shared by the compatibility rules, the memory sizer and the register
// blocks so that they cannot disagree.
#include <cstdint>
#include <string>

#include "engine/layer.h"

namespace ovrix::v2 {

constexpr uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
constexpr uint64_t round_up(uint64_t a, uint64_t m) { return ceil_div(a, m) * m; }

// Bytes of one input row of `width` values, 4-byte aligned.
constexpr uint64_t cnp_row_bytes(uint8_t bits, uint64_t width) { return round_up(ceil_div(uint64_t{bits} * width, 8), 4); }
// 32-bit words of one input row, packed.
constexpr uint64_t cnp_row_words(uint8_t bits, uint64_t width) { return ceil_div(uint64_t{bits} * width, 32); }
// 32-bit words of an input part held row by row, channel after channel: (row bytes × channels / 4) ×
// rows.
constexpr uint64_t cnp_input_words(uint8_t bits, uint64_t width, uint64_t height, uint64_t channels) {
  return cnp_row_bytes(bits, width) * channels / 4 * height;
}

// The layer's first input shape (width, height, channels).
Shape first_input_shape(const Layer& layer);
// The parameter "filters" when the layer has it, else its input channels.
int64_t layer_filters(const Layer& layer);
// The value of a parameter; a missing one is refused naming the layer (std::invalid_argument).
int32_t layer_param(const Layer& layer, const std::string& key);
// Whether the layer's kind is `type`.
bool is_layer_type(const Layer& layer, LayerType type);
LayerType layer_type(const Layer& layer);

}  // namespace ovrix::v2
