// StatefulRecurrent and LumoPostProcessing (lumo, TNP-R). Inputs are (d0, timesteps, channels).
// StatefulRecurrent projects C input channels into S = "stateful_channels" states (in_proj (S, C)),
// updates them, and projects them to O = "output_channels" outputs (out_proj (O, S)), keeping one
// timestep in "subsample" (0 counts as 1): output (d0, ceil(T / subsample), O).
// LumoPostProcessing reduces its input over time against a threshold: output (d0, 1, 1), 16 bits.
#include "engine/impl/layer_core.h"

namespace ovrix::detail {

namespace {

constexpr KeySpec recurrent_keys_[] = {
    {"activation", KeyUse::Default, 1, Range::Any},
    {"output_bits", KeyUse::Default, 8, Range::Bits},
    {"output_channels", KeyUse::Required, 0, Range::Positive},
    {"stateful_channels", KeyUse::Required, 0, Range::NonNegative},
    {"subsample", KeyUse::Default, 1, Range::NonNegative},
};

class LumoRules : public KindRules {
 public:
  IpVersion ip_version() const override { return IpVersion::lumo; }
  hw::TargetKind target() const override { return hw::TargetKind::TNP_R; }
};

class StatefulRecurrentRules final : public LumoRules {
 public:
  LayerType type() const override { return LayerType::StatefulRecurrent; }
  std::span<const KeySpec> keys() const override { return recurrent_keys_; }
  ActivationType activation(const LayerParams& p) const override { return v2_activation(p); }
  Signals signals(const LayerParams& p, const std::vector<InputSignal>* inputs) const override {
    return v2_signals(p, inputs);
  }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    const InputSignal& in = single_input(inputs, name);
    const uint32_t d0 = in.dims.dims[0], t = in.dims.dims[1], c = in.dims.dims[2];
    const uint32_t s = p.get("stateful_channels"), o = p.get("output_channels");
    const uint32_t sub = std::max<int32_t>(p.get("subsample"), 1);
    Geometry g;
    g.input_dims = {in.dims};
    g.output_dims = Shape{d0, (t + sub - 1) / sub, o};
    g.signals = signals(p, &inputs);
    // With no state channel (refused by the TNP-R rules) the state variables are left out.
    g.variables = {
        {"in_proj", TensorType::int8, Shape{s, c}},
        {"out_proj", TensorType::int8, Shape{o, s}},
        {"A_real", TensorType::int16, Shape{s}},
        {"A_imag", TensorType::int16, Shape{s}},
        {"internal_state_outputs_shift", TensorType::int8, Shape{s}},
        {"new_state_scale", TensorType::uint8, Shape{s}},
        {"new_state_shift", TensorType::int8, Shape{s}},
        {"input_shift", TensorType::uint8, Shape{c}},
    };
    add_output_variables(g.variables, o, activation(p), false);
    // The TNP-R takes 16-bit output scales as well.
    for (auto& v : g.variables)
      if (v.name == "output_scales") v.also = TensorType::uint16;
    const uint64_t per_step = mul_sat({s, c}) + mul_sat({o, s});
    g.macs = mul_sat({d0, t, per_step});
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    return make_layer<PlainLayer<>>(*this, std::move(p), name);
  }
};

class PostProcessingRules final : public LumoRules {
 public:
  LayerType type() const override { return LayerType::LumoPostProcessing; }
  std::span<const KeySpec> keys() const override { return {}; }

  Signals signals(const LayerParams&, const std::vector<InputSignal>* inputs) const override {
    Signals s;
    if (inputs && !inputs->empty()) s.input_bits = (*inputs)[0].bits;
    s.output_bits = 16;
    s.output_signed = false;
    return s;
  }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    const InputSignal& in = single_input(inputs, name);
    const Shape c{in.dims.dims[2]};
    Geometry g;
    g.input_dims = {in.dims};
    g.output_dims = Shape{in.dims.dims[0], 1, 1};
    g.signals = signals(p, &inputs);
    // Scale and shift of the preceding layer's output, which take the place of its own.
    g.variables = {
        {"threshold", TensorType::uint16, Shape{1}},
        {"input_scales", TensorType::uint8, c, Dense::Layout::RowMajor, TensorType::uint16},
        {"input_shift", TensorType::int8, c},
    };
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    return make_layer<PlainLayer<>>(*this, std::move(p), name);
  }
};

}  // namespace

const KindRules& stateful_recurrent_rules() {
  static const StatefulRecurrentRules rules;
  return rules;
}

const KindRules& lumo_post_processing_rules() {
  static const PostProcessingRules rules;
  return rules;
}

}  // namespace ovrix::detail
