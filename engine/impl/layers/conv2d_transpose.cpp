// Conv2DTranspose and DepthwiseConv2DTranspose (v2, CNP): the output doubles the input's width and
// height; "filters" output channels, or the input channels when depthwise.
#include "engine/impl/layer_core.h"
#include "engine/impl/layers/v2_common.h"

namespace ovrix::detail {

namespace {

constexpr KeySpec keys_[] = {OVRIX_V2_CONV_KEYS(KeyUse::Required)};
constexpr KeySpec depthwise_keys_[] = {OVRIX_V2_CONV_KEYS(KeyUse::Optional)};

class TransposeRules final : public v2::V2Rules {
 public:
  explicit TransposeRules(bool depthwise) : depthwise_(depthwise) {}
  LayerType type() const override {
    return depthwise_ ? LayerType::DepthwiseConv2DTranspose : LayerType::Conv2DTranspose;
  }
  std::span<const KeySpec> keys() const override {
    if (depthwise_) return depthwise_keys_;
    return keys_;
  }
  hw::TargetKind target() const override { return hw::TargetKind::CNP; }
  bool splittable() const override { return true; }
  bool channels_follow_neurons() const override { return depthwise_; }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    const InputSignal& in = single_input(inputs, name);
    const uint32_t w = in.dims.dims[0], h = in.dims.dims[1], c = in.dims.dims[2], k = p.get("kernel_size");
    if (w > UINT32_MAX / 2 || h > UINT32_MAX / 2) refuse_build(name, "its input is too large to double.");
    const uint32_t f = depthwise_ ? v2::depthwise_channels(p, c, name) : uint32_t(p.get("filters"));
    Geometry g;
    g.input_dims = {in.dims};
    g.output_dims = Shape{2 * w, 2 * h, f};
    g.signals = signals(p, &inputs);
    const TensorType wt = weights_type(p.get("weights_bits"));
    if (depthwise_) {
      g.variables.push_back({"weights", wt, Shape{k, k, 1, c}});
      g.macs = mul_sat({w, h, c, k, k});
    } else {
      g.variables.push_back({"weights", wt, Shape{k, k, c, f}});
      g.macs = mul_sat({w, h, f, k, k, c});
    }
    g.variables.push_back({"input_shift", TensorType::uint8, Shape{c}});
    add_output_variables(g.variables, f, activation(p), true);
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    if (depthwise_) return make_layer<PlainLayer<DepthwiseConv2DTranspose>>(*this, std::move(p), name);
    return make_layer<PlainLayer<Conv2DTranspose>>(*this, std::move(p), name);
  }

 private:
  bool depthwise_;
};

}  // namespace

const KindRules& conv2d_transpose_rules() {
  static const TransposeRules rules(false);
  return rules;
}

const KindRules& depthwise_conv2d_transpose_rules() {
  static const TransposeRules rules(true);
  return rules;
}

}  // namespace ovrix::detail
