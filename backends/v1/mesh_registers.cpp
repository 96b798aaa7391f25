#include "backends/v1/mesh_registers.h"

#include <algorithm>
#include <stdexcept>

#include "backends/common/mapping_components.h"
#include "backends/common/register_fields.h"
#include "backends/common/sizes.h"
#include "backends/v1/cnp_sizes.h"
#include "backends/v1/np_registers.h"
#include "mapping/layer_mapping.h"

namespace ovrix::v1 {

namespace {

// Fixed values of word 44: the packet field holds bit 19; the mask byte depends on whether the output
// has a destination routing byte.
constexpr uint32_t kPacket = 0x08;
constexpr uint32_t kMaskNoDestination = 0x06;
constexpr uint32_t kMaskDestination = 0xFF;
constexpr uint8_t kNoDestination = 255;

// FNP inputs whose word 1 bit 4 is clear are held in at least this many words.
constexpr uint64_t kFnpMinInputWords = 0x2501;

// Row, column and one-hot position of the single component of a point-to-point side.
void write_point_to_point(std::vector<uint32_t>* regs, const RegField& row, const RegField& column,
                          const RegField& id, const std::vector<hw::Component>& list) {
  if (list.size() != 1) throw std::runtime_error("Cannot use P2P mode for multiple NPs.");
  const hw::Ident& ident = list.front().ident;
  write_field(regs, row, ident.row);
  write_field(regs, column, ident.col);
  write_field(regs, id, one_hot_id(ident.id));
}

void write_column_range(std::vector<uint32_t>* regs, const RegField& first, const RegField& last,
                        const std::vector<hw::Component>& list) {
  const auto [low, high] = column_range(list);
  write_field(regs, first, low);
  write_field(regs, last, high);
}

}  // namespace

void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, const hw::Ident& ident) {
  const uint32_t id = one_hot_id(ident.id);
  write_field(regs, W49_CFG_DMA_ROW, ident.row);
  write_field(regs, W49_CFG_DMA_COLUMN, ident.col);
  write_field(regs, W49_CFG_DMA_ID, id);
}

void set_ib_spikes(std::vector<uint32_t>* regs) { write_flag(regs, W2_IB_SPIKES, true); }

void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs, const std::vector<hw::Component>& first,
                                             const std::vector<hw::Component>& second,
                                             const std::vector<hw::Component>& third, uint8_t n, bool p2p_first,
                                             bool p2p_third, bool r) {
  write_flag(regs, W44_P2P_OUT, p2p_third);
  write_flag(regs, W44_RESERVED_1, false);
  write_flag(regs, W44_OUTPUT_FLAG, r);
  write_field(regs, W44_PACKET, kPacket);
  write_field(regs, W44_MASK, n == kNoDestination ? kMaskNoDestination : kMaskDestination);

  if (p2p_third)
    write_point_to_point(regs, W45_OUT_ROW, W45_OUT_COLUMN, W45_OUT_ID, third);
  else
    write_column_range(regs, W45_OUT_FIRST_COLUMN, W45_OUT_LAST_COLUMN, third);
  write_field(regs, W45_OUT_INDEX, n);

  if (p2p_first)
    write_point_to_point(regs, W46_IN_ROW, W46_IN_COLUMN, W46_IN_ID, first);
  else
    write_column_range(regs, W46_IN_FIRST_COLUMN, W46_IN_LAST_COLUMN, first);
  write_field(regs, W46_RESERVED_30, 0);

  // The columns spanned by the layer and its destinations; nothing else of the word survives.
  const auto [out_low, out_high] = column_range(third);
  const auto [own_low, own_high] = column_range(second);
  regs->at(W47_FIRST_COLUMN.word) = 0;
  write_field(regs, W47_FIRST_COLUMN, std::min(out_low, own_low));
  write_field(regs, W47_LAST_COLUMN, std::max(out_high, own_high));
}

void update_partial_reconfig_regs(std::vector<uint32_t>* regs, const Layer& layer, const hw::Component& component) {
  const LayerMapping& mapping = *require_layer_mapping(layer);
  const bool fnp = component.type == hw::Type::FNP2 || component.type == hw::Type::FNP3;
  const Shape input = layer.input_dimensions().front();
  const uint64_t d0 = input[0], d1 = input[1], d2 = input[2];
  const NpSpace window = component.np ? component.np->spatial_partition : NpSpace();
  const NpSpace cut = component.np ? component.np->input_window : NpSpace();
  const uint8_t bits = layer.input_bits();

  write_flag(regs, W32_PR_ENABLE, true);
  write_flag(regs, W32_PR_FNP, fnp);
  write_flag(regs, W32_PR_VALID, true);
  write_field(regs, W32_PR_INPUT_BITS, (bits >> 1) & 0x7F);
  write_field(regs, W32_PR_PREVIOUS_PASS, mapping.input_index);

  write_field(regs, W33_PR_CUT_ROW_ORIGIN, fnp ? 0 : cut.y);
  write_field(regs, W33_PR_CUT_COLUMN_ORIGIN, fnp ? 0 : cut.x);

  const uint32_t width = fnp ? input[0] : cut.shape[0];
  const uint32_t height = fnp ? input[1] : cut.shape[1];
  write_field(regs, W34_PR_ROWS, height);
  write_field(regs, W34_PR_COLUMNS, width);

  const uint32_t container = get_cnp_channel_container_size(width, bits);
  if (fnp) {
    write_field(regs, W35_PR_FNP_INPUTS, size32(d0 * d1));
  } else {
    write_field(regs, W35_PR_ROW_WORDS, size32((uint64_t{container} * window.shape[2] + 3) / 4));
    write_field(regs, W35_PR_CONTAINER_BYTES, container);
  }

  uint64_t extent = (d0 * d1 * d2 + 31) / 32;
  extent = std::max<uint64_t>(extent, read_field(*regs, W4_INPUT_SRAM_WORDS));
  extent = std::max<uint64_t>(extent, read_field(*regs, W14_INPUT_SRAM_WORDS));
  if (!fnp) extent = std::max<uint64_t>(extent, get_cnp_input_sram_size(container, window.shape[2], cut.shape[1]));
  if (fnp && !read_field(*regs, W1_FNP_INPUT_MODE)) extent = std::max(extent, kFnpMinInputWords);
  write_field(regs, W4_INPUT_SRAM_WORDS, size32(extent));
  write_field(regs, W14_INPUT_SRAM_WORDS, size32(extent));
}

}  // namespace ovrix::v1
