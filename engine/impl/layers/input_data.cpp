// InputData: the model input itself; input and output are (input_width, input_height, input_channels).
#include "engine/impl/layer_core.h"

namespace ovrix::detail {

namespace {

constexpr KeySpec keys_[] = {
    {"input_bits", KeyUse::Default, 8, Range::Bits},
    {"input_channels", KeyUse::Required, 0, Range::Positive},
    {"input_height", KeyUse::Required, 0, Range::Positive},
    {"input_signed", KeyUse::Default, 0, Range::Flag},
    {"input_width", KeyUse::Required, 0, Range::Positive},
};

class InputDataRules final : public KindRules {
 public:
  LayerType type() const override { return LayerType::InputData; }
  std::span<const KeySpec> keys() const override { return keys_; }
  IpVersion ip_version() const override { return IpVersion::none; }
  hw::TargetKind target() const override { return hw::TargetKind::None; }
  bool is_input() const override { return true; }

  Signals signals(const LayerParams& p, const std::vector<InputSignal>*) const override {
    Signals s;
    s.input_bits = static_cast<uint8_t>(p.get("input_bits"));
    s.output_bits = s.input_bits;
    s.output_signed = p.get("input_signed") != 0;
    return s;
  }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    if (!inputs.empty()) refuse_build(name, "an input layer takes no inbound layer.");
    Geometry g;
    Shape dims{static_cast<uint32_t>(p.get("input_width")), static_cast<uint32_t>(p.get("input_height")),
               static_cast<uint32_t>(p.get("input_channels"))};
    g.input_dims = {dims};
    g.output_dims = dims;
    g.signals = signals(p, nullptr);
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    return make_layer<PlainLayer<>>(*this, std::move(p), name);
  }
};

}  // namespace

const KindRules& input_data_rules() {
  static const InputDataRules rules;
  return rules;
}

}  // namespace ovrix::detail
