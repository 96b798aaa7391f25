#pragma once
// Recording of a v2 buffered temporal convolution (BufferTempConv) on TNP-B NPs, and what it shares
// with the depthwise kind: the TNP-B weight word, the register recipe of a TNP-B NP, and the record
// layout (per NP: registers, weights, input shifts, variables; the skip-DMA channels first).
//
// TNP-B weight word: twelve 8-bit weights carried as three 32-bit words (the low 96 bits of a 100-bit
// weight word); byte k is byte k mod 4 of word k div 4, least significant first.
#include <cstdint>
#include <memory>
#include <vector>

#include "backends/v2/conv_registers.h"
#include "backends/v2/np_registers.h"
#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/hw_types.h"
#include "program/record.h"

namespace ovrix::v2 {

namespace tnp_b {
inline constexpr RegField W1_TNP_B{1, {28, 1}};
inline constexpr RegField W4_FIFO_SIZE{4, {0, 16}};
inline constexpr RegField W21_CHANNELS{21, {0, 11}};
inline constexpr RegField W28_ROW_WORDS{28, {0, 14}};
inline constexpr RegField W28_CHANNELS_4{28, {16, 16}};
inline constexpr RegField W29_FILTER_GROUPS{29, {16, 8}};
inline constexpr RegField W30_RESERVED_0{30, {0, 1}};
inline constexpr RegField W30_RESERVED_1{30, {1, 1}};
inline constexpr RegField W30_FIFO_SIZE{30, {8, 4}};
inline constexpr RegField W30_FIFO_SLOTS{30, {16, 4}};
inline constexpr RegField W56_INPUT_BLOCKS{56, {16, 9}};
inline constexpr RegField W56_RESERVED_31{56, {31, 1}};

// Bytes of a weight word that carry weights, and the 32-bit words that carry it.
inline constexpr uint32_t WEIGHT_WORD_BYTES = 12;
inline constexpr uint32_t WEIGHT_WORD_32B = 3;
}  // namespace tnp_b

// ---- Sizes (unsigned 32-bit; a size beyond is reported as the largest value)

// Weight words of a channel container of `channels` filters: 2 x ceil(channels / 24).
uint32_t buffer_temp_conv_ch_cont_100b_size(uint32_t channels);
// Weight words reserved for an NP: (fifo_size + 1) x rows channel containers of `channels` filters.
uint32_t buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size, uint32_t channels, uint32_t rows);
// 32-bit words of `rows` channel containers, padded to the extended DMA block format when needed.
uint32_t tnp_b_buffer_temp_conv_formatted_weight_32b_size(uint32_t channels, uint32_t rows);

// ---- Weights

// The weight block of the NP that runs filters start_neuron .. start_neuron + filters - 1. The
// weights (1, 1, K, filters) hold K = fifo_size x R rows, tap after tap; the block interleaves them
// (tensor row i x R + j goes to block row j x fifo_size + i), one channel container per row. A
// fifo_size of 0 is refused; a filter range beyond the tensor too.
std::vector<uint32_t> format_tnp_b_buffer_temp_conv_weights(const Dense& weights, uint32_t fifo_size,
                                                            uint32_t start_neuron, uint32_t filters);

// ---- Registers

// What the kind-specific fields of one TNP-B NP are made of.
struct TnpBValues {
  uint32_t fifo_size = 0;
  uint32_t channels = 0;        // C: channels of the NP's partition
  uint32_t width = 0;           // W, H: the NP's input window
  uint32_t height = 0;
  uint8_t input_bits = 0;
  uint32_t start_neuron = 0;
  uint32_t filters = 0;
  uint32_t input_channels = 0;  // the layer's
};

// The TNP-B fields of one NP's register block (the bits they do not name keep their value); a value
// wider than its field is refused before its word is written. `depthwise` chooses the channel
// container, the filter groups and the channel cut of the depthwise kind.
void write_tnp_b_fields(RegisterBlock* regs, const TnpBValues& values, bool depthwise);

// The register blocks of the layer's NPs but those of excluded_nps, keyed by identifier. The fields
// every TNP-B NP shares are written here; `depthwise` chooses the channel container, the filter groups
// and the channel cut of the depthwise kind. The other arguments are those of the recorders.
RegisterMap format_tnp_b_registers(const Layer& layer, bool depthwise, std::shared_ptr<Layer> next_layer,
                                   bool starts_pass, bool ends_pass, const std::vector<hw::Ident>& excluded_nps,
                                   bool registers_only, bool lut_flag);
RegisterMap format_tnp_b_buffer_temp_conv_registers(const Layer& layer, std::shared_ptr<Layer> next_layer,
                                                    bool starts_pass, bool ends_pass,
                                                    const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                    bool lut_flag);

// ---- Recording

// The arguments are those of LayerRecorder::record_layer: next_layer runs on shared NPs after partial
// reconfiguration, starts_pass marks the input buffers as receiving spikes, ends_pass goes to the mesh
// registers, NPs of excluded_nps get nothing, registers_only records the register blocks alone,
// lut_flag goes to word 1. A layer of another kind is refused with "Invalid layer type for TNP-B
// recording."; a layer without its skip-DMA load engine (its FIFO) or without a variable it needs is
// refused naming the layer.
std::unique_ptr<program::Record> record_program_buffer_temp_conv_layer(const Device& device, const Layer& layer,
                                                                       std::shared_ptr<Layer> next_layer,
                                                                       bool starts_pass, bool ends_pass,
                                                                       const std::vector<hw::Ident>& excluded_nps,
                                                                       bool registers_only, bool lut_flag);

}  // namespace ovrix::v2
