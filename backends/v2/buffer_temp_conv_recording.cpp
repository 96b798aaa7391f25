#include "backends/v2/buffer_temp_conv_recording.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "backends/common/sizes.h"
#include "backends/v2/cnp_sizes.h"
#include "backends/v2/cnp_tnp_config.h"
#include "backends/v2/cnp_tnp_variables.h"
#include "backends/v2/conv_recording.h"
#include "backends/v2/default_regs.h"
#include "backends/v2/depthwise_buffer_temp_conv_recording.h"
#include "backends/v2/mesh_registers.h"
#include "backends/v2/shift_lut.h"
#include "backends/v2/skipdma.h"
#include "backends/v2/tnp_b_recording.h"
#include "engine/dma.h"
#include "mapping/layer_mapping.h"
#include "mapping/np_split.h"

namespace ovrix::v2 {

namespace {

// TNP-B input frames are counted in blocks of 64 32-bit words.
constexpr uint64_t INPUT_BLOCK_WORDS = 64;

std::vector<uint32_t> standard_weights(const Layer& layer, const Dense& weights, uint32_t start, uint32_t filters) {
  return format_tnp_b_buffer_temp_conv_weights(weights, static_cast<uint32_t>(layer_param(layer, "fifo_size")), start,
                                               filters);
}

std::vector<uint32_t> depthwise_weights(const Layer& /*layer*/, const Dense& weights, uint32_t start,
                                        uint32_t filters) {
  return format_tnp_b_depthwise_buffer_temp_conv_weights(weights, start, filters);
}

}  // namespace

void write_tnp_b_fields(RegisterBlock* regs, const TnpBValues& v, bool depthwise) {
  const uint64_t channels_4 = round_up(v.channels, 4);
  const bool channel_cut = depthwise && v.filters < v.input_channels;

  write_flag(regs, tnp_b::W1_TNP_B, true);
  if (depthwise) {
    write_flag(regs, W3_DEPTHWISE, true);
    write_flag(regs, REG4_IB_CH_GRP_EN, channel_cut);
  }
  write_field(regs, tnp_b::W4_FIFO_SIZE, v.fifo_size);
  // A depthwise NP filters each channel with its own taps: one weight word per channel.
  write_field(regs, REG11_CHCONT_SIZE, depthwise ? 1 : buffer_temp_conv_ch_cont_100b_size(v.filters));
  write_field(regs, tnp_b::W21_CHANNELS, v.channels);
  if (depthwise) {
    write_field(regs, CNP3_CH_ORIG_CUT, channel_cut ? v.start_neuron : 0);
    write_field(regs, CNP3_CH_SIZE_CUT, channel_cut ? v.filters : 0);
  }
  write_field(regs, tnp_b::W28_CHANNELS_4, size32(channels_4));
  write_field(regs, tnp_b::W28_ROW_WORDS, size32(channels_4 * v.width / 4));
  write_field(regs, tnp_b::W29_FILTER_GROUPS, depthwise ? 1 : size32((uint64_t{v.filters} + 7) / 8));
  write_flag(regs, tnp_b::W30_RESERVED_0, false);
  write_flag(regs, tnp_b::W30_RESERVED_1, true);
  write_field(regs, tnp_b::W30_FIFO_SIZE, v.fifo_size);
  write_field(regs, tnp_b::W30_FIFO_SLOTS, size32(uint64_t{v.fifo_size} + 1));
  const uint64_t input_words = ceil_div(uint64_t{v.height} * v.width * channels_4 * v.input_bits, 32);
  write_field(regs, tnp_b::W56_INPUT_BLOCKS, size32(ceil_div(input_words, INPUT_BLOCK_WORDS)));
  write_flag(regs, tnp_b::W56_RESERVED_31, false);
}

uint32_t buffer_temp_conv_ch_cont_100b_size(uint32_t channels) {
  return size32(ceil_div(round_up(round_up(channels, 8), 24), 12));
}

uint32_t buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size, uint32_t channels, uint32_t rows) {
  return size32((uint64_t{fifo_size} + 1) * rows * buffer_temp_conv_ch_cont_100b_size(channels));
}

