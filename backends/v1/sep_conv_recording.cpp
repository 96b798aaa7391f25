#include "backends/v1/sep_conv_recording.h"

#include "backends/v1/cnp_registers.h"
#include "backends/v1/cnp_weights.h"
#include "backends/v1/np_registers.h"
#include "engine/engine.h"

namespace ovrix::v1 {

RegisterMap build_sep_conv_np_regs(const Layer& layer, std::shared_ptr<Layer> next, bool ib_spikes,
                                   bool output_flag, const std::vector<hw::Ident>& skipped_nps) {
  (void)dynamic_cast<const SeparableConvolutional&>(layer);
  const int32_t kernel_width = cnp_param(layer, "kernel_width");
  const int32_t bits = cnp_param(layer, "weights_bits");
  const auto dims = layer.input_dimensions();  // "Cannot get input size before it is set."
  const uint32_t depthwise_words = get_dw_weights_sram_size(kernel_width, dims.front()[2], bits);
  auto fields = [&](const hw::Component& np) -> WeightFieldsWriter {
    return [=, filters = np.filters()](std::vector<uint32_t>* regs) {
      const uint32_t mode = static_cast<uint32_t>(bits) / 2;
      write_flag(regs, W3_SEPARABLE, true);
      write_field(regs, W3_DW_WEIGHTS_MODE, mode);
      write_field(regs, W3_PW_WEIGHTS_MODE, mode);
      write_field(regs, W20_PW_SLOTS_PER_CHANNEL, get_nb_words_per_pw_channel(filters, bits));
      write_field(regs, W22_DW_SLOTS, depthwise_words / 2);
    };
  };
  return build_cnp_np_regs(layer, next, ib_spikes, output_flag, skipped_nps, fields);
}

std::unique_ptr<program::Record> record_program_sep_conv_layer(const Device& device, const Layer& layer,
                                                               std::shared_ptr<Layer> next, bool ib_spikes,
                                                               bool output_flag,
                                                               const std::vector<hw::Ident>& skipped_nps,
                                                               bool registers_only) {
  (void)dynamic_cast<const SeparableConvolutional&>(layer);
  const auto mapping = require_layer_mapping(layer);
  const auto weights = cnp_variable(layer, "weights");
  const auto weights_pw = cnp_variable(layer, "weights_pw");
  const int32_t bits = cnp_param(layer, "weights_bits");
  const std::vector<uint32_t> depthwise = format_sep_cnp_dw_weights(*weights, bits);
  // The pointwise block follows the depthwise one: its header carries where, in 16-word units.
  const auto pointwise_offset = static_cast<uint16_t>((depthwise.size() + 15) / 16);
  const RegisterMap regs = build_sep_conv_np_regs(layer, std::move(next), ib_spikes, output_flag, skipped_nps);
  auto record = program::new_record(device.version());
  std::unique_ptr<Dense> threshold_t16;
  for (const hw::Component& np : *mapping->nps) {
    const std::vector<uint32_t> pointwise = format_sep_cnp_pw_weights(*weights_pw, bits, np.start_neuron(), np.filters());
    const auto found = regs.find(np.ident);
    if (found == regs.end()) continue;
    record->add_np_track(np.ident, kCnpRegistersTarget, 0, found->second);
    if (registers_only) continue;
    record->add_np_track(np.ident, kCnpWeightsTarget, 0, depthwise);
    record->add_np_track(np.ident, kCnpWeightsTarget, pointwise_offset, pointwise);
    if (!threshold_t16) threshold_t16 = get_threshold_t16_from_act_steps(*cnp_variable(layer, "act_step"));
    record->add_np_track(np.ident, kCnpThresholdsTarget, 0, format_np_thresholds(layer, *threshold_t16, np));
  }
  return record;
}

}  // namespace ovrix::v1
