#include "backends/lumo/tnpr_registers.h"

#include <algorithm>

namespace ovrix::lumo {

std::vector<uint32_t> format_tnpr_registers(const TnprConfig& c) {
  std::vector<uint32_t> regs(TNPR_REG_WORDS, 0);
  const uint32_t n = c.layer_count;
  uint32_t* control = &regs[REG_CONTROL];
  set_field(control, CONTROL_LAST_LAYER, n - 1);
  set_field(control, CONTROL_POST_PROCESSING, c.post_processing);
  set_field(control, CONTROL_OUTPUT_16B, c.output_bits == 16);
  set_field(control, CONTROL_INPUT_16B, c.input_bits == 16);
  set_field(control, CONTROL_POST_PROCESSING_OUT, c.post_processing);
  set_field(control, CONTROL_OUTPUT_WIDE, c.output_bits > 16);

  set_field(&regs[REG_INPUT], INPUT_ROW_WORDS, c.input_row_words);
  set_field(&regs[REG_INPUT], INPUT_TIMESTEPS, c.timesteps);
  set_field(&regs[REG_TSRAM_BASES], TSRAM_INPUT_SHIFT_BASE, c.tsram_input_shift_base);
  set_field(&regs[REG_TSRAM_BASES], TSRAM_OUTPUT_BASE, c.tsram_output_base);
  set_field(&regs[REG_CBUF], CBUF_BASE_ADDR, c.cbuf_base);
  for (uint32_t i = 0; i < std::min<uint32_t>(n, 8); ++i)
    set_field(&regs[REG_SUBSAMPLE], SUBSAMPLE_LAYERS[i], c.subsample[i] - 1);
  set_field(&regs[REG_STATE], INTERNAL_STATE_SIZE, c.stateful_channels);
  for (uint32_t i = 0; i < 8; ++i) set_field(&regs[REG_COUT_FIRST + i / 2], LAYER_COUT_SIZE[i], c.output_channels[i]);
  for (uint32_t i = 0; i < 8; ++i) set_field(&regs[REG_CIN_FIRST + i / 2], LAYER_CIN_SIZE[i], c.input_channels[i]);

  uint32_t* flags = &regs[REG_LAYER_FLAGS];
  if (c.post_processing && n >= 1) {
    set_field(flags, FLAGS_POST_LAST, 1u << (n - 1));
    set_field(flags, FLAGS_POST_LAST_TWO, n >= 2 ? 3u << (n - 2) : 1u);
  }
  set_field(flags, FLAGS_RELU_LAYERS, static_cast<uint32_t>(c.relu_layers.to_ulong()));
  return regs;
}

}  // namespace ovrix::lumo
