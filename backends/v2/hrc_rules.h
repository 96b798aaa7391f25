#pragma once
// The v2 rules of the first convolution of a model (InputConv2D) on the HRC, the input convolution
// block: kernel, stride and pooling geometry, the image size, activation and output width, filters,
// weights and the limits of SameUpper padding. The HRC's limits are fixed numbers.
#include "engine/layer.h"
#include "mapping/mapping_status.h"

namespace ovrix::v2 {

// Every broken rule is gathered, in rule order.
MappingStatus check_input_conv2d_constraints(const Layer& layer);

}  // namespace ovrix::v2
