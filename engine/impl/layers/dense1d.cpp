// Dense1D (v2, FNP): every input value feeds every neuron; output (1, 1, units). Input value
// (x, y, c) of a (d0, d1, d2) input is row x * d1 * d2 + y * d2 + c of the weights.
#include <fmt/format.h>

#include "engine/impl/layer_core.h"

namespace ovrix::detail {

namespace {

constexpr KeySpec keys_[] = {
    {"activation", KeyUse::Default, 1, Range::Any},
    {"output_bits", KeyUse::Default, 8, Range::Bits},
    {"units", KeyUse::Required, 0, Range::Positive},
    {"weights_bits", KeyUse::Default, 8, Range::WeightBits},
};

class Dense1DRules final : public KindRules {
 public:
  LayerType type() const override { return LayerType::Dense1D; }
  std::span<const KeySpec> keys() const override { return keys_; }
  IpVersion ip_version() const override { return IpVersion::v2; }
  hw::TargetKind target() const override { return hw::TargetKind::FNP; }
  bool splittable() const override { return true; }
  ActivationType activation(const LayerParams& p) const override { return v2_activation(p); }
  Signals signals(const LayerParams& p, const std::vector<InputSignal>* inputs) const override {
    return v2_signals(p, inputs);
  }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    const InputSignal& in = single_input(inputs, name);
    const uint64_t n_in = in.dims.elements();
    if (n_in > UINT32_MAX) refuse_build(name, fmt::format("has too many input values ({}).", n_in));
    const uint32_t units = p.get("units");
    Geometry g;
    g.input_dims = {in.dims};
    g.output_dims = Shape{1, 1, units};
    g.signals = signals(p, &inputs);
    g.variables.push_back({"weights", weights_type(p.get("weights_bits")), Shape{static_cast<uint32_t>(n_in), units}});
    g.variables.push_back({"input_shift", TensorType::uint8, Shape{static_cast<uint32_t>(n_in)}});
    add_output_variables(g.variables, units, activation(p), true);
    g.macs = mul_sat({n_in, units});
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    return make_layer<PlainLayer<>>(*this, std::move(p), name);
  }
};

}  // namespace

const KindRules& dense1d_rules() {
  static const Dense1DRules rules;
  return rules;
}

}  // namespace ovrix::detail