uint32_t tnp_b_buffer_temp_conv_formatted_weight_32b_size(uint32_t channels, uint32_t rows) {
  const uint64_t n = uint64_t{rows} * buffer_temp_conv_ch_cont_100b_size(channels) * tnp_b::WEIGHT_WORD_32B;
  return round_for_xl(n);
}

std::vector<uint32_t> format_tnp_b_buffer_temp_conv_weights(const Dense& weights, uint32_t fifo_size,
                                                            uint32_t start_neuron, uint32_t filters) {
  if (fifo_size == 0) throw std::invalid_argument("A buffered temporal convolution needs a fifo_size of at least 1.");
  const TnpBWeightView view(weights, start_neuron, filters);
  const uint32_t rows = view.rows();
  const uint64_t row_bytes = uint64_t{buffer_temp_conv_ch_cont_100b_size(filters)} * tnp_b::WEIGHT_WORD_BYTES;
  std::vector<uint32_t> block(tnp_b_buffer_temp_conv_formatted_weight_32b_size(filters, rows), 0);
  // Each tap's rows are interleaved: block row j x fifo_size + i holds tensor row i x R + j.
  const uint32_t per_tap = rows / fifo_size;
  for (uint32_t i = 0; i < fifo_size; ++i)
    for (uint32_t j = 0; j < per_tap; ++j) {
      const uint64_t row_start = (uint64_t{j} * fifo_size + i) * row_bytes;
      for (uint32_t r = 0; r < filters; ++r) put_byte(&block, row_start + r, view.at(i * per_tap + j, r));
    }
  return block;
}

RegisterMap format_tnp_b_registers(const Layer& layer, bool depthwise, std::shared_ptr<Layer> next_layer,
                                   bool starts_pass, bool ends_pass, const std::vector<hw::Ident>& excluded_nps,
                                   bool registers_only, bool lut_flag) {
  const LayerMapping& mapping = mapping_of(layer);
  const std::vector<hw::Component> sources = source_components(mapping);
  const std::vector<hw::Component> destinations = destination_components(mapping);
  const auto activation = static_cast<ActivationType>(layer_param(layer, "activation"));
  const auto fifo_size = static_cast<uint32_t>(layer_param(layer, "fifo_size"));
  const Shape input = first_input_shape(layer);
  const uint8_t input_bits = layer.input_bits();
  const uint8_t output_bits = layer.output_bits();
  const std::vector<hw::Component>& nps = *mapping.nps;
  const std::unique_ptr<MergeLayerMapInfo> no_merge;
  // A window of one input frame, stride 1, nothing padded.
  const PaddingParams no_padding;

  RegisterMap blocks;
  for (const hw::Component& np : nps) {
    if (std::find(excluded_nps.begin(), excluded_nps.end(), np.ident) != excluded_nps.end()) continue;
    if (!np.np) throw std::runtime_error(fmt::format("An NP of layer '{}' has no part of the layer to run.",
                                                     layer.get_name()));
    const hw::NpMapping& part = *np.np;
    RegisterBlock regs = default_np_regs(np, mapping.index, registers_only, false);
    const NpSplit split(input, part.spatial_partition, part.input_window, 1, 1, no_padding, 0, 1, no_padding);
    format_cnp_tnp_common_config_registers(&regs, split, 1, 0, activation, part.start_neuron, part.filters, 8, nps,
                                           part.single_buffer, false, input_bits, output_bits, no_merge, nullptr, {},
                                           lut_flag, false);
    TnpBValues values;
    values.fifo_size = fifo_size;
    values.channels = part.spatial_partition.shape[2];
    values.width = part.input_window.shape[0];
    values.height = part.input_window.shape[1];
    values.input_bits = input_bits;
    values.start_neuron = part.start_neuron;
    values.filters = part.filters;
    values.input_channels = input[2];
    write_tnp_b_fields(&regs, values, depthwise);

    format_mesh_registers_set_output_to_NPs(&regs, sources, nps, destinations, mapping.alt_info, mapping.output_index,
                                            {.p2p_out = mapping.output_to_dma, .end_of_pass = ends_pass});
    update_partial_reconfig_regs_for_next(&regs, next_layer.get(), np.ident, ends_pass);
    if (starts_pass) set_ib_spikes(&regs);
    blocks.insert_or_assign(np.ident, std::move(regs));
  }
  return blocks;
}

