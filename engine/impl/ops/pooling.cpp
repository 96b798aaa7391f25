// Pooling family: max pooling over windows and global average pooling.
#include <fmt/format.h>

#include <limits>

#include "engine/impl/ops/arith.h"
#include "engine/impl/ops/dense_util.h"
#include "engine/impl/ops/kernels.h"
#include "engine/impl/ops/lanes.h"
#include "engine/ops.h"

namespace ovrix::ops {

namespace kernel {

namespace {

// True when a window's maximum starts from 0 (it overlaps the padding, which reads as 0) rather than from
// the smallest int32.
bool from_zero(const Taps& t0, const Taps& t1, const Sweep& g, bool pad_as_zero) {
  return pad_as_zero && ((t0.hi - t0.lo) < int64_t{g.k0} || (t1.hi - t1.lo) < int64_t{g.k1});
}

void max_pool_plain(const int32_t* x, uint32_t channels, const Sweep& g, bool pad_as_zero, int32_t* out) {
  const size_t C = channels;
  for (uint32_t o0 = 0; o0 < g.out0; ++o0) {
    const Taps t0 = taps(o0, g.s0, g.p0, g.k0, g.d0);
    for (uint32_t o1 = 0; o1 < g.out1; ++o1) {
      const Taps t1 = taps(o1, g.s1, g.p1, g.k1, g.d1);
      int32_t* op = out + (size_t(o0) * g.out1 + o1) * C;
      std::fill(op, op + C, from_zero(t0, t1, g, pad_as_zero) ? 0 : std::numeric_limits<int32_t>::min());
      for (int64_t i0 = t0.first; i0 < t0.first + (t0.hi - t0.lo); ++i0) {
        for (int64_t i1 = t1.first; i1 < t1.first + (t1.hi - t1.lo); ++i1) {
          const int32_t* xp = x + (size_t(i0) * g.d1 + size_t(i1)) * C;
          for (size_t c = 0; c < C; ++c) op[c] = std::max(op[c], xp[c]);
        }
      }
    }
  }
}

// Channels [c, C) of one window's maximum, N lanes at a time, then fewer: each chunk stays in a register
// over the window.
template <int N>
inline __attribute__((always_inline)) void window_max(const int32_t* x, size_t C, size_t c, size_t d1, const Taps& t0,
                                                      const Taps& t1, bool zero, int32_t* op) {
  using V = typename lanes::Of<N>::i32;
  // Constant lanes: a broadcast of a run-time value costs more than a window's maximum.
  const V lowest = V{} + std::numeric_limits<int32_t>::min();
  for (; c + N <= C; c += N) {
    V m = zero ? V{} : lowest;
    for (int64_t i0 = t0.first; i0 < t0.first + (t0.hi - t0.lo); ++i0)
      for (int64_t i1 = t1.first; i1 < t1.first + (t1.hi - t1.lo); ++i1)
        m = lanes::vmax(m, lanes::load<V>(x + (size_t(i0) * d1 + size_t(i1)) * C + c));
    lanes::store(op + c, m);
  }
  if constexpr (N > 1) window_max<N / 2>(x, C, c, d1, t0, t1, zero, op);
}

template <int N>
inline __attribute__((always_inline)) void max_pool_lanes(const int32_t* x, uint32_t channels, const Sweep& g,
                                                          bool pad_as_zero, int32_t* out) {
  for (uint32_t o0 = 0; o0 < g.out0; ++o0) {
    const Taps t0 = taps(o0, g.s0, g.p0, g.k0, g.d0);
    for (uint32_t o1 = 0; o1 < g.out1; ++o1) {
      const Taps t1 = taps(o1, g.s1, g.p1, g.k1, g.d1);
      window_max<N>(x, channels, 0, g.d1, t0, t1, from_zero(t0, t1, g, pad_as_zero),
                    out + (size_t(o0) * g.out1 + o1) * channels);
    }
  }
}

#if OVRIX_LANES
OVRIX_LANES_AVX512 void max_pool_avx512(const int32_t* x, uint32_t channels, const Sweep& g, bool pad_as_zero,
                                        int32_t* out) {
  max_pool_lanes<16>(x, channels, g, pad_as_zero, out);
}
OVRIX_LANES_AVX2 void max_pool_avx2(const int32_t* x, uint32_t channels, const Sweep& g, bool pad_as_zero,
                                    int32_t* out) {
  max_pool_lanes<8>(x, channels, g, pad_as_zero, out);
}
#endif

}  // namespace

void max_pool(const int32_t* x, uint32_t channels, const Sweep& g, bool pad_as_zero, int32_t* out) {
  switch (lanes::width()) {
#if OVRIX_LANES
    case lanes::Width::avx512: max_pool_avx512(x, channels, g, pad_as_zero, out); return;
    case lanes::Width::avx2: max_pool_avx2(x, channels, g, pad_as_zero, out); return;
#endif
    default: max_pool_plain(x, channels, g, pad_as_zero, out);
  }
}

void channel_sums(const int32_t* x, uint32_t positions, uint32_t channels, int64_t* sums) {
  std::fill(sums, sums + channels, int64_t{0});
  for (size_t p = 0; p < positions; ++p) {
    const int32_t* xp = x + p * channels;
    for (size_t c = 0; c < channels; ++c) sums[c] += xp[c];
  }
}
}  // namespace kernel

std::unique_ptr<Dense> global_average_pooling(std::shared_ptr<const Dense> a, int32_t n) {
  constexpr const char* op = "global_average_pooling";
  detail::check_bits(op, n);
  if (!a) detail::fail(fmt::format("{}: null tensor.", op));
  detail::View<int32_t> av(*a);
  const detail::Image im = detail::image_of(op, "the input", av.shape());
  auto out = detail::make(TensorType::int32, detail::image_result(im, 1, 1, im.channels));
  int32_t* o = out->mutable_data_as<int32_t>();
  const uint32_t positions = im.d0 * im.d1;
  const arith::Range r = arith::signed_range(n);
  std::vector<int64_t> sums(im.channels);
  for (uint32_t s = 0; s < im.samples; ++s) {
    kernel::channel_sums(av.data() + s * im.sample_size(), positions, im.channels, sums.data());
    for (size_t c = 0; c < im.channels; ++c)
      o[s * im.channels + c] = static_cast<int32_t>(arith::clamp(arith::average_round(sums[c], positions), r));
  }
  return out;
}

std::unique_ptr<Dense> max_pooling(std::shared_ptr<const Dense> x, int8_t k0, int8_t k1, bool pad_as_zero,
                                   uint32_t out0, uint32_t out1, int8_t stride0, int8_t stride1,
                                   int32_t pad1_before, int32_t pad1_after, int32_t pad0_before,
                                   int32_t pad0_after, int32_t n) {
  constexpr const char* op = "max_pooling";
  detail::check_bits(op, n);
  if (!x) detail::fail(fmt::format("{}: null tensor.", op));
  detail::View<int32_t> xv(*x);
  const detail::Image im = detail::image_of(op, "the input", xv.shape());
  if (k0 == 0 || k1 == 0) detail::fail(fmt::format("{}: a pooling window cannot be 0.", op));
  // A negative window covers the whole axis.
  const uint32_t w0 = k0 < 0 ? im.d0 : uint32_t(k0);
  const uint32_t w1 = k1 < 0 ? im.d1 : uint32_t(k1);
  detail::check_sweep(op, 0, im.d0, w0, stride0, pad0_before, out0, pad0_after);
  detail::check_sweep(op, 1, im.d1, w1, stride1, pad1_before, out1, pad1_after);
  const kernel::Sweep g{im.d0, im.d1, w0, w1, uint32_t(stride0), uint32_t(stride1), pad0_before, pad1_before,
                        out0, out1};
  auto out = detail::make(TensorType::int32, detail::image_result(im, out0, out1, im.channels));
  int32_t* o = out->mutable_data_as<int32_t>();
  const size_t out_sample = size_t(out0) * out1 * im.channels;
  for (uint32_t s = 0; s < im.samples; ++s)
    kernel::max_pool(xv.data() + s * im.sample_size(), im.channels, g, pad_as_zero, o + s * out_sample);
  if (n < 32) {
    const arith::Range r = arith::signed_range(n);
    for (size_t i = 0; i < out->size(); ++i) o[i] = static_cast<int32_t>(arith::clamp(o[i], r));
  }
  return out;
}

}  // namespace ovrix::ops
