#pragma once
// Size of the input convolution's SRAM on the v1 HRC.
#include <cstdint>

#include "engine/layer.h"

namespace ovrix::v1 {

// 32-bit words of the HRC's weight and threshold SRAM, rounded up to 16 when the block needs the
// extended DMA header.
uint32_t get_hrc_sram_size(const Layer& layer);

}  // namespace ovrix::v1
