#pragma once
// Per-channel shift words and lookup-table words of v2 NPs.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/tensor.h"

namespace ovrix::v2 {

// Input shifts, one byte per channel, four to a word (first in the lowest byte), in blocks of eight
// shifts: 2 × ceil(count / 8) words. count 0 means the tensor's whole element count (so it fits only
// from `first` 0). A range beyond the tensor is refused (std::invalid_argument); a tensor whose
// elements are not stored as unsigned bytes by its typed access.
std::vector<uint32_t> format_input_shift(const Dense& shifts, uint32_t first, uint32_t count);
std::vector<uint32_t> format_input_shift(const Dense& shifts);
std::vector<uint32_t> pack_input_shift(std::span<const uint8_t> shifts);

// The merge byte of one channel from the shifts a and b of the merge's two inputs and the output
// shift o: bits 0-3 |a - b|, bits 4-6 max(a, b) + o as a 3-bit two's complement, bit 7 set when
// a <= b. A difference above 15 is refused as a 4-bit field overflow, a sum outside -4 .. 3 with
// "%d cannot fit in a %d-bit signed integer".
uint8_t merge_shift_byte(uint8_t a, uint8_t b, int8_t o);
// Merge bytes of channels start .. start + count - 1, four to a word: ceil(count / 4) words.
std::vector<uint32_t> format_merge_layer_shift(const std::shared_ptr<const Dense>& a_shift,
                                               const std::shared_ptr<const Dense>& b_shift,
                                               const std::shared_ptr<const Dense>& output_shift, uint32_t start,
                                               uint32_t count);

// A lookup-table entry as 14-bit two's complement; outside -8192 .. 8191 refused with
// "%d cannot fit in a %d-bit signed integer".
uint32_t lut_entry(int32_t value);
// 1024 words, entries 2k and 2k + 1 in bits 0-13 and 16-29 of word k. The table must hold 2048 or
// 2049 entries (an odd last one is ignored), else "Wrong size for LUT.".
std::vector<uint32_t> format_lut_values_for_cnp(const Dense* lut);
// 2048 words, entry k in bits 0-13 of word k; exactly 2048 entries, else "Wrong size for LUT.".
std::vector<uint32_t> format_lut_values_for_hrc(const Dense* lut);

}  // namespace ovrix::v2
