#pragma once
// What the v1 kinds share: per-axis geometry keys, the on/off activation, and the activation width.
#include "engine/impl/layers/kind.h"

namespace ovrix::detail::v1 {

// The convolution keys of the v1 CNP kinds (also read by the HRC input convolution).
#define OVRIX_V1_CNP_KEYS                                        \
  {"act_bits", KeyUse::Default, 1, Range::Bits},                 \
      {"activation", KeyUse::Default, 1, Range::Any},            \
      {"filters", KeyUse::Required, 0, Range::Positive},         \
      {"kernel_height", KeyUse::Default, 3, Range::Small},       \
      {"kernel_width", KeyUse::Default, 3, Range::Small},        \
      {"padding", KeyUse::Default, 0, Range::PaddingKind},       \
      {"pool_size", KeyUse::Optional, 0, Range::PoolSize},       \
      {"pool_type", KeyUse::Default, 0, Range::PoolKind},        \
      {"pooling_height", KeyUse::Default, 2, Range::PoolSize},   \
      {"pooling_stride_x", KeyUse::Default, -1, Range::V1PoolStride}, \
      {"pooling_stride_y", KeyUse::Default, -1, Range::V1PoolStride}, \
      {"pooling_width", KeyUse::Default, 2, Range::PoolSize},    \
      {"stride_x", KeyUse::Default, 1, Range::Small},            \
      {"stride_y", KeyUse::Default, 1, Range::Small},            \
      {"weights_bits", KeyUse::Default, 1, Range::WeightBits}

// Rules common to the v1 kinds: the activation is on when "activation" is not 0, and it is a
// threshold firing law, so the output flag of the v2 kinds does not apply.
class V1Rules : public KindRules {
 public:
  IpVersion ip_version() const override { return IpVersion::v1; }
  bool splittable() const override { return true; }
  ActivationType activation(const LayerParams& p) const override {
    return p.get("activation") != 0 ? ActivationType::ReLU : ActivationType::NoActivation;
  }
  bool output_flag(const LayerParams&) const override { return false; }
  // Activated outputs are act_bits wide and unsigned; without activation the potentials are int32.
  Signals signals(const LayerParams& p, const std::vector<InputSignal>* inputs) const override {
    Signals s;
    if (inputs && !inputs->empty()) s.input_bits = (*inputs)[0].bits;
    const bool on = p.get("activation") != 0;
    s.output_bits = on ? static_cast<uint8_t>(p.get("act_bits")) : 32;
    s.output_signed = !on;
    return s;
  }
};

// Convolution then pooling with the per-axis keys; refuses an empty output.
inline ConvPool conv_pool(const LayerParams& p, const Shape& in, const std::string& name) {
  const auto padding = static_cast<Padding>(p.get("padding"));
  const auto conv = conv_geometry(in, p.get("kernel_width"), p.get("kernel_height"), p.get("stride_x"),
                                  p.get("stride_y"), padding);
  PoolRequest req;
  req.type = static_cast<PoolType>(p.get("pool_type"));
  const int32_t pw = p.get("pooling_width"), ph = p.get("pooling_height");
  req.global = pw < 0 || ph < 0;
  req.size_x = pw < 0 ? 1 : pw;
  req.size_y = ph < 0 ? 1 : ph;
  const int32_t psx = p.get("pooling_stride_x"), psy = p.get("pooling_stride_y");
  req.stride_x = psx < 0 ? req.size_x : psx;
  req.stride_y = psy < 0 ? req.size_y : psy;
  req.padding = padding;
  return conv_then_pool(name, in, conv, req);
}

}  // namespace ovrix::detail::v1
