#pragma once
// TSRAM images of a TNP-R chain: 51-bit words (held as two 32-bit words, bits 0-31 first) of the
// per-state-channel update constants, the per-output-channel output constants, the per-input-channel
// input shifts, and the post-processing words. Each formatter appends to `out`, or appends nothing
// and throws when a value does not fit its field or a tensor holds too few values.
#include <cstdint>
#include <vector>

#include "engine/tensor.h"

namespace ovrix::lumo {

// One word per entry of `second`: bits 0-15 second (A_real), 16-31 first (A_imag), 32-36
// internal_state_outputs_shift (-16..15), 37-44 new_state_scale, 45-50 new_state_shift (-32..31).
void format_tsram_state_updating_var(std::vector<uint32_t>* out, const Dense& first, const Dense& second,
                                     const Dense& internal_state_outputs_shift, const Dense& new_state_scale,
                                     const Dense& new_state_shift);
// One word per entry of the scales (uint8 or uint16): bits 0-15 scale, 16-21 shift (-32..31), 22-29
// bias, 30-34 bias_shift (0..31).
void format_tsram_output_var(std::vector<uint32_t>* out, const Dense& scales, const Dense& shift, const Dense& bias,
                             const Dense& bias_shift);
// One word: bits 0-15 the scale 1, 16-21 -trunc(log2(timesteps)), 22-37 the threshold. Timesteps 0 are
// refused.
void format_tsram_post_processing_output_var(std::vector<uint32_t>* out, uint16_t timesteps, uint16_t threshold);
// ceil(n / P) words of 3-bit shifts: P = 8 channels a word at 8-bit input, 4 otherwise, each 16-bit
// channel's shift written twice. Shifts above 7 are refused.
void format_tsram_input_shift(std::vector<uint32_t>* out, const Dense& input_shift, uint8_t input_bits);
// One zero word.
void format_tsram_post_processing_input_shift(std::vector<uint32_t>* out);

}  // namespace ovrix::lumo
