#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "engine/impl/model_impl.h"

namespace ovrix {

std::unique_ptr<Model> Model::create() { return std::make_unique<detail::ModelImpl>(); }

std::unique_ptr<Model> Model::from_buffer(const char* data, size_t size) {
  return detail::deserialize_model(data, size);
}

namespace detail {

namespace {

LayerCore& core(const std::shared_ptr<Layer>& layer) { return *core_of(layer.get()); }

std::string describe(const Layer& layer) {
  return std::string(layer_type_name(layer.params()->layer_type())) + " layer " + layer.get_name();
}

// The variables a geometry gives (empty shapes left out), checked against presets.
void check_presets(const Geometry& g, const std::vector<PresetVariable>& presets, const std::string& name) {
  std::vector<const VariableSpec*> expected;
  for (const auto& v : g.variables) {
    bool empty = false;
    for (size_t i = 0; i < v.shape.count; ++i) empty = empty || v.shape.dims[i] == 0;
    if (!empty) expected.push_back(&v);
  }
  if (expected.size() != presets.size()) {
    throw std::invalid_argument(
        fmt::format("Layer {} has {} variables, not {}.", name, expected.size(), presets.size()));
  }
  for (size_t i = 0; i < presets.size(); ++i) {
    const auto& p = presets[i];
    const auto& e = *expected[i];
    if (p.name != e.name) {
      throw std::invalid_argument(fmt::format("Variable {} of layer {} is {}, not {}.", i, name, e.name, p.name));
    }
    if (!p.tensor || !(p.tensor->shape() == e.shape) || p.tensor->dense_layout() != e.layout) {
      throw std::invalid_argument("Variable " + p.name + " of layer " + name + " does not have its shape and layout.");
    }
    // The software inference and the recorders read each variable as the type its kind declares: a
    // shift stored as int32 -1 would otherwise become a shift by 2^32 - 1.
    if (p.tensor->type() != e.type && p.tensor->type() != e.also) {
      throw std::invalid_argument("Variable " + p.name + " of layer " + name + " has element type " +
                                  Tensor::type_name(p.tensor->type()) + ", not " + Tensor::type_name(e.type) + ".");
    }
  }
}

}  // namespace

ModelImpl::~ModelImpl() {
  sequences_.clear();
  device_.reset();
  for (auto& layer : layers_) {
    auto& c = core(layer);
    c.outbound_list.clear();
    c.owner = nullptr;
    c.reset_mapping();
  }
}

void ModelImpl::refuse_while_mapping(const char* what) const {
  if (mapping_) throw std::runtime_error(std::string("Cannot ") + what + " while the model is being mapped.");
}

void ModelImpl::forget_mapping() {
  run_cache_.clear();
  sequences_.clear();
  device_.reset();
  for (auto& layer : layers_) core(layer).reset_mapping();
}

void ModelImpl::add(std::shared_ptr<Layer> layer, const std::vector<std::shared_ptr<Layer>>& inbounds) {
  add_with_variables(std::move(layer), inbounds, nullptr);
}

void ModelImpl::add_with_variables(std::shared_ptr<Layer> layer, const std::vector<std::shared_ptr<Layer>>& inbounds,
                                   const std::vector<PresetVariable>* presets) {
  refuse_while_mapping("add a layer");
  if (!layer) throw std::invalid_argument("Cannot add a null layer to a model.");
  LayerCore* c = core_of(layer.get());
  if (c == nullptr) throw std::invalid_argument("Only layers made by Layer::create can be added to a model.");
  const std::string& name = c->layer_name();
  if (c->owner == this) throw std::invalid_argument("Layer " + name + " is already in the model.");
  if (c->owner != nullptr) throw std::invalid_argument("Layer " + name + " already belongs to another model.");
  for (const auto& l : layers_) {
    if (l->get_name() == name) throw std::invalid_argument("The model already has a layer named " + name + ".");
  }
  for (const auto& in : inbounds) {
    if (!in) throw std::invalid_argument("The inbound layers of " + name + " cannot be null.");
    if (std::find(layers_.begin(), layers_.end(), in) == layers_.end()) {
      throw std::invalid_argument("Inbound layer " + in->get_name() + " of " + name + " is not in the model.");
    }
  }

  const KindRules& rules = c->rules();
  std::vector<std::shared_ptr<Layer>> wiring;
  std::optional<Geometry> planned;
  if (rules.is_input()) {
    // An input layer takes the model input and knows its shape from its own keys.
    if (!inbounds.empty()) throw std::invalid_argument("Input layer " + name + " takes no inbound layer.");
  } else {
    if (!inbounds.empty()) {
      wiring = inbounds;
    } else if (!layers_.empty()) {
      wiring = {layers_.back()};
    } else {
      throw std::invalid_argument("The first layer of a model must be an input layer (InputData or "
                                  "InputConvolutional), not the " +
                                  describe(*layer) + ".");
    }
    if (!rules.merges() && wiring.size() > 1) {
      throw std::invalid_argument(fmt::format("{} takes one input, not {}.", describe(*layer), wiring.size()));
    }
    std::vector<InputSignal> signals;
    signals.reserve(wiring.size());
    for (const auto& in : wiring) signals.push_back(core(in).output_signal());
    planned = c->plan(signals);
  }
  if (presets) check_presets(planned ? *planned : c->geometry(), *presets, name);

  // Nothing below refuses: the model changes as a whole or not at all.
  if (planned) c->commit(std::move(*planned));
  c->inbound_list = wiring;
  for (const auto& in : wiring) {
    auto& outs = core(in).outbound_list;
    if (std::find(outs.begin(), outs.end(), layer) == outs.end()) outs.push_back(layer);
  }
  // Only the last layer of a model learns, and only once compiled.
  if (!layers_.empty()) core(layers_.back()).learning.reset();
  c->learning.reset();
  c->owner = this;
  layers_.push_back(layer);
  if (presets) {
    for (const auto& p : *presets) c->variable_set->set(p.name, p.tensor);
  }
  forget_mapping();
}

void ModelImpl::pop_layer() {
  refuse_while_mapping("remove a layer");
  if (layers_.empty()) throw std::runtime_error("Cannot remove a layer from an empty model.");
  std::shared_ptr<Layer> last = layers_.back();
  auto& c = core(last);
  for (const auto& in : c.inbound_list) {
    auto& outs = core(in).outbound_list;
    outs.erase(std::remove(outs.begin(), outs.end(), last), outs.end());
  }
  c.inbound_list.clear();
  c.outbound_list.clear();
  c.learning.reset();
  c.owner = nullptr;
  layers_.pop_back();
  forget_mapping();
  c.reset_mapping();
}

void ModelImpl::compile(const LearningParams& params) {
  refuse_while_mapping("compile the model");
  if (layers_.empty()) throw std::runtime_error("Cannot compile an empty model.");
  core(layers_.back()).learning = LearningParams::clone(&params);
}

std::shared_ptr<LearningParams> ModelImpl::learning() const {
  if (layers_.empty()) return nullptr;
  return core(layers_.back()).learning;
}

std::shared_ptr<Layer> ModelImpl::get_layer(uint64_t index) const {
  if (index >= layers_.size()) return nullptr;
  return layers_[index];
}

std::shared_ptr<Layer> ModelImpl::get_layer(const std::string& name) const {
  for (const auto& l : layers_) {
    if (l->get_name() == name) return l;
  }
  return nullptr;
}

Shape ModelImpl::input_shape() const {
  if (layers_.empty()) return Shape{};
  return layers_.front()->input_dimensions().front();
}

Shape ModelImpl::output_shape() const {
  if (layers_.empty()) return Shape{};
  return layers_.back()->output_dimensions();
}

uint64_t ModelImpl::macs() const {
  uint64_t total = 0;
  for (const auto& l : layers_) {
    uint64_t m = l->macs();
    total = m > std::numeric_limits<uint64_t>::max() - total ? std::numeric_limits<uint64_t>::max() : total + m;
  }
  return total;
}

IpVersion ModelImpl::ip_version() const {
  // The edition of the model's first layer that has one (input and merge layers have none).
  for (const auto& l : layers_) {
    if (l->ip_version() != IpVersion::none) return l->ip_version();
  }
  return IpVersion::none;
}

std::vector<uint8_t> ModelImpl::to_buffer() const { return serialize_model(*this); }

}  // namespace detail

}  // namespace ovrix
