#pragma once
// How the input of a dense layer on a v2 FNP is laid out in memory.
#include <cstdint>

#include "engine/layer.h"

namespace ovrix::v2 {

// 0: no layout fits the FNP's input memory; 1: the whole input flat, padded to 4 bytes; 2: rows
// packed to ceil(bits × width / 8) bytes; 3: rows of width values padded to 4 (8-bit data from a
// CNP with 8-bit weights).
enum InputPadding : uint32_t {
  INPUT_PADDING_NONE = 0,
  INPUT_PADDING_FLAT = 1,
  INPUT_PADDING_PACKED_ROWS = 2,
  INPUT_PADDING_ALIGNED_ROWS = 3,
};

// The layout of the layer's input; with ignore_inbound (or without inbound layer) the input is taken
// as one flat vector.
InputPadding get_fnp_supported_padding(const Layer& layer, bool ignore_inbound);

}  // namespace ovrix::v2
