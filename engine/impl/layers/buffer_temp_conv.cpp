// BufferTempConv and DepthwiseBufferTempConv (v2, TNP-B): a convolution over time, through a FIFO of
// "fifo_size" past inputs per position. Output (W, H, filters), or (W, H, C) when depthwise; with
// pooling, "pool_size" -1 gives 1 x 1 and a size p gives non-overlapping p x p windows.
#include <fmt/format.h>

#include "engine/impl/layer_core.h"
#include "engine/impl/layers/v2_common.h"

namespace ovrix::detail {

namespace {

#define OVRIX_BTC_KEYS(filters_use)                       \
  {"activation", KeyUse::Default, 1, Range::Any},         \
      {"fifo_size", KeyUse::Required, 0, Range::Positive}, \
      {"filters", filters_use, 0, Range::Positive},       \
      {"output_bits", KeyUse::Default, 8, Range::Bits},   \
      {"pool_size", KeyUse::Default, -1, Range::PoolSize}, \
      {"pool_type", KeyUse::Default, 0, Range::PoolKind}, \
      {"weights_bits", KeyUse::Default, 8, Range::WeightBits}

constexpr KeySpec keys_[] = {OVRIX_BTC_KEYS(KeyUse::Required)};
constexpr KeySpec depthwise_keys_[] = {OVRIX_BTC_KEYS(KeyUse::Optional)};

class BufferTempConvRules final : public KindRules {
 public:
  explicit BufferTempConvRules(bool depthwise) : depthwise_(depthwise) {}
  LayerType type() const override {
    return depthwise_ ? LayerType::DepthwiseBufferTempConv : LayerType::BufferTempConv;
  }
  std::span<const KeySpec> keys() const override {
    if (depthwise_) return depthwise_keys_;
    return keys_;
  }
  IpVersion ip_version() const override { return IpVersion::v2; }
  hw::TargetKind target() const override { return hw::TargetKind::TNP_B; }
  bool splittable() const override { return true; }
  bool channels_follow_neurons() const override { return depthwise_; }
  ActivationType activation(const LayerParams& p) const override { return v2_activation(p); }
  Signals signals(const LayerParams& p, const std::vector<InputSignal>* inputs) const override {
    return v2_signals(p, inputs);
  }

  Geometry build(const LayerParams& p, const std::vector<InputSignal>& inputs, const std::string& name) const override {
    const InputSignal& in = single_input(inputs, name);
    const uint32_t w = in.dims.dims[0], h = in.dims.dims[1], c = in.dims.dims[2];
    const uint32_t taps = p.get("fifo_size");
    const uint32_t f = depthwise_ ? v2::depthwise_channels(p, c, name) : uint32_t(p.get("filters"));
    PoolRequest req;
    req.type = static_cast<PoolType>(p.get("pool_type"));
    const int32_t size = p.get("pool_size");
    req.global = size < 0;
    req.size_x = req.size_y = req.stride_x = req.stride_y = size < 0 ? 1 : size;
    const auto pool = pool_geometry(w, h, req);
    if (pool.output_width == 0 || pool.output_height == 0) {
      refuse_build(name, fmt::format("its pooled output would be empty for an input of {} x {}.", w, h));
    }
    Geometry g;
    g.input_dims = {in.dims};
    g.output_dims = Shape{pool.output_width, pool.output_height, f};
    g.signals = signals(p, &inputs);
    const TensorType wt = weights_type(p.get("weights_bits"));
    if (depthwise_) {
      // (1, 1, tap, channel).
      g.variables.push_back({"weights", wt, Shape{1, 1, taps, c}});
      g.macs = mul_sat({w, h, c, taps});
    } else {
      // (1, 1, tap x C + channel, filter).
      const uint64_t rows = uint64_t(taps) * c;
      if (rows > UINT32_MAX) refuse_build(name, "has too many weights rows.");
      g.variables.push_back({"weights", wt, Shape{1, 1, static_cast<uint32_t>(rows), f}});
      g.macs = mul_sat({w, h, f, taps, c});
    }
    g.variables.push_back({"input_shift", TensorType::uint8, Shape{c}});
    add_output_variables(g.variables, f, activation(p), true);
    return g;
  }

  std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> p, const std::string& name) const override {
    return make_layer<PlainLayer<>>(*this, std::move(p), name);
  }

 private:
  bool depthwise_;
};

}  // namespace

const KindRules& buffer_temp_conv_rules() {
  static const BufferTempConvRules rules(false);
  return rules;
}

const KindRules& depthwise_buffer_temp_conv_rules() {
  static const BufferTempConvRules rules(true);
  return rules;
}

}  // namespace ovrix::detail
