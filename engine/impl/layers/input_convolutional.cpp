// InputConvolutional (v1, HRC): an input layer whose input is (input_width, input_height,
// input_channels); output is the convolution then the pooling, with "filters" channels.
#include "engine/impl/layer_core.h"
#include "engine/impl/layers/v1_common.h"

namespace ovrix::detail {

namespace {

constexpr KeySpec keys_[] = {
    OVRIX_V1_CNP_KEYS,
    {"input_channels", KeyUse::Required, 0, Range::Positive},
    {"input_height", KeyUse::Required, 0, Range::Positive},
    {"input_width", KeyUse::Required, 0, Range::Positive},
    {"padding_value", KeyUse::Default, 0, Range::Byte},
};

class InputConvolutionalLayer final : public LayerCommon<InputConvolutional> {
 public:
  using LayerCommon::LayerCommon;
  const ConvCalculatedParams& conv_calculated_params() const override { return built_conv(); }
  const PoolingCalculatedParams& pool_calculated_params() const override { return built_pool(); }
  std::array<uint32_t, 4> build_values() const override {
    const PaddingParams& pad = built_conv().padding;
    return {pad.y_before, pad.y_after, pad.x_before, pad.x_after};
  }
};

class InputConvolutionalRules final : public v1::V1Rules {
 public:
  LayerType type() const override { return LayerType::InputConvolutional; }
  std::span<const KeySpec> keys() const override { return keys_; }
  hw::TargetKind target() const override { return hw::TargetKind::HRC; }
  bool is_input() const override { return true; }
  bool splittable() const override { return false; }

  Signals signals(const LayerParams& p, const std::vector<InputSignal>* inputs) const override {
    Signals s = V1Rules::signals(p, inputs);
    s.input_bits = 8;  // image pixels
    return s;
  }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    if (!inputs.empty()) refuse_build(name, "an input layer takes no inbound layer.");
    const uint32_t w = p.get("input_width"), h = p.get("input_height"), c = p.get("input_channels");
    const uint32_t f = p.get("filters"), kw = p.get("kernel_width"), kh = p.get("kernel_height");
    Geometry g;
    g.input_dims = {Shape{w, h, c}};
    auto cp = v1::conv_pool(p, g.input_dims[0], name);
    g.conv = cp.conv;
    g.pool = cp.pool;
    g.build_values = std::array<uint32_t, 4>{cp.conv.padding.y_before, cp.conv.padding.y_after,
                                             cp.conv.padding.x_before, cp.conv.padding.x_after};
    g.output_dims = Shape{cp.pool.output_width, cp.pool.output_height, f};
    g.signals = signals(p, nullptr);
    // Weights (row, column, channel, filter), row-major.
    g.variables = {
        {"weights", weights_type(p.get("weights_bits")), Shape{kh, kw, c, f}},
        {"threshold", TensorType::int32, Shape{f}},
        {"act_step", TensorType::float32, Shape{f}},
    };
    g.macs = mul_sat({cp.conv.output_width, cp.conv.output_height, f, kw, kh, c});
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    return make_layer<InputConvolutionalLayer>(*this, std::move(p), name);
  }
};

}  // namespace

const KindRules& input_convolutional_rules() {
  static const InputConvolutionalRules rules;
  return rules;
}

}  // namespace ovrix::detail
