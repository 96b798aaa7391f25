#pragma once
// Recording of a v2 depthwise buffered temporal convolution (DepthwiseBufferTempConv) on TNP-B NPs:
// each channel is filtered by its own taps, so an NP needs only its channels' taps and input shifts.
// The register recipe and the record layout are those of the standard kind
// (buffer_temp_conv_recording.h) with the depthwise fields.
#include <cstdint>
#include <memory>
#include <vector>

#include "backends/v2/conv_registers.h"
#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/hw_types.h"
#include "program/record.h"

namespace ovrix::v2 {

// Weight words reserved for an NP of `channels` channels: (fifo_size + 1) x channels.
uint32_t depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size, uint32_t channels);
// 32-bit words of the weight block of `channels` channels of `taps` taps: 3 x (taps + 1) x channels,
// padded to the extended DMA block format when needed.
uint32_t depthwise_buffer_temp_conv_formatted_weight_32b_size(uint32_t taps, uint32_t channels);

// The weight block of the NP that runs channels start_neuron .. start_neuron + filters - 1, from the
// weights (1, 1, taps, channels). Channel start_neuron + r owns weight word r for its first twelve
// taps (tap t at byte 12 r + t); further taps go to further planes of `filters` weight words each
// (see the layout in the implementation). A channel range beyond the tensor is refused.
std::vector<uint32_t> format_tnp_b_depthwise_buffer_temp_conv_weights(const Dense& weights, uint32_t start_neuron,
                                                                      uint32_t filters);

// The register blocks of the layer's NPs but those of excluded_nps, keyed by identifier.
RegisterMap format_tnp_b_depthwise_buffer_temp_conv_registers(const Layer& layer, std::shared_ptr<Layer> next_layer,
                                                              bool starts_pass, bool ends_pass,
                                                              const std::vector<hw::Ident>& excluded_nps,
                                                              bool registers_only, bool lut_flag);

// As record_program_buffer_temp_conv_layer, for the depthwise kind; each NP gets the input shifts of
// its own channels.
std::unique_ptr<program::Record> record_program_depthwise_buffer_temp_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_layer, bool starts_pass, bool ends_pass,
    const std::vector<hw::Ident>& excluded_nps, bool registers_only, bool lut_flag);

}  // namespace ovrix::v2
