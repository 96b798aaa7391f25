#include "backends/lumo/tnpr_recording.h"

#include <stdexcept>

#include "backends/common/mapping_components.h"
#include "backends/lumo/chain.h"
#include "backends/lumo/fsram_format.h"
#include "backends/lumo/rules.h"
#include "backends/lumo/sram_sizes.h"
#include "backends/lumo/tsram_format.h"
#include "engine/dma.h"
#include "engine/params.h"

namespace ovrix::lumo {

namespace {

const Dense& require(const Layer& layer, const char* name) {
  const auto t = variable(layer, name);
  if (!t) throw std::runtime_error("Layer '" + layer.get_name() + "' has no variable \"" + name + "\"");
  return *t;
}

void check_index(int index) {
  if (index < 0 || index >= int(TNPR_MAX_LAYERS)) throw std::runtime_error(too_many_layers_message());
}

// 16-bit truncation of the post-processing timesteps and threshold, as their fields take them.
uint16_t low16(uint64_t v) { return static_cast<uint16_t>(v); }

}  // namespace

void format_stateful_recurrent_layer(const Layer& layer, std::vector<uint32_t>* fsram,
                                     std::vector<uint32_t>* tsram_state, std::vector<uint32_t>* tsram_output,
                                     std::vector<uint32_t>* tsram_input_shift, TnprConfig* config, int index) {
  check_index(index);
  config->relu_layers.set(size_t(index), layer.has_activation_type(ActivationType::ReLU));
  config->subsample[index] = uint32_t(layer.params()->get("subsample"));
  config->output_channels[index] = uint32_t(layer.params()->get("output_channels"));
  config->input_channels[index] = first_input_shape(layer)[2];

  format_fsram_weights(fsram, require(layer, "in_proj"), require(layer, "out_proj"));
  format_tsram_state_updating_var(tsram_state, require(layer, "A_imag"), require(layer, "A_real"),
                                  require(layer, "internal_state_outputs_shift"), require(layer, "new_state_scale"),
                                  require(layer, "new_state_shift"));
  // Before a post-processing layer the TNP-R scales the outputs with that layer's input scale and shift.
  const Layer* next = first_outbound_layer(layer);
  const bool handed_over = next && is_post_processing(*next);
  const Layer& source = handed_over ? *next : layer;
  format_tsram_output_var(tsram_output, require(source, handed_over ? "input_scales" : "output_scales"),
                          require(source, handed_over ? "input_shift" : "output_shift"), require(layer, "bias"),
                          require(layer, "bias_shift"));
  format_tsram_input_shift(tsram_input_shift, require(layer, "input_shift"), layer.input_bits());
}

std::unique_ptr<program::Record> record_program_tnpr_layers(const Device& device, const Layer& first) {
  auto record = program::new_record(device.version());
  std::vector<uint32_t> fsram, tsram_state, tsram_output, tsram_input_shift;
  TnprConfig config;

  int index = 0;
  const Layer* last_recurrent = nullptr;
  const Layer* post = nullptr;
  for (const Layer* p = &first; p && is_tnpr(*p); p = first_outbound_layer(*p), ++index) {
    if (is_recurrent(*p)) {
      format_stateful_recurrent_layer(*p, &fsram, &tsram_state, &tsram_output, &tsram_input_shift, &config, index);
      last_recurrent = p;
      continue;
    }
    check_index(index);
    config.relu_layers.reset(size_t(index));
    config.subsample[index] = 1;
    config.output_channels[index] = 1;
    config.input_channels[index] = 1;
    const Dense& threshold = require(*p, "threshold");
    if (threshold.size() == 0) throw std::runtime_error("LumoPostProcessing layer needs a threshold value.");
    const uint16_t value = threshold.data_as<uint16_t>()[0];
    format_tsram_post_processing_output_var(&tsram_output, low16(first_input_shape(*p)[1]), value);
    format_tsram_post_processing_input_shift(&tsram_input_shift);
    post = p;
  }
  const uint32_t n = uint32_t(index);

  const hw::Ident np = mapping_of(first).nps->at(0).ident;

  const Shape in = first_input_shape(first);
  config.layer_count = n;
  config.input_bits = first.input_bits();
  config.post_processing = post != nullptr;
  config.output_bits = post ? 16 : (last_recurrent ? last_recurrent->output_bits() : 0);
  config.input_row_words = input_row_words(config.input_bits, in[2]);
  config.timesteps = post ? in[1] : 0;
  const uint32_t state_words = uint32_t(tsram_state.size() / 2), output_words = uint32_t(tsram_output.size() / 2);
  config.tsram_output_base = state_words % 32768;
  config.tsram_input_shift_base = state_words % 32768 + output_words % 32768;
  config.stateful_channels = uint32_t(first.params()->get("stateful_channels"));
  config.cbuf_base = post ? (n - 1) * config.stateful_channels : 0;

  const std::vector<uint32_t> regs = format_tnpr_registers(config);
  std::vector<uint32_t> tsram = std::move(tsram_state);
  tsram.insert(tsram.end(), tsram_output.begin(), tsram_output.end());
  tsram.insert(tsram.end(), tsram_input_shift.begin(), tsram_input_shift.end());
  record->add_np_track(np, dma::Target::TnprRegisters, 0, regs, {.with_size = false, .append_to_last = false});
  record->add_np_track(np, dma::Target::TnprFsram, 0, fsram, {.with_size = false, .append_to_last = false});
  record->add_np_track(np, dma::Target::TnprTsram, 0, tsram, {.with_size = false, .append_to_last = false});
  return record;
}

}  // namespace ovrix::lumo
