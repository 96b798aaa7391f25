// Convolutional and SeparableConvolutional (v1, CNP): convolution then pooling of a
// (width, height, channels) input, with "filters" output channels.
#include "engine/impl/layer_core.h"
#include "engine/impl/layers/v1_common.h"

namespace ovrix::detail {

namespace {

constexpr KeySpec keys_[] = {OVRIX_V1_CNP_KEYS};

class V1ConvRules : public v1::V1Rules {
 public:
  explicit V1ConvRules(bool separable) : separable_(separable) {}
  LayerType type() const override {
    return separable_ ? LayerType::SeparableConvolutional : LayerType::Convolutional;
  }
  std::span<const KeySpec> keys() const override { return keys_; }
  hw::TargetKind target() const override { return hw::TargetKind::CNP; }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    const InputSignal& in = single_input(inputs, name);
    const uint32_t c = in.dims.dims[2];
    const uint32_t f = p.get("filters"), kw = p.get("kernel_width"), kh = p.get("kernel_height");
    const TensorType wt = weights_type(p.get("weights_bits"));
    Geometry g;
    g.input_dims = {in.dims};
    auto cp = v1::conv_pool(p, in.dims, name);
    g.conv = cp.conv;
    g.pool = cp.pool;
    g.output_dims = Shape{cp.pool.output_width, cp.pool.output_height, f};
    g.signals = signals(p, &inputs);
    const uint64_t ow = cp.conv.output_width, oh = cp.conv.output_height;
    if (separable_) {
      // Depthwise part (1, channel, row, column) and pointwise part (filter, channel), element
      // (f, c) at c x F + f: both stored with the dimensions reversed.
      g.variables.push_back({"weights", wt, Shape{1, c, kh, kw}, Dense::Layout::Reversed});
      g.variables.push_back({"weights_pw", wt, Shape{f, c}, Dense::Layout::Reversed});
      g.macs = mul_sat({ow, oh, c, kw, kh});
      const uint64_t pw = mul_sat({ow, oh, c, f});
      g.macs = g.macs > UINT64_MAX - pw ? UINT64_MAX : g.macs + pw;
    } else {
      g.variables.push_back({"weights", wt, Shape{f, c, kh, kw}, Dense::Layout::Reversed});
      g.macs = mul_sat({ow, oh, f, kw, kh, c});
    }
    g.variables.push_back({"threshold", TensorType::int32, Shape{f}});
    g.variables.push_back({"act_step", TensorType::float32, Shape{f}});
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    if (separable_) return make_layer<ConvPoolLayer<SeparableConvolutional>>(*this, std::move(p), name);
    return make_layer<ConvPoolLayer<Convolutional>>(*this, std::move(p), name);
  }

 private:
  bool separable_;
};

}  // namespace

const KindRules& convolutional_rules() {
  static const V1ConvRules rules(false);
  return rules;
}

const KindRules& separable_convolutional_rules() {
  static const V1ConvRules rules(true);
  return rules;
}

}  // namespace ovrix::detail
