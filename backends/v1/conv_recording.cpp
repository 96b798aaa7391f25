#include "backends/v1/conv_recording.h"

#include <algorithm>
#include <stdexcept>

#include "backends/v1/cnp_registers.h"
#include "backends/v1/cnp_sizes.h"
#include "backends/v1/cnp_thresholds.h"
#include "backends/common/mapping_components.h"
#include "backends/common/sizes.h"
#include "backends/v1/cnp_weights.h"
#include "backends/v1/mesh_registers.h"
#include "backends/v1/np_registers.h"
#include "engine/engine.h"
#include "mapping/np_split.h"

namespace ovrix::v1 {

namespace {

// The pooling the registers describe: for a layer without pooling, width 1, stride 1, no padding and
// flag 0; a global average counts as width 1 with the layer's own stride, padding and flag.
struct CnpPooling {
  uint32_t width = 1;
  uint8_t stride = 1;
  PaddingParams padding;
  bool flag = false;
};

CnpPooling cnp_pooling(const Layer& layer) {
  const auto& pooled = dynamic_cast<const HasPoolParams&>(layer);
  const PoolingCalculatedParams& record = pooled.pool_calculated_params();  // "The layer ... is not built."
  const auto type = static_cast<PoolType>(cnp_param(layer, "pool_type"));
  if (type == PoolType::NoPooling) return {};
  const int32_t width = cnp_param(layer, "pooling_width");
  CnpPooling p;
  p.width = (type == PoolType::Average && width == -1) ? 1 : static_cast<uint32_t>(width) & 0xFF;
  p.stride = record.stride_x;
  p.padding = record.padding;
  p.flag = record.flag != 0;
  return p;
}

bool skipped(const std::vector<hw::Ident>& skipped_nps, const hw::Ident& ident) {
  return std::find(skipped_nps.begin(), skipped_nps.end(), ident) != skipped_nps.end();
}

// The standard layout of the NP's filters, by weight width.
std::vector<uint32_t> format_np_weights(const Dense& weights, int32_t weights_bits, const hw::Component& np) {
  if (weights_bits == 4) return format_4bits_std_cnp_weights(weights, np.start_neuron(), np.filters());
  return format_std_cnp_weights(weights, weights_bits == 2, np.start_neuron(), np.filters());
}

}  // namespace

std::shared_ptr<Dense> cnp_variable(const Layer& layer, const std::string& name) {
  const auto variables = layer.variables();
  auto tensor = variables ? variables->get(name) : nullptr;
  if (!tensor) throw std::runtime_error("Layer '" + layer.get_name() + "' has no variable \"" + name + "\".");
  return tensor;
}

int32_t cnp_param(const Layer& layer, const char* key) { return layer.params()->get(key); }

std::vector<uint32_t> format_np_thresholds(const Layer& layer, const Dense& threshold_t16, const hw::Component& np) {
  const auto threshold = cnp_variable(layer, "threshold");
  return format_cnp_thresholds(*threshold, threshold_t16, cnp_param(layer, "activation") != 0, np.start_neuron(),
                               np.filters());
}

void format_cnp_regs(std::vector<uint32_t>* regs, const Shape& input_shape, uint8_t layer_number, uint8_t input_bits,
                     int kernel_width, int stride_x, const PaddingParams& conv_padding, bool activation,
                     uint32_t act_bits, NpSpace window, const NpSpace& cut, uint32_t pool_width, uint8_t pool_stride,
                     const PaddingParams& pool_padding, uint32_t filters, uint32_t first_filter, uint32_t nb_nps,
                     bool single_buffer) {
  write_flag(regs, W1_RESERVED_4, false);
  write_flag(regs, W1_RESERVED_5, true);
  write_flag(regs, W1_RESERVED_6, true);
  write_flag(regs, W1_RESERVED_7, false);
  write_field(regs, W1_RESERVED_20, 0);
  write_flag(regs, W1_SINGLE_BUFFER, single_buffer);

  write_field(regs, W3_INPUT_BITS_MODE, input_bits / 2u);
  write_field(regs, W3_ACT_BITS_MODE, act_bits / 2);
  write_flag(regs, W3_ACTIVATION, activation);
  write_field(regs, W3_NP_COUNT, nb_nps);
  write_field(regs, W3_LAYER_NUMBER, layer_number);

  // The split names the component's spaces from the data's side: its "partition" is the window the NP
  // covers and its "window" the cut the NP keeps.
  const NpSplit split(input_shape, window, cut, kernel_width, stride_x, conv_padding, pool_width, pool_stride,
                      pool_padding);
  const uint32_t container = get_cnp_channel_container_size(split.window_width, input_bits);

  write_field(regs, W4_INPUT_SRAM_WORDS, get_cnp_input_sram_size(container, split.channels, split.window_height));
  write_flag(regs, W4_ENABLE, true);

  write_field(regs, W8_WINDOW_ROWS, split.height);
  write_field(regs, W8_CUT_ROW_OFFSET, signed_field_value(split.offset_y, 4));
  write_field(regs, W8_WINDOW_COLUMNS, split.width);
  write_field(regs, W8_CUT_COLUMN_OFFSET, signed_field_value(split.offset_x, 4));

  write_field(regs, W9_CUT_ROW_ORIGIN, split.input_y);
  write_flag(regs, W9_ROW_PHASE, split.stride_phase_y != 0);
  write_field(regs, W9_CUT_COLUMN_ORIGIN, split.input_x);
  write_flag(regs, W9_COLUMN_PHASE, split.stride_phase_x != 0);

  write_field(regs, W10_CUT_ROWS, split.window_height);
  write_field(regs, W10_CUT_COLUMNS, split.window_width);

  write_field(regs, W11_ICONT_SIZE, split.icont_size());

  write_flag(regs, W20_CONV_STRIDE, stride_x == 2);
  write_field(regs, W20_KERNEL_TYPE, static_cast<uint32_t>(kernel_width));

  write_field(regs, W24_FIRST_POOLED_ROW, split.first_pooled_row);
  write_field(regs, W24_FIRST_POOLED_COLUMN, split.first_pooled_col);
  write_field(regs, W25_POOLED_ROWS, split.pooled_rows);
  write_field(regs, W25_POOLED_COLUMNS, split.pooled_cols);

  write_field(regs, W26_FIRST_FILTER, first_filter);
  write_field(regs, W26_FILTERS, filters);

  write_field(regs, W28_CONTAINER_BYTES, container);
  write_field(regs, W28_ROW_WORDS, size32((uint64_t{container} * split.channels + 3) / 4));

  write_flag(regs, W29_RESERVED_0, false);
  write_field(regs, W29_FILTER_GROUPS, static_cast<uint32_t>((uint64_t{filters} + 7) / 8));

  write_flag(regs, W36_RESERVED_28, false);
}

void format_cnp_pooling_regs(std::vector<uint32_t>* regs, const Shape& input_shape, const NpSpace& window,
                             uint8_t pool_width, uint8_t pool_stride, bool pool_flag,
                             const PaddingParams& pool_padding) {
  write_field(regs, W27_POOL_WIDTH, pool_width);
  write_field(regs, W27_POOL_STRIDE, pool_stride);
  write_flag(regs, W27_POOL_FLAG, pool_flag);
  const bool last_column = uint64_t{window.x} + window.shape[0] == input_shape[0];
  const bool last_row = uint64_t{window.y} + window.shape[1] == input_shape[1];
  write_flag(regs, W27_PAD_RIGHT, last_column && pool_padding.x_after >= 1);
  write_flag(regs, W27_PAD_LEFT, window.x == 0 && pool_padding.x_before >= 1);
  write_flag(regs, W27_PAD_BOTTOM, last_row && pool_padding.y_after >= 1);
  write_flag(regs, W27_PAD_TOP, window.y == 0 && pool_padding.y_before >= 1);
}

RegisterMap build_cnp_np_regs(const Layer& layer, const std::shared_ptr<Layer>& next, bool ib_spikes,
                              bool output_flag, const std::vector<hw::Ident>& skipped_nps,
                              const WeightFields& weight_fields) {
  const auto mapping_ptr = require_layer_mapping(layer);
  const LayerMapping& mapping = *mapping_ptr;
  const std::vector<hw::Component> sources = source_components(mapping);
  const std::vector<hw::Component> destinations = destination_components(mapping);
  const std::vector<hw::Component>& nps = *mapping.nps;

  const uint8_t input_bits = layer.input_bits();
  const auto& conv = dynamic_cast<const HasConvParams&>(layer).conv_calculated_params();  // "... is not built."
  const CnpPooling pooling = cnp_pooling(layer);
  const int32_t kernel_width = cnp_param(layer, "kernel_width");
  const int32_t stride_x = cnp_param(layer, "stride_x");
  const bool activation = cnp_param(layer, "activation") != 0;
  const auto act_bits = static_cast<uint32_t>(cnp_param(layer, "act_bits"));

  std::shared_ptr<LayerMapping> next_mapping = next ? layer_mapping(*next) : nullptr;

  RegisterMap out;
  for (const hw::Component& np : nps) {
    if (skipped(skipped_nps, np.ident)) continue;
    const WeightFieldsWriter write_weight_fields = weight_fields(np);
    std::vector<uint32_t> regs = default_np_regs();
    const Shape input = layer.input_dimensions().front();
    const NpSpace window = np.np ? np.np->spatial_partition : NpSpace();
    const NpSpace cut = np.np ? np.np->input_window : NpSpace();
    format_cnp_regs(&regs, input, mapping.index, input_bits, kernel_width, stride_x, conv.padding, activation, act_bits,
                    window, cut, pooling.width, pooling.stride, pooling.padding, np.filters(), np.start_neuron(),
                    static_cast<uint32_t>(nps.size()), np.single_buffer());
    format_cnp_pooling_regs(&regs, input, window, static_cast<uint8_t>(pooling.width), pooling.stride, pooling.flag,
                            pooling.padding);
    write_weight_fields(&regs);
    format_mesh_registers_set_output_to_NPs(&regs, sources, nps, destinations, mapping.output_index, false,
                                            mapping.output_to_dma, output_flag);
    if (next_mapping) {
      const auto& next_nps = *next_mapping->nps;
      const auto same = std::find_if(next_nps.begin(), next_nps.end(),
                                     [&](const hw::Component& c) { return c.ident == np.ident; });
      if (same != next_nps.end()) update_partial_reconfig_regs(&regs, *next, *same);
    }
    if (ib_spikes) set_ib_spikes(&regs);
    out[np.ident] = std::move(regs);
  }
  return out;
}

RegisterMap build_conv_np_regs(const Layer& layer, std::shared_ptr<Layer> next, bool ib_spikes, bool output_flag,
                               const std::vector<hw::Ident>& skipped_nps) {
  (void)dynamic_cast<const Convolutional&>(layer);
  const auto weights = cnp_variable(layer, "weights");
  const int32_t bits = cnp_param(layer, "weights_bits");
  const int32_t kernel_width = cnp_param(layer, "kernel_width");
  const uint32_t channels = weights->shape()[1];
  auto fields = [&](const hw::Component& np) -> WeightFieldsWriter {
    const uint64_t words = format_np_weights(*weights, bits, np).size();
    const uint32_t filters = np.filters();
    return [=](std::vector<uint32_t>* regs) {
      write_flag(regs, W3_SEPARABLE, false);
      write_flag(regs, W3_WEIGHTS_4BIT, bits == 4);
      write_field(regs, W11_WEIGHT_WORDS_PER_CHANNEL, size32(words / channels / 4));
      const bool one_by_one = kernel_width == 1;
      write_field(regs, W20_FILTERS_1X1, one_by_one ? filters : 0);
      write_field(regs, W21_FILTERS_MULTIBIT, !one_by_one && bits >= 2 ? filters : 0);
      write_field(regs, W21_FILTERS_1BIT, !one_by_one && bits < 2 ? filters : 0);
      write_field(regs, W22_RESERVED_0, 0);
    };
  };
  return build_cnp_np_regs(layer, next, ib_spikes, output_flag, skipped_nps, fields);
}

std::unique_ptr<program::Record> record_program_conv_layer(const Device& device, const Layer& layer,
                                                           std::shared_ptr<Layer> next, bool ib_spikes,
                                                           bool output_flag,
                                                           const std::vector<hw::Ident>& skipped_nps,
                                                           bool registers_only) {
  (void)dynamic_cast<const Convolutional&>(layer);
  const auto mapping = require_layer_mapping(layer);
  const auto weights = cnp_variable(layer, "weights");
  const RegisterMap regs = build_conv_np_regs(layer, std::move(next), ib_spikes, output_flag, skipped_nps);
  auto record = program::new_record(device.version());
  const int32_t bits = cnp_param(layer, "weights_bits");
  std::unique_ptr<Dense> threshold_t16;
  for (const hw::Component& np : *mapping->nps) {
    const auto found = regs.find(np.ident);
    if (found == regs.end()) continue;
    record->add_np_track(np.ident, kCnpRegistersTarget, 0, found->second);
    if (registers_only) continue;
    record->add_np_track(np.ident, kCnpWeightsTarget, 0, format_np_weights(*weights, bits, np));
    if (!threshold_t16) threshold_t16 = get_threshold_t16_from_act_steps(*cnp_variable(layer, "act_step"));
    record->add_np_track(np.ident, kCnpThresholdsTarget, 0, format_np_thresholds(layer, *threshold_t16, np));
  }
  return record;
}

}  // namespace ovrix::v1
