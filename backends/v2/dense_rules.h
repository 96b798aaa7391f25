#pragma once
// The v2 rules of a dense layer (Dense1D) on an FNP: data widths against the activation, an input
// layout that fits the FNP given the layer that feeds it, and room for the input shifts and the input.
#include "engine/layer.h"
#include "mapping/hardware_constraints.h"
#include "mapping/mapping_status.h"

namespace ovrix::v2 {

// `previous` is the layer's first inbound layer, null when the layer opens the list being mapped
// (its input is then taken flat). Every broken rule is gathered; the memory rules run only when the
// others passed.
MappingStatus check_fnp_constraints(const HardwareConstraints& constraints, const Layer& layer,
                                    const Layer* previous);

}  // namespace ovrix::v2
