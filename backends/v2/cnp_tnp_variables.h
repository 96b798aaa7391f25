#pragma once
// The per-channel variables block that every v2 CNP and TNP-B layer shares (bias, shifts, scales,
// clipping: two words per output channel) and the size of its input-shift table.
#include <cstdint>
#include <vector>

#include "engine/tensor.h"

namespace ovrix::v2 {

// 24-bit words of the input-shift table: eight 3-bit shifts per word.
uint32_t cnp_tnp_input_shift_24b_size(const Dense& input_shift);

// Two words per output channel first_channel .. first_channel + count - 1; each tensor may be null
// (absent variable).
std::vector<uint32_t> format_cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift,
                                               const Dense* activation_shift, const Dense* activation_scales,
                                               const Dense* output_shift, const Dense* bias_shift, const Dense* bias,
                                               const Dense* output_scales, uint32_t first_channel, uint32_t count);

}  // namespace ovrix::v2
