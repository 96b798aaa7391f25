#include "backends/v2/cnp_tnp_common.h"

#include <algorithm>
#include <stdexcept>

#include "mapping/host_hooks.h"
#include "mapping/layer_mapping.h"

namespace ovrix::v2 {

namespace {

// Codes of word 3's width fields.
constexpr uint32_t NARROW_DATA = 2;  // fewer than 8 bits
constexpr uint32_t BYTE_DATA = 3;

uint32_t data_width_mode(uint8_t bits) { return bits < 8 ? NARROW_DATA : BYTE_DATA; }

// Reads element `index` of a per-channel tensor through its typed access; an index beyond the tensor
// is refused like any out-of-range coordinate.
template <class T>
T channel_value(const Dense& tensor, uint32_t index) {
  const T* data = tensor.data_as<T>();
  if (index >= tensor.size())
    panic("Coordinates are out-of-range (linear index %zu, tensor size %zu)", static_cast<size_t>(index),
          tensor.size());
  return data[index];
}

}  // namespace

bool get_no_pooling_params(PoolingCalculatedParams* params, uint32_t width, uint32_t height) {
  *params = PoolingCalculatedParams{};
  params->stride_x = 1;
  params->stride_y = 1;
  params->output_width = width;
  params->output_height = height;
  return true;
}

void format_cnp_pooling_registers(RegisterBlock* regs, const Shape& input, const NpSpace& partition,
                                  uint8_t pool_size, uint8_t pool_stride, bool pool_flag,
                                  const PaddingParams& pool_padding, bool outbound_max_pooling) {
  write_field(regs, W27_POOL_SIZE, pool_size);
  write_field(regs, W27_POOL_STRIDE, pool_stride);
  write_flag(regs, W27_POOL_FLAG, pool_flag);
  // The pooling pads only the borders of the whole input that the NP's part touches.
  const uint64_t right = uint64_t{partition.x} + partition.shape[0];
  const uint64_t bottom = uint64_t{partition.y} + partition.shape[1];
  write_flag(regs, W27_RESERVED_9, false);
  write_flag(regs, W27_PAD_LEFT, partition.x == 0 && pool_padding.x_before > 0);
  write_flag(regs, W27_PAD_RIGHT, right == input[0] && pool_padding.x_after > 0);
  write_flag(regs, W27_PAD_TOP, partition.y == 0 && pool_padding.y_before > 0);
  write_flag(regs, W27_PAD_BOTTOM, bottom == input[1] && pool_padding.y_after > 0);
  if (outbound_max_pooling) write_flag(regs, W2_OUTBOUND_MAX_POOLING, true);
}

void write_common_config_registers(RegisterBlock* regs, const NpSplitInterface& split, const CommonConfig& c) {
  // Word 1: activation and routing modes.
  write_flag(regs, W1_RESERVED_4, false);
  write_flag(regs, W1_RESERVED_7, false);
  write_flag(regs, W1_LUT_FLAG, c.lut_flag);
  write_flag(regs, W1_ACTIVATION_LUT, c.activation == ActivationType::LUT);
  write_flag(regs, W1_TNP_B_SKIP_DMA, c.tnp_b_with_skip_dma);

  // Word 3: data widths and the layer's NP count.
  write_field(regs, W3_INPUT_BITS_MODE, data_width_mode(c.input_bits));
  const bool weights4 = c.weights_bits == 4;
  const bool weights8 = c.weights_bits == 8;
  write_flag(regs, W3_WEIGHTS_4BIT, weights4);
  write_flag(regs, W3_WEIGHTS_8BIT, weights8);
  write_field(regs, W3_WEIGHTS_MODE, weights8 ? BYTE_DATA : NARROW_DATA);
  write_field(regs, W3_OUTPUT_BITS_MODE, data_width_mode(c.output_bits));
  const bool relu = c.activation == ActivationType::ReLU;
  write_flag(regs, W3_NO_RELU_OUTPUT, !relu && c.output_bits <= 8);
  write_flag(regs, W3_RELU, relu);
  write_field(regs, REG4_NP_NUM, c.np_count);

  // Word 4.
  write_field(regs, W4_RESERVED_29, 0);
  write_flag(regs, W4_ENABLE, true);

  // Word 8: partition size and window offsets.
  write_field(regs, REG8_II_SIZE, split.height);
  write_field(regs, REG8_II_OFFSET, signed_field_value(split.offset_y, 3));
  write_field(regs, REG8_JJ_SIZE, split.width);
  write_field(regs, REG8_JJ_OFFSET, signed_field_value(split.offset_x, 3));

  // Word 9: window origin and stride phases.
  write_field(regs, REG9_I_ORIG_CUT, split.input_y);
  write_flag(regs, REG9_I_CONV_STRD_OFFSET, split.stride_phase_y > 0);
  write_field(regs, W9_J_ORIG_CUT, split.input_x);
  write_flag(regs, W9_J_CONV_STRD_OFFSET, split.stride_phase_x > 0);

  // Words 10 and 11: window size and input container.
  write_field(regs, W10_I_WINDOW_SIZE, split.window_height);
  write_field(regs, W10_J_WINDOW_SIZE, split.window_width);
  write_field(regs, W11_ICONT_SIZE, split.icont_size());

  // Word 20: convolution mode.
  write_flag(regs, W20_STRIDE_2, c.stride == 2);
  write_flag(regs, W20_TRANSPOSED, c.transposed);
  write_flag(regs, W20_RESERVED_10, false);
  write_field(regs, W20_RESERVED_16, 0);
  write_field(regs, W20_KERNEL_SIZE, static_cast<uint32_t>(c.kernel_size));

  // Words 24 to 26: pooled range and filter range.
  write_field(regs, W24_FIRST_POOLED_ROW, split.first_pooled_row);
  write_field(regs, W24_FIRST_POOLED_COLUMN, split.first_pooled_col);
  write_field(regs, W25_ROW_COUNT_TERM, split.pooled_rows);
  write_field(regs, W25_COLUMN_COUNT_TERM, split.pooled_cols);
  write_field(regs, W26_FIRST_FILTER, c.first_filter);
  write_field(regs, W26_FILTER_COUNT, c.filter_count);
}

void write_merge_registers(RegisterBlock* regs, const MergeFields* merge, const hw::Component* skipdma_load,
                           const std::vector<hw::Component>& layer_nps, const std::vector<hw::Component>& stores) {
  if (merge == nullptr) {
    write_flag(regs, W52_NOT_FIRST, true);
    return;
  }
  write_flag(regs, W52_NOT_FIRST, merge->not_first);
  if (skipdma_load == nullptr) throw std::runtime_error("Skip DMA load should not be null.");

  write_flag(regs, W52_IS_ADD, merge->is_add);
  write_flag(regs, W52_MERGE_ENABLE, true);
  write_flag(regs, W52_MERGE_INPUT, true);
  write_flag(regs, W52_MERGE_LOAD, true);
  write_flag(regs, W52_RESERVED_3, false);
  write_field(regs, W52_MERGE_CHANNEL, merge->channel);

  write_field(regs, W53_RESERVED_0, 0);
  write_flag(regs, W53_RESERVED_19, false);
  write_flag(regs, W53_LOAD_ENABLE, true);
  write_field(regs, W53_LOAD_COLUMN, skipdma_load->ident.col);
  write_field(regs, W53_LOAD_ID, one_hot_id(skipdma_load->ident.id));
  write_flag(regs, W53_VALID, true);

  if (!merge->dual_output) return;
  if (stores.empty()) throw std::runtime_error("A dual output needs a skip DMA store.");
  write_flag(regs, W1_DUAL_OUTPUT, true);

  std::vector<hw::Component> all = layer_nps;
  all.insert(all.end(), stores.begin(), stores.end());
  const auto [first, last] = column_range(all);
  write_field(regs, W47_DUAL_FIRST_COLUMN, first);
  write_field(regs, W47_DUAL_LAST_COLUMN, last);

  write_field(regs, W48_DUAL_TARGET, merge->dual_output_target);
  const bool single = stores.size() == 1;
  write_flag(regs, W48_DUAL_SINGLE, single);
  if (single) {
    write_field(regs, W48_DUAL_ROW, stores.front().ident.row);
    write_field(regs, W48_DUAL_COLUMN, stores.front().ident.col);
  } else {
    const auto [store_first, store_last] = column_range(stores);
    write_field(regs, W48_DUAL_FIRST_COLUMN, store_first);
    write_field(regs, W48_DUAL_LAST_COLUMN, store_last);
  }
  write_field(regs, W48_DUAL_ID, one_hot_id(stores.front().ident.id));
}

void format_cnp_tnp_common_config_registers(RegisterBlock* regs, const NpSplitInterface& split, int kernel_size,
                                            int stride, ActivationType activation, uint32_t first_filter,
                                            uint32_t filter_count, uint8_t weights_bits,
                                            const std::vector<hw::Component>& layer_nps, bool tnp_b_with_skip_dma,
                                            bool transposed, uint8_t input_bits, uint8_t output_bits,
                                            const std::unique_ptr<MergeLayerMapInfo>& merge_info,
                                            const hw::Component* skipdma_load,
                                            const std::vector<hw::Component>& stores, bool lut_flag,
                                            bool merge_fields) {
  CommonConfig config;
  config.kernel_size = kernel_size;
  config.stride = stride;
  config.activation = activation;
  config.first_filter = first_filter;
  config.filter_count = filter_count;
  config.weights_bits = weights_bits;
  config.np_count = static_cast<uint32_t>(std::min<size_t>(layer_nps.size(), 0xFFFFFFFFu));
  config.tnp_b_with_skip_dma = tnp_b_with_skip_dma;
  config.transposed = transposed;
  config.input_bits = input_bits;
  config.output_bits = output_bits;
  config.lut_flag = lut_flag;
  write_common_config_registers(regs, split, config);
  if (!merge_fields) return;
  if (!merge_info) {
    write_merge_registers(regs, nullptr, skipdma_load, layer_nps, stores);
    return;
  }
  MergeFields merge;
  merge.is_add = merge_info->is_add;
  merge.channel = merge_info->channel;
  merge.dual_output = merge_info->dual_output;
  merge.dual_output_target = merge_info->dual_output_target;
  merge.not_first = merge_info->not_first;
  write_merge_registers(regs, &merge, skipdma_load, layer_nps, stores);
}

uint32_t cnp_tnp_input_shift_24b_size(const Dense& input_shift) {
  return static_cast<uint32_t>((input_shift.size() + 7) / 8);
}

std::vector<uint32_t> format_cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift,
                                               const Dense* activation_shift, const Dense* activation_scales,
                                               const Dense* output_shift, const Dense* bias_shift, const Dense* bias,
                                               const Dense* output_scales, uint32_t first_channel, uint32_t count) {
  std::vector<uint32_t> words(2 * size_t{count}, 0);
  for (uint32_t k = 0; k < count; ++k) {
    uint32_t* a = &words[2 * size_t{k}];
    uint32_t* b = a + 1;
    const uint32_t index = first_channel + k;
    // Later writes win where fields share bits (word A bits 27-31, word B bits 0-8).
    if (output_scales) set_field(a, VARS_W1_SCALE, channel_value<uint8_t>(*output_scales, index));
    if (bias) set_field(a, VARS_W1_BIAS, signed_field_value(channel_value<int8_t>(*bias, index), 8));
    if (bias_shift) set_field(a, VARS_W1_BIAS_SHIFT, channel_value<uint8_t>(*bias_shift, index));
    if (output_shift) set_field(a, VARS_W1_OUT_SHIFT, signed_field_value(channel_value<int8_t>(*output_shift, index), 6));
    if (max_value_shift) set_field(a, VARS_W1_MAX_SHIFT, channel_value<uint8_t>(*max_value_shift, index));
    if (activation_shift) {
      const uint32_t code = signed_field_value(channel_value<int8_t>(*activation_shift, index), 6);
      set_field(a, VARS_W1_ACT_SHIFT_LOW, code & 0x1F);
      set_field(b, VARS_W2_ACT_SHIFT_SIGN, code >> 5);
    }
    if (activation_scales) set_field(b, VARS_W2_ACT_SCALE, channel_value<uint8_t>(*activation_scales, index));
    if (max_value) set_field(b, VARS_W2_MAX_VALUE, channel_value<uint8_t>(*max_value, index));
  }
  return words;
}

}  // namespace ovrix::v2
