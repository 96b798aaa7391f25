// Conv2D, DepthwiseConv2D (v2, CNP) and InputConv2D (v2, HRC): square convolution by "padding" and
// "kernel_stride", then pooling; "filters" output channels, or the input channels when depthwise.
#include "engine/impl/layer_core.h"
#include "engine/impl/layers/v2_common.h"

namespace ovrix::detail {

namespace {

constexpr KeySpec conv_keys_[] = {OVRIX_V2_CONV_KEYS(KeyUse::Required)};
constexpr KeySpec depthwise_keys_[] = {OVRIX_V2_CONV_KEYS(KeyUse::Optional)};

enum class Variant { Conv, Depthwise, Input };

// InputConv2D has both records but no class of its own.
class InputConv2DBase : public LayerImpl, public HasConvParams, public HasPoolParams {};

class Conv2DRules final : public v2::V2Rules {
 public:
  explicit Conv2DRules(Variant v) : v_(v) {}
  LayerType type() const override {
    switch (v_) {
      case Variant::Conv: return LayerType::Conv2D;
      case Variant::Depthwise: return LayerType::DepthwiseConv2D;
      case Variant::Input: break;
    }
    return LayerType::InputConv2D;
  }
  std::span<const KeySpec> keys() const override {
    if (v_ == Variant::Depthwise) return depthwise_keys_;
    return conv_keys_;
  }
  hw::TargetKind target() const override { return v_ == Variant::Input ? hw::TargetKind::HRC : hw::TargetKind::CNP; }
  bool splittable() const override { return v_ != Variant::Input; }
  bool channels_follow_neurons() const override { return v_ == Variant::Depthwise; }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    const InputSignal& in = single_input(inputs, name);
    const uint32_t c = in.dims.dims[2], k = p.get("kernel_size");
    const uint32_t f = v_ == Variant::Depthwise ? v2::depthwise_channels(p, c, name) : uint32_t(p.get("filters"));
    Geometry g;
    g.input_dims = {in.dims};
    auto cp = v2::conv_pool(p, in.dims, name);
    g.conv = cp.conv;
    g.pool = cp.pool;
    g.output_dims = Shape{cp.pool.output_width, cp.pool.output_height, f};
    g.signals = signals(p, &inputs);
    const TensorType wt = weights_type(p.get("weights_bits"));
    const uint64_t ow = cp.conv.output_width, oh = cp.conv.output_height;
    if (v_ == Variant::Depthwise) {
      g.variables.push_back({"weights", wt, Shape{k, k, 1, c}});
      g.macs = mul_sat({ow, oh, c, k, k});
    } else {
      g.variables.push_back({"weights", wt, Shape{k, k, c, f}});
      g.macs = mul_sat({ow, oh, f, k, k, c});
    }
    // The HRC takes a padding value per channel; the CNPs a shift per input channel.
    if (v_ == Variant::Input) {
      g.variables.push_back({"padding_value", TensorType::uint8, Shape{c}});
    } else {
      g.variables.push_back({"input_shift", TensorType::uint8, Shape{c}});
    }
    add_output_variables(g.variables, f, activation(p), true);
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    switch (v_) {
      case Variant::Conv: return make_layer<ConvPoolLayer<Conv2D>>(*this, std::move(p), name);
      case Variant::Depthwise: return make_layer<ConvPoolLayer<DepthwiseConv2D>>(*this, std::move(p), name);
      case Variant::Input: break;
    }
    return make_layer<ConvPoolLayer<InputConv2DBase>>(*this, std::move(p), name);
  }

 private:
  Variant v_;
};

}  // namespace

const KindRules& conv2d_rules() {
  static const Conv2DRules rules(Variant::Conv);
  return rules;
}

const KindRules& depthwise_conv2d_rules() {
  static const Conv2DRules rules(Variant::Depthwise);
  return rules;
}

const KindRules& input_conv2d_rules() {
  static const Conv2DRules rules(Variant::Input);
  return rules;
}

}  // namespace ovrix::detail
