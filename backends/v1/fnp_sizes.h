#pragma once
// Sizes of a dense layer on a v1 FNP. The dense layer is not mapped by this build yet: both refuse
// with std::runtime_error "The v1 FNP sizes of layer '<name>' are not available in this build.".
#include <cstdint>

#include "engine/layer.h"

namespace ovrix::v1 {

// 32-bit words of the layer's weight memory.
uint32_t get_fnp_sram_size(const Layer& layer);
// 32-bit words of the layer's input.
uint32_t get_fnp_input_size(const Layer& layer);

}  // namespace ovrix::v1
