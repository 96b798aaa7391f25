#pragma once
// On-chip learning in the last dense layer of a v1 model: the three records of its program (the
// registers set up for learning, the same for inference, and the weight memory whose neuron headers
// carry the learning state), and the read-back of what the FNP learnt.
#include <cstdint>
#include <vector>

#include "engine/device.h"
#include "engine/layer.h"
#include "engine/variables.h"
#include "program/record.h"

namespace ovrix::v1 {

// The learning records of a mapped dense layer with learning parameters and 1-bit weights; refused
// (FnpError) without learning parameters, with other weight widths, with more units than neuron
// blocks or learning values, and with num_weights above 65535 (its high bits would share header
// word 2 with the learning threshold).
program::LearnRecordsPtr record_program_learning_dense_layer(const Device& device, const Layer& layer,
                                                             bool ib_spikes);

// Writes the learning state into the neuron headers of a 1-bit weight memory: class numbers (when
// num_classes > 1), num_weights, threshold_learning and thswap of each of `units` neurons.
void format_fnp_learning_headers(std::vector<uint32_t>* ram, uint32_t inputs, uint32_t units, uint32_t num_weights,
                                 uint32_t num_classes, const Dense& threshold_learning, const Dense& thswap);

// The learnt weights, learning thresholds and swap values, decoded from a learning memory copy (with
// its 2-word DMA header on an FNP3); a copy too short for the layer, or variables with fewer values
// than neurons, are refused (FnpError) before any variable changes.
void fnp_update_learn_vars(HardwareDevice* device, VariablesImpl* variables, bool fnp3);
void decode_fnp_learning_memory(const std::vector<uint32_t>& memory, VariablesImpl* variables, bool fnp3);

}  // namespace ovrix::v1
