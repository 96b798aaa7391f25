// FullyConnected (v1, FNP): every input value feeds every neuron; output (1, 1, units).
#include <fmt/format.h>

#include "engine/impl/layer_core.h"
#include "engine/impl/layers/v1_common.h"

namespace ovrix::detail {

namespace {

// A FullyConnected layer is rebuilt from exactly these four keys when classes are added.
constexpr KeySpec keys_[] = {
    {"act_bits", KeyUse::Default, 1, Range::Bits},
    {"activation", KeyUse::Default, 1, Range::Any},
    {"units", KeyUse::Required, 0, Range::Positive},
    {"weights_bits", KeyUse::Default, 1, Range::WeightBits},
};

class FullyConnectedLayer final : public LayerCommon<FullyConnected> {
 public:
  using LayerCommon::LayerCommon;
  std::shared_ptr<LearningParams> learning() const override { return LayerCore::learning; }
  // Only a compiled layer (the last one of its model) learns.
  bool can_learn() const override { return LayerCore::learning != nullptr; }
};

class FullyConnectedRules final : public v1::V1Rules {
 public:
  LayerType type() const override { return LayerType::FullyConnected; }
  std::span<const KeySpec> keys() const override { return keys_; }
  hw::TargetKind target() const override { return hw::TargetKind::FNP; }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    const InputSignal& in = single_input(inputs, name);
    const uint64_t n_in = in.dims.elements();
    if (n_in > UINT32_MAX) refuse_build(name, fmt::format("has too many input values ({}).", n_in));
    const uint32_t units = p.get("units");
    Geometry g;
    g.input_dims = {in.dims};
    g.output_dims = Shape{1, 1, units};
    g.signals = signals(p, &inputs);
    // Weights (neuron, input, 1, 1) with the dimensions reversed: each input's run of neurons is contiguous.
    g.variables = {
        {"weights", weights_type(p.get("weights_bits")), Shape{units, static_cast<uint32_t>(n_in), 1, 1},
         Dense::Layout::Reversed},
        {"threshold", TensorType::int32, Shape{units}},
        {"act_step", TensorType::float32, Shape{units}},
        {"threshold_learning", TensorType::int32, Shape{units}},
        {"thswap", TensorType::int32, Shape{units}},
    };
    g.macs = mul_sat({n_in, units});
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    return make_layer<FullyConnectedLayer>(*this, std::move(p), name);
  }
};

}  // namespace

const KindRules& fully_connected_rules() {
  static const FullyConnectedRules rules;
  return rules;
}

}  // namespace ovrix::detail
