#pragma once
// The v2 rules a layer must meet to run on the hardware, one entry point per layer kind. Each starts
// from success and gathers every broken rule, in rule order, into one status named after the layer;
// nothing is thrown for an ordinary broken rule.
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

// A failure for the layer with that message.
MappingStatus layer_failure(const Layer& layer, const std::string& message);

}  // namespace ovrix::v2
