#include "backends/v1/hrc_conv.h"

#include <fmt/format.h>

#include "backends/common/layer_queries.h"
#include "engine/dma.h"
#include "engine/engine.h"
#include "engine/layers.h"
#include "engine/variables.h"
#include "program/hrc_format.h"

namespace ovrix::v1 {

namespace {

const hw::Ident kHrc(0, 0, 0, 0);
constexpr dma::Target kHrcRegisters = dma::Target::RegisterWrites;
constexpr dma::Target kHrcSram = dma::Target::HrcSram;

}  // namespace

void format_hrc_thresholds(std::vector<uint32_t>* out, const Dense& threshold, const Dense& steps) {
  const int32_t* t = threshold.data_as<int32_t>();
  const int32_t* s = steps.data_as<int32_t>();
  const size_t n = threshold.size();
  if (steps.size() < n)
    throw std::invalid_argument(fmt::format("The HRC needs one act step per threshold ({}).", n));
  out->assign(2 * n, 0);
  for (size_t i = 0; i < n; ++i) {
    (*out)[2 * i] = signed_field_value(t[i], 24);
    (*out)[2 * i + 1] = static_cast<uint32_t>(s[i]);
  }
}

std::vector<uint32_t> format_hrc_registers(const LayerParams& p, const std::array<uint32_t, 4>& build) {
  std::vector<uint32_t> regs(HRC_REGISTER_WORDS, 0);
  const int32_t kernel = p.get("kernel_height");
  const bool valid = p.get("padding") == static_cast<int32_t>(Padding::Valid);
  const bool max_pool = p.get("pool_type") == static_cast<int32_t>(PoolType::Max);
  write_flag(&regs, HRC0_START, true);
  write_field(&regs, HRC0_KERNEL, kernel == 5 ? 1 : kernel == 7 ? 2 : 0);
  write_field(&regs, HRC0_ACT_BITS, static_cast<uint32_t>(p.get("act_bits")) / 2);
  write_flag(&regs, HRC0_ONE_CHANNEL, p.get("input_channels") != 3);
  write_flag(&regs, HRC0_VALID, valid);
  write_flag(&regs, HRC0_POOL_Y, max_pool && p.get("pooling_height") == 2);
  write_flag(&regs, HRC0_POOL_X, max_pool && p.get("pooling_width") == 2);
  write_flag(&regs, HRC0_VALID_Y, valid);
  write_flag(&regs, HRC0_VALID_X, valid);
  write_field(&regs, HRC1_STRIDE_Y, static_cast<uint32_t>(p.get("stride_y")));
  write_field(&regs, HRC1_STRIDE_X, static_cast<uint32_t>(p.get("stride_x")));
  const auto pad = static_cast<uint32_t>(p.get("padding_value"));
  write_field(&regs, HRC2_PAD_R, pad);
  write_field(&regs, HRC2_PAD_G, pad);
  write_field(&regs, HRC2_PAD_B, pad);
  write_field(&regs, HRC3_BUILD_3, build[2]);
  write_field(&regs, HRC3_BUILD_4, build[3]);
  write_field(&regs, HRC3_BUILD_1, build[0]);
  write_field(&regs, HRC3_BUILD_2, build[1]);
  write_field(&regs, HRC4_RESERVED_0, 0);
  write_field(&regs, HRC4_LAST_FILTER, static_cast<uint32_t>(p.get("filters") - 1));
  return regs;
}

void load_hrc_sram(program::Record* record, const RegDetail& select, const std::vector<uint32_t>& data) {
  if (data.empty()) return;
  std::vector<uint32_t> selection(2, 0);
  set_field(&selection[0], select, 1);
  record->add_np_track(kHrc, kHrcRegisters, HRC_SELECT_ADDRESS, selection);
  record->add_np_track(kHrc, kHrcSram, HRC_SRAM_ADDRESS, data);
}

std::unique_ptr<program::Record> record_program_hrc_layer(const Device& device, const Layer& layer) {
  const auto& conv = dynamic_cast<const InputConvolutional&>(layer);
  const std::array<uint32_t, 4> build = conv.build_values();  // "The layer <name> is not built."
  auto record = program::new_record(device.version());
  const std::vector<uint32_t> regs = format_hrc_registers(*layer.params(), build);
  record->add_np_track(kHrc, kHrcRegisters, HRC_REGISTERS_ADDRESS, regs);
  const auto lines = format_hrc_weights(*layer_variable(layer, "weights"));
  const RegDetail colours[] = {HRC_SRAM_SELECT_R, HRC_SRAM_SELECT_G, HRC_SRAM_SELECT_B};
  for (size_t c = 0; c < 3 && c < lines.size(); ++c) load_hrc_sram(record.get(), colours[c], lines[c]);
  const auto steps = get_threshold_t16_from_act_steps(*layer_variable(layer, "act_step"));
  std::vector<uint32_t> thresholds;
  format_hrc_thresholds(&thresholds, *layer_variable(layer, "threshold"), *steps);
  load_hrc_sram(record.get(), HRC_SRAM_SELECT_TH_STP, thresholds);
  std::vector<uint32_t> start = {regs[0]};
  write_flag(&start, HRC0_START, false);
  record->add_np_track(kHrc, kHrcRegisters, HRC_REGISTERS_ADDRESS, start);
  record->add_np_track(kHrc, kHrcRegisters, HRC_CONTROL_ADDRESS, {1});
  record->add_np_track(kHrc, kHrcRegisters, HRC_CONTROL_ADDRESS, {0});
  return record;
}

}  // namespace ovrix::v1
