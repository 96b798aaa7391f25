#pragma once
// State and behaviour shared by every layer the engine makes. A concrete layer is
// LayerCommon<PublicClass> (PublicClass being LayerImpl or one of the classes of engine/layers.h),
// so that callers' dynamic_casts find the public classes while the model reaches the shared state
// through LayerCore.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/impl/layers/kind.h"
#include "engine/layer.h"

namespace ovrix::detail {

class LayerCore {
 public:
  LayerCore(const KindRules& rules, std::unique_ptr<LayerParams> params, std::string name);
  virtual ~LayerCore() = default;
  LayerCore(const LayerCore&) = delete;
  LayerCore& operator=(const LayerCore&) = delete;

  // The Layer this core belongs to.
  virtual Layer& as_layer() = 0;
  virtual void reset_mapping() = 0;

  const KindRules& rules() const { return rules_; }
  const std::string& layer_name() const { return name_; }
  const LayerParams& params() const { return *params_; }
  bool built() const { return geometry_.has_value(); }
  // "The layer <name> is not built." while the inputs are unknown.
  const Geometry& geometry() const;
  // Input and output of this layer as the next layer receives it; throws while not built.
  InputSignal output_signal() const;

  // Computes the geometry for these inputs without changing anything (may throw).
  Geometry plan(const std::vector<InputSignal>& inputs) const;
  // Takes a planned geometry; the variables follow it. Does not throw except on allocation.
  void commit(Geometry geometry);

  // Wiring, kept by the model.
  std::vector<std::shared_ptr<Layer>> inbound_list;
  std::vector<std::shared_ptr<Layer>> outbound_list;
  // The model holding the layer, or null.
  const void* owner = nullptr;
  std::shared_ptr<LearningParams> learning;
  std::shared_ptr<VariablesImpl> variable_set = std::make_shared<VariablesImpl>();

  // Texts of the refusals of the unbuilt state.
  [[noreturn]] void throw_not_built() const;

 protected:
  const KindRules& rules_;
  std::string name_;
  std::unique_ptr<LayerParams> params_;
  std::optional<Geometry> geometry_;
};

// The core of a layer made by the engine, or null for any other Layer.
LayerCore* core_of(const Layer* layer);

template <class Base>
class LayerCommon : public Base, public LayerCore {
 public:
  LayerCommon(const KindRules& rules, std::unique_ptr<LayerParams> params, const std::string& name)
      : LayerCore(rules, std::move(params), name) {}

  Layer& as_layer() override { return *this; }
  void reset_mapping() override { this->set_mapping(nullptr); }

  std::string get_name() const override { return name_; }
  std::vector<Shape> input_dimensions() const override {
    if (!geometry_) throw std::runtime_error("Cannot get input size before it is set.");
    return geometry_->input_dims;
  }
  Shape output_dimensions() const override {
    if (!geometry_) throw std::runtime_error("Cannot get output size before it is set.");
    return geometry_->output_dims;
  }
  uint8_t input_bits() const override { return current_signals().input_bits; }
  uint8_t output_bits() const override { return current_signals().output_bits; }
  bool output_signed() const override { return current_signals().output_signed; }
  IpVersion ip_version() const override { return rules_.ip_version(); }
  bool is_target_component(hw::TargetKind kind) const override { return kind == rules_.target(); }
  bool splittable() const override { return rules_.splittable(); }
  bool is_input_layer() const override { return rules_.is_input(); }
  const LayerParams* params() const override { return params_.get(); }
  std::shared_ptr<LearningParams> learning_params() const override { return learning; }
  bool is_learning() const override { return learning != nullptr; }
  std::shared_ptr<Variables> variables() const override { return variable_set; }
  bool activation_enabled() const override { return activation() != ActivationType::NoActivation; }
  bool has_activation_type(ActivationType type) const override { return activation() == type; }
  bool has_pool_type(PoolType type) const override { return rules_.pool_type(*params_) == type; }
  const std::vector<std::shared_ptr<Layer>>& inbound_layers() const override { return inbound_list; }
  const std::vector<std::shared_ptr<Layer>>& outbound_layers() const override { return outbound_list; }
  uint64_t macs() const override { return geometry_ ? geometry_->macs : 0; }
  ActivationType activation() const override { return rules_.activation(*params_); }
  bool output_flag() const override { return rules_.output_flag(*params_); }
  bool channels_follow_neurons() const override { return rules_.channels_follow_neurons(); }

 protected:
  Signals current_signals() const { return geometry_ ? geometry_->signals : rules_.signals(*params_, nullptr); }
  const ConvCalculatedParams& built_conv() const {
    const Geometry& g = geometry();
    if (!g.conv) throw_not_built();
    return *g.conv;
  }
  const PoolingCalculatedParams& built_pool() const {
    const Geometry& g = geometry();
    if (!g.pool) throw_not_built();
    return *g.pool;
  }
};

// Kinds with convolution and pooling records.
template <class Base>
class ConvPoolLayer final : public LayerCommon<Base> {
 public:
  using LayerCommon<Base>::LayerCommon;
  const ConvCalculatedParams& conv_calculated_params() const override { return this->built_conv(); }
  const PoolingCalculatedParams& pool_calculated_params() const override { return this->built_pool(); }
};

// Kinds with nothing beyond the common interface.
template <class Base = LayerImpl>
class PlainLayer final : public LayerCommon<Base> {
 public:
  using LayerCommon<Base>::LayerCommon;
};

template <class Concrete>
std::shared_ptr<Layer> make_layer(const KindRules& rules, std::unique_ptr<LayerParams> params,
                                  const std::string& name) {
  return std::make_shared<Concrete>(rules, std::move(params), name);
}

}  // namespace ovrix::detail
