#include "backends/v2/mesh_registers.h"

#include <algorithm>
#include <stdexcept>

#include "backends/common/mapping_components.h"
#include "backends/common/sizes.h"
#include "backends/v2/cnp_sizes.h"
#include "backends/v2/fnp_padding.h"

namespace ovrix::v2 {

namespace {

// Fixed values of word 44.
constexpr uint32_t MESH_PACKET_WORDS = 8;
constexpr uint32_t MESH_MASK = 0xFF;

// Row, column and one-hot id of a single component, for the point-to-point modes.
void write_point_to_point(RegisterBlock* regs, const RegField& row, const RegField& column, const RegField& id,
                          const hw::Component& c) {
  write_field(regs, row, c.ident.row);
  write_field(regs, column, c.ident.col);
  write_field(regs, id, one_hot_id(c.ident.id));
}

}  // namespace

void format_mesh_cfg_dma_reg(RegisterBlock* regs, const hw::Ident& dma) {
  const uint32_t id = one_hot_id(dma.id);
  write_field(regs, W49_CFG_DMA_ROW, dma.row);
  write_field(regs, W49_CFG_DMA_COLUMN, dma.col);
  write_field(regs, W49_CFG_DMA_ID, id);
}

void format_mesh_registers_set_output_to_NPs(RegisterBlock* regs, const std::vector<hw::Component>& inputs,
                                             const std::vector<hw::Component>& layer_nps,
                                             const std::vector<hw::Component>& outputs,
                                             const std::unique_ptr<AltLayerMapInfo>& alt, uint8_t out_param,
                                             MeshRouting routing) {
  const auto [p2p_in, p2p_out, end_of_pass] = routing;
  write_flag(regs, W44_P2P_OUT, p2p_out);
  write_flag(regs, W44_RESERVED_1, false);
  write_flag(regs, W44_END_OF_PASS, end_of_pass);
  write_flag(regs, W44_ENABLE, true);
  write_field(regs, W44_PACKET_WORDS, MESH_PACKET_WORDS);
  write_field(regs, W44_MASK, MESH_MASK);

  // Output side.
  if (p2p_out) {
    if (outputs.size() != 1) throw std::runtime_error("Cannot use P2P OUT mode for multiple NPs.");
    write_point_to_point(regs, W45_OUT_ROW, W45_OUT_COLUMN, W45_OUT_ID, outputs.front());
  } else {
    const auto [first, last] = column_range(outputs);
    write_field(regs, W45_OUT_FIRST_COLUMN, first);
    write_field(regs, W45_OUT_LAST_COLUMN, last);
  }
  // A TNP-B receives on the first of its two position numbers.
  const bool to_tnp_b = outputs.front().type == hw::Type::TNP_B;
  write_field(regs, W45_OUT_INDEX, to_tnp_b ? uint32_t{out_param} - 1 : out_param);

  // Input side.
  if (p2p_in) {
    if (inputs.size() != 1) throw std::runtime_error("Cannot use P2P IN mode for multiple NPs.");
    write_point_to_point(regs, W46_IN_ROW, W46_IN_COLUMN, W46_IN_ID, inputs.front());
  } else {
    const auto [first, last] = column_range(inputs);
    write_field(regs, W46_IN_FIRST_COLUMN, first);
    write_field(regs, W46_IN_LAST_COLUMN, last);
  }
  write_flag(regs, W46_RESERVED_31, false);

  if (alt) {
    write_flag(regs, W46_ALT_LAYER, true);
    write_field(regs, W52_ALT_NP_COUNT, alt->component_count);
    write_flag(regs, W52_ALT_SECOND, alt->is_second != 0);
    write_field(regs, W52_ALT_FIRST_INDEX, alt->first_branch_index);
  }

  // Columns spanned by the layer and its outputs.
  const auto [out_first, out_last] = column_range(outputs);
  const auto [np_first, np_last] = column_range(layer_nps);
  write_field(regs, W47_FIRST_COLUMN, std::min(out_first, np_first));
  write_field(regs, W47_LAST_COLUMN, std::max(out_last, np_last));
}

void update_partial_reconfig_regs(RegisterBlock* regs, const Layer& layer, const hw::Component& np, bool end_of_pass) {
  const LayerMapping& mapping = mapping_of(layer);
  write_flag(regs, W32_PR_ENABLE, true);
  write_flag(regs, W32_PR_VALID, true);
  write_flag(regs, W44_PR_END_OF_PASS, end_of_pass);

  // Input width code: 1, 2, 4, 8 bits give 0, 1, 2, 3.
  const uint32_t bits = layer.input_bits();
  write_field(regs, W32_PR_INPUT_BITS, bits / 2 - bits / 8);
  write_field(regs, W32_PR_INPUT_INDEX, mapping.input_index);

  bool pooled_input = false;
  if (!layer.inbound_layers().empty() && layer.inbound_layers().front()) {
    const Layer& in = *layer.inbound_layers().front();
    pooled_input = in.has_pool_type(PoolType::Max) && !in.activation_enabled();
  }

  const uint32_t window_channels = np.np ? np.np->input_window.shape[2] : 0;
  uint64_t row_bytes = 0;
  uint64_t row_words = 0;
  if (layer.is_target_component(hw::TargetKind::FNP)) {
    write_flag(regs, PR1_FNP_MODE, true);
    const Shape input = first_input_shape(layer);
    const uint32_t x = input[0], y = input[1];
    write_field(regs, PR1_I_ORIG_CUT, 0);
    write_field(regs, PR1_J_ORIG_CUT, 0);
    write_field(regs, PR1_I_SIZE_CUT, y);
    write_field(regs, PR1_J_SIZE_CUT, x);
    write_field(regs, PR1_CH_SIZE, x * y);
    const InputPadding padding = get_fnp_supported_padding(layer, false);
    if (padding == INPUT_PADDING_NONE) throw std::runtime_error("Unsupported padding.");
    row_bytes = ceil_div(uint64_t{bits} * x, 8);
    if (padding != INPUT_PADDING_PACKED_ROWS) row_bytes = round_up(row_bytes, 4);
    row_words = ceil_div(row_bytes * window_channels, 4);
  } else if (layer.is_target_component(hw::TargetKind::CNP) || layer.is_target_component(hw::TargetKind::TNP_B)) {
    write_flag(regs, PR1_FNP_MODE, false);
    const NpSpace part = np.np ? np.np->spatial_partition : NpSpace();
    const uint32_t width = part.shape[0], height = part.shape[1], channels = part.shape[2];
    write_field(regs, PR1_I_ORIG_CUT, part.y);
    write_field(regs, PR1_J_ORIG_CUT, part.x);
    write_field(regs, PR1_I_SIZE_CUT, height);
    write_field(regs, PR1_J_SIZE_CUT, width);
    const uint64_t aligned_row = cnp_row_bytes(static_cast<uint8_t>(bits), width);
    if (pooled_input) {
      write_flag(regs, PR1_SP_MAXPOOLING, true);
      write_field(regs, PR1_PKSRAM_SIZE, size32(cnp_input_words(static_cast<uint8_t>(bits), width, height, channels)));
    }
    if (!layer.channels_follow_neurons()) {
      row_bytes = aligned_row;
      row_words = aligned_row * window_channels / 4;
    } else {
      write_flag(regs, PR1_SEPARABLE, true);
      row_words = cnp_row_words(static_cast<uint8_t>(bits), width);
      row_bytes = row_words * height * 4;
      if (np.filters() < first_input_shape(layer)[2]) {
        write_flag(regs, PR1_IB_CH_GRP_EN, true);
        write_field(regs, PR1_CH_ORIG_CUT, np.start_neuron());
        write_field(regs, PR1_CH_SIZE_CUT, np.filters());
      }
    }
  }

  write_flag(regs, W41_PR_RESERVED_31, false);
  write_field(regs, W41_PR_NP_COUNT, static_cast<uint32_t>(std::min<size_t>(mapping.nps->size(), 0xFFFFFFFFu)));
  const auto [first, last] = column_range(source_components(mapping));
  write_field(regs, W41_PR_INPUT_FIRST_COLUMN, first);
  write_field(regs, W41_PR_INPUT_LAST_COLUMN, last);

  write_field(regs, W35_PR_ROW_WORDS, size32(row_words));
  write_field(regs, W35_PR_ROW_BYTES, size32(row_bytes));

  write_flag(regs, W32_PR_MERGE, mapping.merge_info != nullptr);
  write_flag(regs, W32_PR_CONCAT, mapping.merge_info != nullptr && !mapping.merge_info->is_add);
}

void update_partial_reconfig_regs_for_next(RegisterBlock* regs, const Layer* next_layer, const hw::Ident& np,
                                           bool end_of_pass) {
  if (!next_layer) return;
  const auto next_mapping = layer_mapping(*next_layer);
  if (!next_mapping) return;
  const auto& next_nps = *next_mapping->nps;
  const auto shared =
      std::find_if(next_nps.begin(), next_nps.end(), [&](const hw::Component& c) { return c.ident == np; });
  if (shared != next_nps.end()) update_partial_reconfig_regs(regs, *next_layer, *shared, end_of_pass);
}

}  // namespace ovrix::v2
