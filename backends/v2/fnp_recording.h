#pragma once
// Recording of a v2 dense layer (Dense1D) on its fully connected NP: the NP's register block, its
// input-shift words and its RAM (neuron headers and packed weights). An FNP3 keeps the RAM in its own
// SRAM (a DMA block); an FNP2 reads it from external memory (the record's FNP2 filters track).
#include <memory>
#include <vector>

#include "backends/v2/fnp_format.h"
#include "backends/v2/np_registers.h"
#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/hardware_constraints.h"
#include "mapping/hw_types.h"
#include "program/record.h"

namespace ovrix::v2 {

namespace fnp {
// ---- Word 1: FNP mode
inline constexpr RegField W1_FNP_ENABLE{1, {4, 1}};
inline constexpr RegField W1_ACTIVATION_LUT{1, {20, 1}};
inline constexpr RegField W1_SINGLE_BUFFER{1, {22, 1}};
inline constexpr RegField W1_FNP3{1, {24, 1}};
inline constexpr RegField W1_RESERVED_25{1, {25, 1}};
// ---- Word 3: data widths
inline constexpr RegField W3_INPUT_BITS{3, {0, 2}};
inline constexpr RegField W3_RESERVED_3{3, {3, 1}};
inline constexpr RegField W3_WEIGHT_BITS{3, {4, 2}};
inline constexpr RegField W3_RESERVED_7{3, {7, 1}};
inline constexpr RegField W3_OUTPUT_BITS{3, {12, 2}};
inline constexpr RegField W3_POTENTIAL_OUTPUT{3, {14, 1}};
inline constexpr RegField W3_ACTIVATION{3, {15, 1}};
inline constexpr RegField W3_RESERVED_16{3, {16, 8}};
// ---- Word 10: input size
inline constexpr RegField W10_HEIGHT{10, {0, 11}};
inline constexpr RegField W10_WIDTH{10, {16, 11}};
// ---- Words 11 and 28: rows of the row layouts
inline constexpr RegField W11_ROW_BYTES{11, {12, 18}};
inline constexpr RegField W28_ROW_GROUP_WORDS{28, {0, 14}};
inline constexpr RegField W28_ROW_BYTES{28, {16, 16}};
// ---- Word 14: input memory
inline constexpr RegField W14_FPKSRAM_SIZE{14, {0, 15}};
inline constexpr RegField W14_RESERVED_29{14, {29, 1}};
inline constexpr RegField W14_RESERVED_30{14, {30, 1}};
inline constexpr RegField W14_RESERVED_31{14, {31, 1}};
// ---- Words 15 to 17: neurons and RAM
inline constexpr RegField W15_NEURONS{15, {0, 16}};
inline constexpr RegField W15_NEURON_WORDS{15, {16, 15}};
inline constexpr RegField W16_RESERVED_0{16, {0, 18}};
inline constexpr RegField W17_RAM_WORDS{17, {0, 16}};
inline constexpr RegField W17_SRAM_RAM{17, {20, 4}};

// Width codes of word 3.
inline constexpr uint32_t NIBBLE_CODE = 2;
inline constexpr uint32_t BYTE_CODE = 3;
// Word 17 of an FNP2, whose RAM lies in external memory.
inline constexpr uint32_t FNP2_RAM_WORDS = 5;
}  // namespace fnp

// Writes the FNP fields of the register block (the fields of the default block it does not name stay).
// Widths outside the FNP's are refused before any field is written: "Wrong input_bits at FNP
// recording.", "Wrong weight bitwidth at FNP recording.", "Wrong output bitwidth at FNP recording.".
void format_fnp_registers(const HardwareConstraints& constraints, RegisterBlock* regs, hw::Type type,
                          uint8_t input_bits, uint8_t output_bits, bool activation, const Shape& dim,
                          bool single_buffer, const Dense& weights, uint8_t weight_bits, InputPadding mode);

// The arguments are those of LayerRecorder::record_layer: the input is flattened when `first_layer`
// is the layer itself; `next_layer` runs on the same NP after partial reconfiguration; `starts_pass`
// marks the NP's input buffer as receiving spikes; `ends_pass` goes to the mesh registers; an NP in
// `excluded_nps` gives an empty record; `registers_only` leaves the RAM out.
std::unique_ptr<program::Record> record_program_dense1d_layer(const Device& device,
                                                              const HardwareConstraints& constraints,
                                                              const Layer& layer, const Layer& first_layer,
                                                              std::shared_ptr<Layer> next_layer, bool starts_pass,
                                                              bool ends_pass,
                                                              const std::vector<hw::Ident>& excluded_nps,
                                                              bool registers_only);

}  // namespace ovrix::v2
