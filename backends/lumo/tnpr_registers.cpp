#include "backends/lumo/tnpr_registers.h"

#include <algorithm>

namespace ovrix::lumo {

RegisterBlock format_tnpr_registers(const TnprConfig& c) {
  RegisterBlock regs(TNPR_REG_WORDS, 0);
  const uint32_t n = c.layer_count;
  const auto write = [&](uint32_t word, const RegDetail& bits, uint32_t value) {
    write_field(&regs, RegField{word, bits}, value);
  };
  write(REG_CONTROL, CONTROL_LAST_LAYER, n - 1);
  write(REG_CONTROL, CONTROL_POST_PROCESSING, c.post_processing);
  write(REG_CONTROL, CONTROL_OUTPUT_16B, c.output_bits == 16);
  write(REG_CONTROL, CONTROL_INPUT_16B, c.input_bits == 16);
  write(REG_CONTROL, CONTROL_POST_PROCESSING_OUT, c.post_processing);
  write(REG_CONTROL, CONTROL_OUTPUT_WIDE, c.output_bits > 16);

  write(REG_INPUT, INPUT_ROW_WORDS, c.input_row_words);
  write(REG_INPUT, INPUT_TIMESTEPS, c.timesteps);
  write(REG_TSRAM_BASES, TSRAM_INPUT_SHIFT_BASE, c.tsram_input_shift_base);
  write(REG_TSRAM_BASES, TSRAM_OUTPUT_BASE, c.tsram_output_base);
  write(REG_CBUF, CBUF_BASE_ADDR, c.cbuf_base);
  for (uint32_t i = 0; i < std::min<uint32_t>(n, 8); ++i) write(REG_SUBSAMPLE, SUBSAMPLE_LAYERS[i], c.subsample[i] - 1);
  write(REG_STATE, INTERNAL_STATE_SIZE, c.stateful_channels);
  for (uint32_t i = 0; i < 8; ++i) write(REG_COUT_FIRST + i / 2, LAYER_COUT_SIZE[i], c.output_channels[i]);
  for (uint32_t i = 0; i < 8; ++i) write(REG_CIN_FIRST + i / 2, LAYER_CIN_SIZE[i], c.input_channels[i]);

  if (c.post_processing && n >= 1) {
    write(REG_LAYER_FLAGS, FLAGS_POST_LAST, 1u << (n - 1));
    write(REG_LAYER_FLAGS, FLAGS_POST_LAST_TWO, n >= 2 ? 3u << (n - 2) : 1u);
  }
  write(REG_LAYER_FLAGS, FLAGS_RELU_LAYERS, static_cast<uint32_t>(c.relu_layers.to_ulong()));
  return regs;
}

}  // namespace ovrix::lumo
