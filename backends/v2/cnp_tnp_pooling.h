#pragma once
// The pooling fields that every v2 CNP and TNP-B layer shares: word 27 (pool size, stride and flag,
// and the padded borders of the NP's part) and word 2's outbound max-pooling bit.
#include <cstdint>

#include "backends/v2/np_registers.h"
#include "engine/layer.h"
#include "engine/tensor.h"
#include "mapping/hw_description.h"

namespace ovrix::v2 {

// Fills a pooling record for a layer without pooling (strides 1, the given output size, no padding,
// flag 0) and answers true.
bool get_no_pooling_params(PoolingCalculatedParams* params, uint32_t width, uint32_t height);

// Word 27 (pool size, stride and flag, and which borders of the input the NP's part touches where the
// pooling pads) and word 2's outbound max-pooling bit.
void format_cnp_pooling_registers(RegisterBlock* regs, const Shape& input, const NpSpace& partition,
                                  uint8_t pool_size, uint8_t pool_stride, bool pool_flag,
                                  const PaddingParams& pool_padding, bool outbound_max_pooling);

}  // namespace ovrix::v2
