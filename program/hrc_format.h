#pragma once
// Word layouts of the HRC (input convolution block): kernel weights in its three SRAMs and the
// per-filter activation words.
#include <cstdint>
#include <vector>

namespace ovrix {
class Dense;

// Lays 8-bit weights (kernel row, kernel column, channel, filter; read reversed for a reversed layout)
// out as the words of SRAMs R, G and B: always three lists, some possibly empty. Lines of three words
// hold up to nine weights; every filter starts a new line.
std::vector<std::vector<uint32_t>> format_hrc_weights(const Dense& weights);

// Two words per filter (output shift and scale, clamp value and shift, bias and bias shift). The
// clamp tensors may be null.
std::vector<uint32_t> format_hrc_activations(const Dense& output_shift, const Dense& output_scales,
                                             const Dense* max_value_shift, const Dense* max_value,
                                             const Dense& bias_shift, const Dense& bias);

// Two words per filter of a layer whose HRC applies a lookup-table activation.
std::vector<uint32_t> format_hrc_lut_variables(const Dense& output_scales, const Dense& bias, const Dense& bias_shift,
                                               const Dense& output_shift, const Dense& activation_shift,
                                               const Dense& activation_scales);

}  // namespace ovrix
