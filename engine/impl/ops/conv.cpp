// Convolution family: entry points that check shapes once, then run the raw kernels sample by sample.
#include <fmt/format.h>

#include "engine/impl/ops/arith.h"
#include "engine/impl/ops/dense_util.h"
#include "engine/impl/ops/kernels.h"
#include "engine/ops.h"

namespace ovrix::ops {
namespace {

using detail::fail;

// Weight tensor (k0, k1, C, F) with missing trailing dimensions counted as 1.
struct ConvWeights {
  uint32_t k0 = 1, k1 = 1, channels = 1, filters = 1;
  std::vector<int32_t> values;
};

ConvWeights conv_weights(const char* op, const Dense& w) {
  detail::View<int8_t> v(w);
  ConvWeights cw;
  detail::kernel_dims(op, v.shape(), &cw.k0, &cw.k1);
  if (v.rank() >= 3) cw.channels = v.dim(2);
  if (v.rank() == 4) cw.filters = v.dim(3);
  cw.values = kernel::widen(v.data(), v.size());
  return cw;
}

// Depthwise weights: (k0, k1, 1, C), (k0, k1, C) or (k0, k1) (one channel), read as (k0, k1, C).
ConvWeights depthwise_weights(const char* op, const Dense& w) {
  detail::View<int8_t> v(w);
  ConvWeights cw;
  detail::kernel_dims(op, v.shape(), &cw.k0, &cw.k1);
  if (v.rank() == 4 && v.dim(2) != 1 && v.dim(3) != 1)
    fail(fmt::format("{}: depthwise weights must be (k0, k1, 1, C) or (k0, k1, C); got shape {}.", op,
                     detail::shape_text(v.shape())));
  cw.channels = static_cast<uint32_t>(v.size() / (size_t(cw.k0) * cw.k1));
  cw.filters = cw.channels;
  cw.values = kernel::widen(v.data(), v.size());
  return cw;
}

void check_channels(const char* op, uint32_t image, uint32_t weights) {
  if (image != weights)
    fail(fmt::format("{}: the input has {} channels but the weights expect {}.", op, image, weights));
}

std::unique_ptr<Dense> saturate(std::unique_ptr<Dense> t, int32_t n) {
  if (n >= 32) return t;
  const arith::Range r = arith::signed_range(n);
  int32_t* p = t->mutable_data_as<int32_t>();
  for (size_t i = 0; i < t->size(); ++i) p[i] = static_cast<int32_t>(arith::clamp(p[i], r));
  return t;
}

template <class Body>
std::unique_ptr<Dense> per_sample(const detail::Image& im, uint32_t out0, uint32_t out1, uint32_t channels,
                                  Body body) {
  auto out = detail::make(TensorType::int32, detail::image_result(im, out0, out1, channels));
  int32_t* o = out->mutable_data_as<int32_t>();
  const size_t out_sample = size_t(out0) * out1 * channels;
  for (uint32_t s = 0; s < im.samples; ++s) body(s, o + s * out_sample);
  return out;
}

}  // namespace

std::unique_ptr<Dense> conv2d_v2(const Dense& x, int8_t stride0, int8_t stride1, int32_t pad0_before,
                                 int32_t pad1_before, uint32_t out0, uint32_t out1, const Dense& w, int32_t n) {
  constexpr const char* op = "conv2d_v2";
  detail::check_bits(op, n);
  detail::View<int32_t> xv(x);
  const detail::Image im = detail::image_of(op, "the input", xv.shape());
  const ConvWeights cw = conv_weights(op, w);
  check_channels(op, im.channels, cw.channels);
  detail::check_sweep(op, 0, im.d0, cw.k0, stride0, pad0_before, out0);
  detail::check_sweep(op, 1, im.d1, cw.k1, stride1, pad1_before, out1);
  const kernel::Sweep g{im.d0, im.d1, cw.k0, cw.k1, uint32_t(stride0), uint32_t(stride1), pad0_before,
                        pad1_before, out0, out1};
  const kernel::PackedFilters packed =
      kernel::pack_filters(cw.values.data(), cw.k0, cw.k1, cw.channels, cw.filters);
  auto out = per_sample(im, out0, out1, cw.filters, [&](uint32_t s, int32_t* o) {
    kernel::conv2d(xv.data() + s * im.sample_size(), packed, g, o);
  });
  return saturate(std::move(out), n);
}

std::unique_ptr<Dense> depthwise_conv2d(const Dense& x, int8_t stride0, int8_t stride1, int32_t pad0_before,
                                        int32_t pad1_before, uint32_t out0, uint32_t out1, const Dense& w) {
  constexpr const char* op = "depthwise_conv2d";
  detail::View<int32_t> xv(x);
  const detail::Image im = detail::image_of(op, "the input", xv.shape());
  const ConvWeights cw = depthwise_weights(op, w);
  check_channels(op, im.channels, cw.channels);
  detail::check_sweep(op, 0, im.d0, cw.k0, stride0, pad0_before, out0);
  detail::check_sweep(op, 1, im.d1, cw.k1, stride1, pad1_before, out1);
  const kernel::Sweep g{im.d0, im.d1, cw.k0, cw.k1, uint32_t(stride0), uint32_t(stride1), pad0_before,
                        pad1_before, out0, out1};
  return per_sample(im, out0, out1, im.channels, [&](uint32_t s, int32_t* o) {
    kernel::depthwise_conv2d(xv.data() + s * im.sample_size(), im.channels, cw.values.data(), g, o);
  });
}

std::unique_ptr<Dense> linearize_filters(const Dense& w) {
  constexpr const char* op = "linearize_filters";
  detail::View<int8_t> v(w);
  uint32_t k0 = 0, k1 = 0;
  detail::kernel_dims(op, v.shape(), &k0, &k1);
  const uint32_t C = v.rank() >= 3 ? v.dim(2) : 1;
  const uint32_t F = v.rank() == 4 ? v.dim(3) : 1;
  const size_t taps = size_t(k0) * k1 * C;
  auto out = detail::make(TensorType::int8, Shape{F, static_cast<uint32_t>(taps)});
  int8_t* o = out->mutable_data_as<int8_t>();
  for (size_t t = 0; t < taps; ++t)
    for (size_t f = 0; f < F; ++f) o[f * taps + t] = v[t * F + f];
  return out;
}

std::unique_ptr<Dense> input_conv2d(const Dense& x, const Dense& t, int8_t stride0, int8_t stride1,
                                    int32_t pad1_before, int32_t pad1_after, int32_t pad0_before,
                                    int32_t pad0_after, uint32_t out0, uint32_t out1, uint32_t k0, uint32_t k1,
                                    const Dense& filters) {
  constexpr const char* op = "input_conv2d";
  detail::View<uint8_t> xv(x);
  detail::View<uint8_t> tv(t);
  detail::View<int8_t> fv(filters);
  const detail::Image im = detail::image_of(op, "the input", xv.shape());
  if (fv.rank() != 2)
    fail(fmt::format("{}: linearized filters must be (F, k0 x k1 x C); got shape {}.", op,
                     detail::shape_text(fv.shape())));
  const uint32_t F = fv.dim(0);
  if (uint64_t{k0} * k1 * im.channels != fv.dim(1))
    fail(fmt::format("{}: linearized filters of {} taps do not match a {}x{} kernel over {} channels.", op, fv.dim(1),
                     k0, k1, im.channels));
  if (tv.size() != 1 && tv.size() != im.channels)
    fail(fmt::format("{}: {} padding values given for {} channels.", op, tv.size(), im.channels));
  detail::check_sweep(op, 0, im.d0, k0, stride0, pad0_before, out0, pad0_after);
  detail::check_sweep(op, 1, im.d1, k1, stride1, pad1_before, out1, pad1_after);
  std::vector<int32_t> pads(im.channels);
  for (size_t c = 0; c < im.channels; ++c) pads[c] = tv[tv.size() == 1 ? 0 : c];
  // Back to (k0, k1, C, F) order, then packed so the inner loop runs over the filters.
  const size_t taps = fv.dim(1);
  std::vector<int32_t> w(fv.size());
  for (size_t f = 0; f < F; ++f)
    for (size_t t = 0; t < taps; ++t) w[t * F + f] = fv[f * taps + t];
  const kernel::PackedFilters packed = kernel::pack_filters(w.data(), k0, k1, im.channels, F);
  const kernel::Sweep g{im.d0, im.d1, k0, k1, uint32_t(stride0), uint32_t(stride1), pad0_before, pad1_before,
                        out0, out1};
  std::vector<int32_t> sample(im.sample_size()), padded;
  return per_sample(im, out0, out1, F, [&](uint32_t s, int32_t* o) {
    const uint8_t* src = xv.data() + s * im.sample_size();
    std::copy(src, src + sample.size(), sample.begin());
    kernel::input_conv2d(sample.data(), pads.data(), packed, g, padded, o);
  });
}

namespace {

template <bool depthwise>
std::unique_ptr<Dense> transpose(const char* op, const Dense& x, const Dense& w, int32_t stride, int32_t pad0,
                                 int32_t pad1, uint32_t out0, uint32_t out1) {
  detail::View<int32_t> xv(x);
  const detail::Image im = detail::image_of(op, "the input", xv.shape());
  const ConvWeights cw = depthwise ? depthwise_weights(op, w) : conv_weights(op, w);
  check_channels(op, im.channels, cw.channels);
  if (stride < 1) fail(fmt::format("{}: the stride must be positive (got {}).", op, stride));
  if (pad0 < 0 || pad1 < 0) fail(fmt::format("{}: paddings cannot be negative.", op));
  if (out0 < 1 || out1 < 1) fail(fmt::format("{}: output sizes must be positive.", op));
  const kernel::Sweep g{im.d0, im.d1, cw.k0, cw.k1, uint32_t(stride), uint32_t(stride), pad0, pad1, out0, out1};
  return per_sample(im, out0, out1, cw.filters, [&](uint32_t s, int32_t* o) {
    const int32_t* src = xv.data() + s * im.sample_size();
    if constexpr (depthwise)
      kernel::depthwise_conv2d_transpose(src, im.channels, cw.values.data(), g, o);
    else
      kernel::conv2d_transpose(src, im.channels, cw.values.data(), cw.filters, g, o);
  });
}

}  // namespace

std::unique_ptr<Dense> conv2d_transpose(const Dense& x, const Dense& w, int32_t stride, int32_t pad0,
                                        int32_t pad1, uint32_t out0, uint32_t out1) {
  return transpose<false>("conv2d_transpose", x, w, stride, pad0, pad1, out0, out1);
}

std::unique_ptr<Dense> depthwise_conv2d_transpose(const Dense& x, const Dense& w, int32_t stride, int32_t pad0,
                                                  int32_t pad1, uint32_t out0, uint32_t out1) {
  return transpose<true>("depthwise_conv2d_transpose", x, w, stride, pad0, pad1, out0, out1);
}

}  // namespace ovrix::ops
