#include "backends/lumo/chain.h"

#include "engine/params.h"
#include "engine/variables.h"

namespace ovrix::lumo {

bool is_tnpr(const Layer& layer) { return layer.is_target_component(hw::TargetKind::TNP_R); }
bool is_recurrent(const Layer& layer) { return is_layer_type(layer, LayerType::StatefulRecurrent); }
bool is_post_processing(const Layer& layer) { return is_layer_type(layer, LayerType::LumoPostProcessing); }

const Layer* first_outbound_layer(const Layer& layer) {
  const auto& outs = layer.outbound_layers();
  return outs.empty() ? nullptr : outs.front().get();
}

bool starts_chain(const Layer& layer) {
  const auto& ins = layer.inbound_layers();
  return ins.empty() || ins.front()->is_target_component(hw::TargetKind::None);
}

int32_t param_or_zero(const Layer& layer, const char* key) {
  const LayerParams* p = layer.params();
  return p->has(key) ? p->get(key) : 0;
}

std::shared_ptr<Dense> variable(const Layer& layer, const char* name) {
  const auto vars = layer.variables();
  return vars && vars->has(name) ? vars->get(name) : nullptr;
}

}  // namespace ovrix::lumo
