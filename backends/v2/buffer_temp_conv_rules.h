#pragma once
// The v2 rules of the buffered temporal convolutions (BufferTempConv, DepthwiseBufferTempConv) on
// TNP-B NPs. Both kinds obey the same limits: 8-bit data and weights, the TNP-B's input and filter
// sizes, the skip-DMA row of one input pixel, and room for the input shifts.
#include "engine/layer.h"
#include "mapping/hardware_constraints.h"
#include "mapping/mapping_status.h"

namespace ovrix::v2 {

// Every broken rule is gathered, in rule order.
MappingStatus check_tnp_b_constraints(const HardwareConstraints& constraints, const Layer& layer);
MappingStatus check_buffer_temp_conv_constraints(const HardwareConstraints& constraints, const Layer& layer);
MappingStatus check_depthwise_buffer_temp_conv_constraints(const HardwareConstraints& constraints,
                                                           const Layer& layer);

}  // namespace ovrix::v2