RegisterMap format_tnp_b_buffer_temp_conv_registers(const Layer& layer, std::shared_ptr<Layer> next_layer,
                                                    bool starts_pass, bool ends_pass,
                                                    const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                    bool lut_flag) {
  return format_tnp_b_registers(layer, false, std::move(next_layer), starts_pass, ends_pass, excluded_nps,
                                registers_only, lut_flag);
}

std::unique_ptr<program::Record> record_tnp_b_layer(const TnpBKind& kind, const Device& device, const Layer& layer,
                                                    std::shared_ptr<Layer> next_layer, bool starts_pass,
                                                    bool ends_pass, const std::vector<hw::Ident>& excluded_nps,
                                                    bool registers_only, bool lut_flag) {
  if (layer_type(layer) != kind.type) throw std::runtime_error("Invalid layer type for TNP-B recording.");
  const LayerMapping& mapping = mapping_of(layer);
  const RegisterMap registers = format_tnp_b_registers(layer, kind.depthwise, std::move(next_layer), starts_pass,
                                                       ends_pass, excluded_nps, registers_only, lut_flag);
  auto record = program::new_record(device.version());

  // Every NP of a standard layer reads all the input channels, hence the same shifts.
  std::shared_ptr<Dense> input_shift;
  std::vector<uint32_t> shared_shift;
  if (!registers_only) {
    record_skipdma(record.get(), layer);
    input_shift = required_variable(layer, "input_shift");
    if (!kind.depthwise) shared_shift = format_input_shift(*input_shift, 0, 0);
  }
  const auto weights = optional_variable(layer, "weights");
  const auto max_value = optional_variable(layer, "max_value");
  const auto max_value_shift = optional_variable(layer, "max_value_shift");
  const auto activation_shift = optional_variable(layer, "activation_shift");
  const auto activation_scales = optional_variable(layer, "activation_scales");
  const auto output_shift = optional_variable(layer, "output_shift");
  const auto bias_shift = optional_variable(layer, "bias_shift");
  const auto bias = optional_variable(layer, "bias");
  const auto output_scales = optional_variable(layer, "output_scales");

  for (const hw::Component& np : *mapping.nps) {
    const auto block = registers.find(np.ident);
    if (block == registers.end()) continue;
    record->add_np_track(np.ident, dma::Target::NpRegisters, 0, block->second);
    if (registers_only) continue;
    if (!weights) throw std::runtime_error(fmt::format("Layer '{}' has no variable \"weights\"", layer.get_name()));
    const uint32_t first = np.start_neuron();
    const uint32_t count = np.filters();
    record->add_np_track(np.ident, dma::Target::Weights, 0, kind.weights(layer, *weights, first, count));
    record->add_np_track(np.ident, dma::Target::InputShift, 0,
                         kind.depthwise ? format_input_shift(*input_shift, first, count) : shared_shift);
    record->add_np_track(np.ident, dma::Target::Variables, 0,
                         format_cnp_tnp_variables(max_value.get(), max_value_shift.get(), activation_shift.get(),
                                                  activation_scales.get(), output_shift.get(), bias_shift.get(),
                                                  bias.get(), output_scales.get(), first, count));
  }
  return record;
}

const TnpBKind BUFFER_TEMP_CONV{LayerType::BufferTempConv, false, &standard_weights};
const TnpBKind DEPTHWISE_BUFFER_TEMP_CONV{LayerType::DepthwiseBufferTempConv, true, &depthwise_weights};

std::unique_ptr<program::Record> record_program_buffer_temp_conv_layer(const Device& device, const Layer& layer,
                                                                       std::shared_ptr<Layer> next_layer,
                                                                       bool starts_pass, bool ends_pass,
                                                                       const std::vector<hw::Ident>& excluded_nps,
                                                                       bool registers_only, bool lut_flag) {
  return record_tnp_b_layer(BUFFER_TEMP_CONV, device, layer, std::move(next_layer), starts_pass, ends_pass,
                            excluded_nps, registers_only, lut_flag);
}

}  // namespace ovrix::v2
