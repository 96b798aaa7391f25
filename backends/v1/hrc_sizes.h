#pragma once
// Size of the input convolution on the v1 HRC. The input convolution is not mapped by this build yet:
// it refuses with std::runtime_error "The v1 HRC size of layer '<name>' is not available in this build.".
#include <cstdint>

#include "engine/layer.h"

namespace ovrix::v1 {

// 32-bit words of the HRC's weight SRAM.
uint32_t get_hrc_sram_size(const Layer& layer);

}  // namespace ovrix::v1
