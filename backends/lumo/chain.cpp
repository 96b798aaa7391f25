#include "backends/lumo/chain.h"

#include "backends/lumo/interim_helpers.h"
#include "engine/params.h"
#include "engine/variables.h"

namespace ovrix::lumo {

LayerType type_of(const Layer& layer) { return layer.parameters()->layer_type(); }
bool is_tnpr(const Layer& layer) { return layer.is_target_component(hw::TargetKind::TNP_R); }
bool is_recurrent(const Layer& layer) { return type_of(layer) == LayerType::StatefulRecurrent; }
bool is_post_processing(const Layer& layer) { return type_of(layer) == LayerType::LumoPostProcessing; }

const Layer* first_outbound_layer(const Layer& layer) {
  const auto& outs = layer.outbounds();
  return outs.empty() ? nullptr : outs.front().get();
}

bool starts_chain(const Layer& layer) {
  const auto& ins = layer.inbounds();
  return ins.empty() || ins.front()->is_target_component(hw::TargetKind::None);
}

Shape first_input(const Layer& layer) { return layer.input_dims().at(0); }

int32_t param_or_zero(const Layer& layer, const char* key) {
  const LayerParams* p = layer.parameters();
  return p->has(key) ? p->get(key) : 0;
}

std::shared_ptr<Dense> variable(const Layer& layer, const char* name) {
  const auto vars = layer.variables();
  return vars && vars->has(name) ? vars->get(name) : nullptr;
}

uint32_t input_row_words(uint32_t bits, uint32_t channels) {
  const uint64_t w = (uint64_t{bits} * channels + 31) / 32;
  return interim::saturate32(w <= 1 ? 1 : interim::next_pow2(w));
}

}  // namespace ovrix::lumo
