#pragma once
// Input SRAM words an NP needs for its part of a CNP layer's input: the one count that the layer
// rules, the input-buffer fits and the memory sizer compare.
#include <cstdint>

#include "backends/v1/cnp_sizes.h"

namespace ovrix::v1 {

// rows × ceil(channels × ceil(width × bits / 8) / 4), saturated at 0xFFFFFFFF (which fits nowhere).
inline uint32_t cnp_input_words(uint32_t width, uint8_t bits, uint32_t channels, uint32_t rows) {
  return get_cnp_input_sram_size(get_cnp_channel_container_size(width, bits), channels, rows);
}

}  // namespace ovrix::v1
