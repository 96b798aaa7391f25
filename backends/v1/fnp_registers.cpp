#include "backends/v1/fnp_registers.h"

#include <algorithm>
#include <stdexcept>

#include "backends/common/layer_queries.h"
#include "backends/common/mapping_components.h"
#include "backends/common/sizes.h"
#include "backends/v1/fnp_ram.h"
#include "backends/v1/fnp_sizes.h"
#include "backends/v1/learning_registers.h"
#include "backends/v1/mesh_registers.h"
#include "backends/v1/np_registers.h"
#include "engine/engine.h"
#include "engine/layers.h"
#include "engine/variables.h"
#include "mapping/layer_mapping.h"
#include "mapping/mesh.h"

namespace ovrix::v1 {

namespace {

const hw::Component& first_component(const LayerMapping& mapping) { return mapping.nps->at(0); }

}  // namespace

std::map<hw::Ident, std::vector<uint32_t>> format_fnp_regs(const Device& device, const Layer& layer, bool learning,
                                                           std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                           bool routing_flag) {
  const auto mapping_ptr = require_layer_mapping(layer);
  const LayerMapping& mapping = *mapping_ptr;
  const hw::Component& np = first_component(mapping);
  const bool fnp2 = np.type == hw::Type::FNP2;

  const uint32_t ib = layer.input_bits();
  const Shape input = first_input_shape(layer);
  const int32_t wb = layer_param(layer, "weights_bits");
  const bool activation = layer_param(layer, "activation") != 0;
  const auto ab = static_cast<uint32_t>(layer_param(layer, "act_bits"));
  const auto units = static_cast<uint32_t>(layer_param(layer, "units"));
  const Shape weights_shape = layer_variable(layer, "weights")->shape();

  std::vector<uint32_t> regs = default_np_regs();
  write_flag(&regs, W1_RESERVED_4, true);
  write_flag(&regs, W1_RESERVED_5, true);
  write_flag(&regs, W1_RESERVED_6, true);
  write_field(&regs, W1_NP2NP_CFG, fnp2 ? 3 : 1);
  if (!fnp2) write_field(&regs, W1_CNP4FNP_NUM, 1);
  if (ib == 4 && !np.single_buffer()) throw std::invalid_argument("4-bit FNP inputs require single buffer mode.");
  write_flag(&regs, W1_SINGLE_BUFFER, np.single_buffer());

  write_field(&regs, W3_INPUT_BITS_MODE, ib >> 1);
  write_field(&regs, W3_FNP_WEIGHTS_MODE, wb != 1 ? static_cast<uint32_t>(wb - 2) : 0);
  write_flag(&regs, W3_FNP_MULTIBIT_WEIGHTS, wb != 1);
  write_field(&regs, W3_ACT_BITS_MODE, ab >> 1);
  write_flag(&regs, W3_ACTIVATION, activation);
  write_field(&regs, W3_NP_COUNT, 1);
  write_field(&regs, W3_LAYER_NUMBER, mapping.index);

  write_field(&regs, W10_FNP_HEIGHT, input[1]);
  write_field(&regs, W10_FNP_WIDTH, input[0]);
  write_field(&regs, W11_ICONT_SIZE, 0);
  write_field(&regs, W11_CHANNEL_SIZE, size32(uint64_t{input[0]} * input[1]));
  write_flag(&regs, W14_FNP_PACKET_ENABLE, true);
  write_field(&regs, W14_PACKET_WORDS, size32((uint64_t{input[2]} * input[0] * input[1] + 31) >> 5));
  write_field(&regs, W15_NEURONS, units);
  write_field(&regs, W16_RESERVED_0, 0);
  write_field(&regs, W16_OUTPUT_TYPE, activation ? 2 : 0);
  if (!fnp2) {
    const uint32_t size = fnp_sram_size(weights_shape, wb);
    const uint32_t block = 256 * read_field(regs, W12_WEIGHT_BLOCK_UNITS);
    write_field(&regs, W17_WEIGHT_WORDS, size);
    write_field(&regs, W17_WEIGHT_BLOCKS, block == 0 ? 0 : size32(ceil_div(size, block)));
  }

  // A layer without learning parameters is programmed as one that does not learn (the learning
  // recorder refuses such a layer before it gets here).
  const std::shared_ptr<LearningParams> params = learning ? layer.learning_params() : nullptr;
  format_learning_common_regs(&regs, params.get());

  format_mesh_registers_set_output_to_NPs(&regs, source_components(mapping), *mapping.nps,
                                          destination_components(mapping), mapping.output_index, false,
                                          mapping.output_to_dma, routing_flag);
  if (fnp2) format_mesh_cfg_dma_reg(&regs, device.mesh().dma_conf);
  if (next_layer) {
    if (const auto next_mapping = layer_mapping(*next_layer)) {
      const auto& next_nps = *next_mapping->nps;
      const auto same = std::find_if(next_nps.begin(), next_nps.end(),
                                     [&](const hw::Component& c) { return c.ident == np.ident; });
      if (same != next_nps.end()) update_partial_reconfig_regs(&regs, *next_layer, *same);
    }
  }
  if (ib_spikes) set_ib_spikes(&regs);
  return {{np.ident, std::move(regs)}};
}

std::vector<uint32_t> format_layer_fnp_ram(const Layer& layer) {
  const bool activation = layer_param(layer, "activation") != 0;
  const auto weights = layer_variable(layer, "weights");
  const auto threshold = layer_variable(layer, "threshold");
  const auto t16 = get_threshold_t16_from_act_steps(*layer_variable(layer, "act_step"));
  return format_fnp_ram(*weights, *threshold, *t16, layer_param(layer, "weights_bits"), activation);
}

std::unique_ptr<program::Record> record_program_dense_layer(const Device& device, const Layer& layer,
                                                            std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                            bool routing_flag,
                                                            const std::vector<hw::Ident>& skipped_nps,
                                                            bool registers_only) {
  (void)dynamic_cast<const FullyConnected&>(layer);
  const auto mapping = require_layer_mapping(layer);
  const hw::Component& np = first_component(*mapping);
  auto record = program::new_record(device.version());
  if (std::find(skipped_nps.begin(), skipped_nps.end(), np.ident) != skipped_nps.end()) return record;
  const auto regs = format_fnp_regs(device, layer, false, std::move(next_layer), ib_spikes, routing_flag);
  const auto found = regs.find(np.ident);
  if (found == regs.end()) return record;
  record->add_np_track(np.ident, kFnpRegistersTarget, 0, found->second);
  if (registers_only) return record;
  const std::vector<uint32_t> ram = format_layer_fnp_ram(layer);
  if (np.type == hw::Type::FNP2)
    record->add_fnp2_filters_track(np.ident, ram);
  else
    record->add_np_track(np.ident, kFnpWeightsTarget, 0, ram);
  return record;
}

}  // namespace ovrix::v1
