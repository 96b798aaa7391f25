#pragma once
// What the v2 convolution kinds share: square-kernel keys and convolution-then-pooling geometry.
#include <fmt/format.h>

#include "engine/impl/layers/kind.h"

namespace ovrix::detail::v2 {

#define OVRIX_V2_CONV_KEYS(filters_use)                       \
  {"activation", KeyUse::Default, 1, Range::Any},             \
      {"filters", filters_use, 0, Range::Positive},           \
      {"kernel_size", KeyUse::Default, 3, Range::Small},      \
      {"kernel_stride", KeyUse::Default, 1, Range::Small},    \
      {"output_bits", KeyUse::Default, 8, Range::Bits},       \
      {"padding", KeyUse::Default, 1, Range::PaddingKind},    \
      {"pool_size", KeyUse::Default, 2, Range::PoolSize},     \
      {"pool_stride", KeyUse::Optional, 0, Range::Small},     \
      {"pool_type", KeyUse::Default, 0, Range::PoolKind},     \
      {"weights_bits", KeyUse::Default, 8, Range::WeightBits}

class V2Rules : public KindRules {
 public:
  IpVersion ip_version() const override { return IpVersion::v2; }
  ActivationType activation(const LayerParams& p) const override { return v2_activation(p); }
  Signals signals(const LayerParams& p, const std::vector<InputSignal>* inputs) const override {
    return v2_signals(p, inputs);
  }
  // Without a pooling stride the pooling windows do not overlap.
  void complete(ParamMap& values) const override {
    auto size = values.find("pool_size");
    if (values.count("pool_stride") == 0 && size != values.end()) {
      values["pool_stride"] = size->second > 0 ? size->second : 1;
    }
  }
};

// Output channels of a depthwise kind: its input channels; a "filters" key must agree.
inline uint32_t depthwise_channels(const LayerParams& p, uint32_t channels, const std::string& name) {
  if (p.has("filters") && static_cast<uint32_t>(p.get("filters")) != channels) {
    refuse_build(name, fmt::format("a depthwise layer has as many filters as input channels ({}), not {}.", channels,
                                   p.get("filters")));
  }
  return channels;
}

// Square convolution, then pooling ("pool_size" -1: global, output 1 x 1); refuses an empty output.
inline ConvPool conv_pool(const LayerParams& p, const Shape& in, const std::string& name) {
  const auto padding = static_cast<Padding>(p.get("padding"));
  const uint32_t k = p.get("kernel_size"), s = p.get("kernel_stride");
  const auto conv = conv_geometry(in, k, k, s, s, padding);
  PoolRequest req;
  req.type = static_cast<PoolType>(p.get("pool_type"));
  const int32_t size = p.get("pool_size");
  req.global = size < 0;
  req.size_x = req.size_y = size < 0 ? 1 : size;
  req.stride_x = req.stride_y = p.get("pool_stride");
  req.padding = padding;
  return conv_then_pool(name, in, conv, req);
}

}  // namespace ovrix::detail::v2
