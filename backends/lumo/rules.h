#pragma once
// The rules a chain of TNP-R layers must meet, with every broken rule gathered in rule order into one
// status; only a broken model object (a variable of the wrong element type, a layer without input)
// throws.
#include "engine/layer.h"
#include "mapping/hardware_constraints.h"
#include "mapping/mapping_status.h"

namespace ovrix::lumo {

// The chain that starts at the layer: its per-layer rules (the walk stops at the first failing
// layer), its length, and its four SRAM sizes against the device's limits. A chain must start with a
// StatefulRecurrent layer.
MappingStatus check_tnp_r_constraints(const HardwareConstraints& constraints, const Layer& layer);
// The closing layer of a chain: a Dequantizer, or a LumoPostProcessing layer over a single channel of
// 3 to 128 timesteps, with a threshold, after a StatefulRecurrent layer whose own output scale is 1 and
// shift 0.
MappingStatus check_post_processing_layer(const Layer& layer);
// The packed input row of the first layer of a chain (success for any other layer).
MappingStatus check_packed_input_row(const Layer& layer);
// With ReLU, every max_value is 127 and every max_value_shift 31.
MappingStatus check_relu_max_values(const Layer& layer);

inline constexpr uint32_t TNPR_MAX_LAYERS = 8;
inline constexpr uint32_t TNPR_MAX_STATE_CHANNELS = 256;
inline constexpr uint32_t TNPR_MAX_OUTPUT_CHANNELS = 256;
inline constexpr uint32_t TNPR_MAX_SUBSAMPLE = 4;
// The most input channels any input width admits (8-bit inputs).
inline constexpr uint32_t TNPR_MAX_INPUT_CHANNELS = 256;
inline constexpr uint32_t TNPR_MAX_INPUT_SHIFT_BITS = 3;

// "A model cannot have more that 8 StatefulRecurrent layers."
std::string too_many_layers_message();

}  // namespace ovrix::lumo
