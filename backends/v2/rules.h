#pragma once
// The v2 rules a layer must meet to run on the hardware, one entry point per layer kind. Each gathers
// every broken rule, in rule order, into one status named after the layer (RuleFailures).
#include "backends/common/rule_failures.h"
#include "engine/layer.h"
#include "mapping/hardware_constraints.h"
#include "mapping/mapping_status.h"

namespace ovrix::v2 {

MappingStatus check_conv2d_constraints(const HardwareConstraints& constraints, const Layer& layer);
MappingStatus check_dwconv2d_constraints(const HardwareConstraints& constraints, const Layer& layer);
MappingStatus check_conv2dtranspose_constraints(const HardwareConstraints& constraints, const Layer& layer);
MappingStatus check_dwconv2dtranspose_constraints(const HardwareConstraints& constraints, const Layer& layer);

// Add: 8-bit output, per-channel shifts in range, followed by a CNP layer, inbounds from distinct
// convolution or merge layers.
MappingStatus check_add_constraints(const Layer& layer);
// Concatenate: followed by a CNP layer, inbounds from distinct convolution or merge layers.
MappingStatus check_concatenate_constraints(const Layer& layer);

}  // namespace ovrix::v2
