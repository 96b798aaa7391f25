#pragma once
// Recording of one TNP-R chain: the register block, the FSRAM image of every recurrent layer's
// projections and the TSRAM image (state-update part, output part, input-shift part), as three tracks
// addressed to the NP of the chain's first layer.
#include <cstdint>
#include <memory>
#include <vector>

#include "backends/lumo/tnpr_registers.h"
#include "engine/device.h"
#include "engine/layer.h"
#include "program/record.h"

namespace ovrix::lumo {

// The chain from `first` on, as far as its layers run on the TNP-R. At most 8 layers: a ninth is
// refused with "A model cannot have more that 8 StatefulRecurrent layers.".
std::unique_ptr<program::Record> record_program_tnpr_layers(const Device& device, const Layer& first);

// Appends recurrent layer `index` of a chain to the four images and to the summary.
void format_stateful_recurrent_layer(const Layer& layer, std::vector<uint32_t>* fsram,
                                     std::vector<uint32_t>* tsram_state, std::vector<uint32_t>* tsram_output,
                                     std::vector<uint32_t>* tsram_input_shift, TnprConfig* config, int index);

}  // namespace ovrix::lumo
