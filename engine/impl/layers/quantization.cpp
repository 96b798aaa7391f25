// Dequantizer and Quantizer: conversions at the ends of a model; output dims = input dims.
// The Dequantizer turns the program's integer output into float32 with one scale per channel; the
// Quantizer turns float input into integers of "output_bits" with a scale and zero point per channel.
#include "engine/impl/layer_core.h"

namespace ovrix::detail {

namespace {

constexpr KeySpec quantizer_keys_[] = {
    {"channels_first", KeyUse::Default, 0, Range::Any},
    {"output_bits", KeyUse::Default, 8, Range::Bits},
    {"output_signed", KeyUse::Default, 1, Range::Flag},
};

class ConversionRules : public KindRules {
 public:
  IpVersion ip_version() const override { return IpVersion::none; }
  hw::TargetKind target() const override { return hw::TargetKind::None; }
};

class DequantizerRules final : public ConversionRules {
 public:
  LayerType type() const override { return LayerType::Dequantizer; }
  std::span<const KeySpec> keys() const override { return {}; }

  Signals signals(const LayerParams&, const std::vector<InputSignal>* inputs) const override {
    Signals s;
    if (inputs && !inputs->empty()) s.input_bits = (*inputs)[0].bits;
    s.output_bits = 32;
    s.output_signed = true;
    return s;
  }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    const InputSignal& in = single_input(inputs, name);
    Geometry g;
    g.input_dims = {in.dims};
    g.output_dims = in.dims;
    g.signals = signals(p, &inputs);
    g.variables = {{"scales", TensorType::float32, Shape{in.dims.dims[2]}}};
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    return make_layer<PlainLayer<>>(*this, std::move(p), name);
  }
};

class QuantizerRules final : public ConversionRules {
 public:
  LayerType type() const override { return LayerType::Quantizer; }
  std::span<const KeySpec> keys() const override { return quantizer_keys_; }

  Signals signals(const LayerParams& p, const std::vector<InputSignal>* inputs) const override {
    Signals s;
    if (inputs && !inputs->empty()) s.input_bits = (*inputs)[0].bits;
    s.output_bits = static_cast<uint8_t>(p.get("output_bits"));
    s.output_signed = p.get("output_signed") != 0;
    return s;
  }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    const InputSignal& in = single_input(inputs, name);
    Geometry g;
    g.input_dims = {in.dims};
    g.output_dims = in.dims;
    g.signals = signals(p, &inputs);
    const Shape c{p.get("channels_first") != 0 ? in.dims.dims[0] : in.dims.dims[2]};
    g.variables = {{"scales", TensorType::float32, c}, {"zero_points", TensorType::uint8, c}};
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    return make_layer<PlainLayer<>>(*this, std::move(p), name);
  }
};

}  // namespace

const KindRules& dequantizer_rules() {
  static const DequantizerRules rules;
  return rules;
}

const KindRules& quantizer_rules() {
  static const QuantizerRules rules;
  return rules;
}

}  // namespace ovrix::detail
