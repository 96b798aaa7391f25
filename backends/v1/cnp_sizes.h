#pragma once
// Size questions about a v1 CNP that the checks, the memory sizer and the register writers all ask:
// one input row of a channel, an NP's input SRAM, a layer's weight words for a number of filters and
// whether they fit. Sizes are computed in 64 bits and handed out saturated at 0xFFFFFFFF, which fits
// no memory and no register field.
#include <cstdint>

#include "engine/layer.h"
#include "mapping/hardware_constraints.h"

namespace ovrix::v1 {

// Bytes of one row of `width` values at `bits` bits: (width x bits + 7) / 8.
uint32_t get_cnp_channel_container_size(uint32_t width, uint8_t bits);
// 32-bit words of an input part of `rows` rows, each holding every channel's container back to back
// and rounded up to a word.
uint32_t get_cnp_input_sram_size(uint32_t container_size, uint32_t channels, uint32_t rows);
// Weight words of a Convolutional or SeparableConvolutional layer for `filters` filters, rounded up to
// 16 when the block needs the large DMA header. "Cannot get input size before it is set." without an
// input shape; std::invalid_argument "Unexpected layer type for CNP" for other kinds.
uint32_t get_weights_size(const Layer& layer, uint32_t filters);
// Whether those weights fit a CNP: the weight capacity holds half the words, and a standard
// convolution's words per input channel fit the 10-bit register field (in units of 4).
bool check_weights_size_fit_cnp(const HardwareConstraints& constraints, const Layer& layer, uint32_t filters);

}  // namespace ovrix::v1
