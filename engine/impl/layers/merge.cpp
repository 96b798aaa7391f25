// Add and Concatenate: merge layers run by skip DMA. Add sums inputs of one shape (output = that
// shape); Concatenate stacks channels, first input first (output channels = the sum).
#include <fmt/format.h>

#include "engine/impl/layer_core.h"

namespace ovrix::detail {

namespace {

constexpr KeySpec add_keys_[] = {
    {"output_bits", KeyUse::Default, 8, Range::Bits},
};

std::string dims_text(const Shape& s) {
  return fmt::format("{}", fmt::join(s.dims.begin(), s.dims.begin() + s.count, " x "));
}

void check_inputs(const std::vector<InputSignal>& inputs, const std::string& name) {
  if (inputs.empty()) refuse_build(name, "a merge layer needs at least one input.");
  for (const auto& in : inputs) {
    if (in.dims.count != 3) refuse_build(name, "expects inputs of three dimensions.");
  }
}

bool any_signed(const std::vector<InputSignal>* inputs) {
  if (!inputs) return false;
  for (const auto& in : *inputs) {
    if (in.is_signed) return true;
  }
  return false;
}

class MergeRules : public KindRules {
 public:
  IpVersion ip_version() const override { return IpVersion::none; }
  hw::TargetKind target() const override { return hw::TargetKind::SkipDma; }
  bool merges() const override { return true; }
};

class AddRules final : public MergeRules {
 public:
  LayerType type() const override { return LayerType::Add; }
  std::span<const KeySpec> keys() const override { return add_keys_; }

  Signals signals(const LayerParams& p, const std::vector<InputSignal>* inputs) const override {
    Signals s;
    if (inputs && !inputs->empty()) s.input_bits = (*inputs)[0].bits;
    s.output_bits = static_cast<uint8_t>(p.get("output_bits"));
    s.output_signed = any_signed(inputs);
    return s;
  }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    check_inputs(inputs, name);
    Geometry g;
    for (const auto& in : inputs) {
      if (!(in.dims == inputs[0].dims)) {
        refuse_build(name, "cannot add inputs of different shapes (" + dims_text(inputs[0].dims) + " and " +
                               dims_text(in.dims) + ").");
      }
      g.input_dims.push_back(in.dims);
    }
    g.output_dims = inputs[0].dims;
    g.signals = signals(p, &inputs);
    const Shape c{inputs[0].dims.dims[2]};
    // Shifts of the first and second input, then of the sum, one per channel.
    g.variables = {
        {"a_shift", TensorType::uint8, c},
        {"b_shift", TensorType::uint8, c},
        {"output_shift", TensorType::int8, c},
    };
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    return make_layer<PlainLayer<>>(*this, std::move(p), name);
  }
};

class ConcatenateRules final : public MergeRules {
 public:
  LayerType type() const override { return LayerType::Concatenate; }
  std::span<const KeySpec> keys() const override { return {}; }

  // The widest input, signed when any input is.
  Signals signals(const LayerParams&, const std::vector<InputSignal>* inputs) const override {
    Signals s;
    if (inputs && !inputs->empty()) s.input_bits = (*inputs)[0].bits;
    if (inputs) {
      for (const auto& in : *inputs) s.output_bits = std::max(s.output_bits, in.bits);
    }
    s.output_signed = any_signed(inputs);
    return s;
  }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    check_inputs(inputs, name);
    Geometry g;
    uint64_t channels = 0;
    for (const auto& in : inputs) {
      if (in.dims.dims[0] != inputs[0].dims.dims[0] || in.dims.dims[1] != inputs[0].dims.dims[1]) {
        refuse_build(name, "cannot concatenate inputs of different widths or heights (" + dims_text(inputs[0].dims) +
                               " and " + dims_text(in.dims) + ").");
      }
      channels += in.dims.dims[2];
      g.input_dims.push_back(in.dims);
    }
    if (channels > UINT32_MAX) refuse_build(name, "has too many output channels.");
    g.output_dims = Shape{inputs[0].dims.dims[0], inputs[0].dims.dims[1], static_cast<uint32_t>(channels)};
    g.signals = signals(p, &inputs);
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    return make_layer<PlainLayer<>>(*this, std::move(p), name);
  }
};

}  // namespace

const KindRules& add_rules() {
  static const AddRules rules;
  return rules;
}

const KindRules& concatenate_rules() {
  static const ConcatenateRules rules;
  return rules;
}

}  // namespace ovrix::detail
