#include "backends/v2/depthwise_buffer_temp_conv_recording.h"

#include <algorithm>
#include <limits>

#include "backends/common/sizes.h"
#include "backends/v2/buffer_temp_conv_recording.h"
#include "backends/v2/tnp_b_recording.h"

namespace ovrix::v2 {

uint32_t depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size, uint32_t channels) {
  const uint64_t words = (uint64_t{fifo_size} + 1) * channels;
  return size32(words);
}

uint32_t depthwise_buffer_temp_conv_formatted_weight_32b_size(uint32_t taps, uint32_t channels) {
  return round_for_xl(uint64_t{tnp_b::WEIGHT_WORD_32B} *
                          depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(taps, channels));
}

std::vector<uint32_t> format_tnp_b_depthwise_buffer_temp_conv_weights(const Dense& weights, uint32_t start_neuron,
                                                                      uint32_t filters) {
  const TnpBWeightView view(weights, start_neuron, filters);
  const uint32_t taps = view.rows();
  std::vector<uint32_t> block(depthwise_buffer_temp_conv_formatted_weight_32b_size(taps, filters), 0);
  // Layout: a weight word holds twelve taps, so the taps of a channel are cut in planes of twelve.
  // Plane p is `filters` weight words long, one per channel in channel order, and follows plane
  // p - 1: tap t of channel r lies at byte 12 x (p x filters + r) + t mod 12, with p = t div 12.
  // Up to twelve taps there is one plane, channel r's taps at bytes 12 r .. 12 r + 11. The block
  // holds (taps + 1) x filters weight words, more than the ceil(taps / 12) x filters the planes take,
  // so every tap has its byte.
  for (uint32_t r = 0; r < filters; ++r)
    for (uint32_t t = 0; t < taps; ++t) {
      const uint64_t plane = t / tnp_b::WEIGHT_WORD_BYTES;
      const uint64_t word = plane * filters + r;
      put_byte(&block, word * tnp_b::WEIGHT_WORD_BYTES + t % tnp_b::WEIGHT_WORD_BYTES, view.at(t, r));
    }
  return block;
}

RegisterMap format_tnp_b_depthwise_buffer_temp_conv_registers(const Layer& layer, std::shared_ptr<Layer> next_layer,
                                                              bool starts_pass, bool ends_pass,
                                                              const std::vector<hw::Ident>& excluded_nps,
                                                              bool registers_only, bool lut_flag) {
  return format_tnp_b_registers(layer, true, std::move(next_layer), starts_pass, ends_pass, excluded_nps,
                                registers_only, lut_flag);
}

std::unique_ptr<program::Record> record_program_depthwise_buffer_temp_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_layer, bool starts_pass, bool ends_pass,
    const std::vector<hw::Ident>& excluded_nps, bool registers_only, bool lut_flag) {
  return record_tnp_b_layer(DEPTHWISE_BUFFER_TEMP_CONV, device, layer, std::move(next_layer), starts_pass, ends_pass,
                            excluded_nps, registers_only, lut_flag);
}

}  // namespace ovrix::v2
