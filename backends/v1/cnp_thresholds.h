#pragma once
// The threshold block of a v1 CNP: two words per filter, the threshold as a 20-bit two's-complement
// number (0x80000, the lowest, when the layer has no activation) and the activation step in sixteenths
// (at most 0xFFFFF).
#include <cstdint>
#include <vector>

#include "engine/tensor.h"

namespace ovrix::v1 {

// Filters first_filter .. first_filter + count - 1. Both tensors hold int32 ("Wrong requested type ...");
// a filter outside either tensor is refused ("Coordinates are out-of-range ..."); a threshold outside
// 20 bits panics ("%d cannot fit in a %d-bit signed integer"); a step outside 0 .. 0xFFFFF sixteenths is
// a CnpError "act_step should be between 0 and 65535. Receives act_step <step / 16>.".
std::vector<uint32_t> format_cnp_thresholds(const Dense& threshold, const Dense& threshold_t16, bool activation,
                                            uint32_t first_filter, uint32_t count);

}  // namespace ovrix::v1
