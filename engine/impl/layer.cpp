#include <stdexcept>
#include <string>

#include "engine/impl/layer_core.h"
#include "engine/layer.h"

namespace ovrix {

namespace detail {

LayerCore::LayerCore(const KindRules& rules, std::unique_ptr<LayerParams> params, std::string name)
    : rules_(rules), name_(std::move(name)), params_(std::move(params)) {}

void LayerCore::throw_not_built() const { throw std::runtime_error("The layer " + name_ + " is not built."); }

const Geometry& LayerCore::geometry() const {
  if (!geometry_) throw_not_built();
  return *geometry_;
}

InputSignal LayerCore::output_signal() const {
  const Geometry& g = geometry();
  return InputSignal{g.output_dims, g.signals.output_bits, g.signals.output_signed};
}

Geometry LayerCore::plan(const std::vector<InputSignal>& inputs) const {
  Geometry g = rules_.build(*params_, inputs, name_);
  for (const auto& v : g.variables) {
    // Variables whose shape has an empty dimension are left out; shapes above the element limit are
    // refused here, before anything changes.
    bool empty = false;
    for (size_t i = 0; i < v.shape.count; ++i) empty = empty || v.shape.dims[i] == 0;
    if (!empty) check_shape(v.shape);
  }
  check_shape(g.output_dims);
  return g;
}

void LayerCore::commit(Geometry geometry) {
  std::vector<VariablesImpl::Spec> specs;
  specs.reserve(geometry.variables.size());
  for (auto& v : geometry.variables) {
    bool empty = false;
    for (size_t i = 0; i < v.shape.count; ++i) empty = empty || v.shape.dims[i] == 0;
    if (!empty) specs.push_back(VariablesImpl::Spec{v.name, v.type, v.shape, v.layout});
  }
  variable_set->reshape(std::move(specs));
  geometry_ = std::move(geometry);
}

LayerCore* core_of(const Layer* layer) {
  return const_cast<LayerCore*>(dynamic_cast<const LayerCore*>(layer));
}

// ---- defaults of the kind rules ----

ActivationType KindRules::activation(const LayerParams& params) const {
  if (!params.has("activation")) return ActivationType::NoActivation;
  return static_cast<ActivationType>(params.get("activation"));
}

PoolType KindRules::pool_type(const LayerParams& params) const {
  if (!params.has("pool_type")) return PoolType::NoPooling;
  return static_cast<PoolType>(params.get("pool_type"));
}

bool KindRules::output_flag(const LayerParams& params) const {
  return activation(params) != ActivationType::NoActivation;
}

}  // namespace detail

std::shared_ptr<Layer> Layer::create(const LayerParams* params, const std::string& name) {
  if (params == nullptr) throw std::invalid_argument("Cannot create a layer without parameters.");
  // A copy made through create validates parameter sets of any origin.
  auto own = LayerParams::clone(params);
  const auto& rules = detail::kind_rules(own->layer_type());
  auto layer = rules.make(std::move(own), name);
  if (rules.is_input()) {
    // Input layers know their input from their own keys.
    auto* core = detail::core_of(layer.get());
    core->commit(core->plan({}));
  }
  return layer;
}

}  // namespace ovrix
