// Raw convolution kernels: plain loops over contiguous buffers. The innermost loop always runs over the last
// (contiguous) axis of the output, so the compiler can vectorize it; kernel positions that fall outside
// the input are skipped by computing the valid kernel range once per output row and column.
#include "engine/impl/ops/kernels.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/impl/ops/arith.h"

namespace ovrix::ops::kernel {

std::vector<int32_t> widen(const int8_t* w, size_t count) { return std::vector<int32_t>(w, w + count); }

void conv2d(const int32_t* x, uint32_t channels, const int32_t* w, uint32_t filters, const Sweep& g,
            int32_t* out) {
  const size_t C = channels, F = filters;
  std::vector<uint32_t> acc(F);
  for (uint32_t o0 = 0; o0 < g.out0; ++o0) {
    const Taps t0 = taps(o0, g.s0, g.p0, g.k0, g.d0);
    for (uint32_t o1 = 0; o1 < g.out1; ++o1) {
      const Taps t1 = taps(o1, g.s1, g.p1, g.k1, g.d1);
      std::fill(acc.begin(), acc.end(), 0u);
      uint32_t* a = acc.data();
      for (int64_t r0 = t0.lo, i0 = t0.first; r0 < t0.hi; ++r0, ++i0) {
        for (int64_t r1 = t1.lo, i1 = t1.first; r1 < t1.hi; ++r1, ++i1) {
          const int32_t* xp = x + (size_t(i0) * g.d1 + size_t(i1)) * C;
          const int32_t* wp = w + (size_t(r0) * g.k1 + size_t(r1)) * C * F;
          for (size_t c = 0; c < C; ++c) {
            const uint32_t xv = static_cast<uint32_t>(xp[c]);
            if (xv == 0) continue;  // activations are often 0 after a ReLU
            const int32_t* wc = wp + c * F;
            for (size_t f = 0; f < F; ++f) a[f] += xv * static_cast<uint32_t>(wc[f]);
          }
        }
      }
      int32_t* op = out + (size_t(o0) * g.out1 + o1) * F;
      for (size_t f = 0; f < F; ++f) op[f] = arith::as_signed(a[f]);
    }
  }
}

void depthwise_conv2d(const int32_t* x, uint32_t channels, const int32_t* w, const Sweep& g, int32_t* out) {
  const size_t C = channels;
  std::vector<uint32_t> acc(C);
  for (uint32_t o0 = 0; o0 < g.out0; ++o0) {
    const Taps t0 = taps(o0, g.s0, g.p0, g.k0, g.d0);
    for (uint32_t o1 = 0; o1 < g.out1; ++o1) {
      const Taps t1 = taps(o1, g.s1, g.p1, g.k1, g.d1);
      std::fill(acc.begin(), acc.end(), 0u);
      uint32_t* a = acc.data();
      for (int64_t r0 = t0.lo, i0 = t0.first; r0 < t0.hi; ++r0, ++i0) {
        for (int64_t r1 = t1.lo, i1 = t1.first; r1 < t1.hi; ++r1, ++i1) {
          const int32_t* xp = x + (size_t(i0) * g.d1 + size_t(i1)) * C;
          const int32_t* wp = w + (size_t(r0) * g.k1 + size_t(r1)) * C;
          for (size_t c = 0; c < C; ++c) a[c] += static_cast<uint32_t>(xp[c]) * static_cast<uint32_t>(wp[c]);
        }
      }
      int32_t* op = out + (size_t(o0) * g.out1 + o1) * C;
      for (size_t c = 0; c < C; ++c) op[c] = arith::as_signed(a[c]);
    }
  }
}

void input_conv2d(const int32_t* x, uint32_t channels, const int32_t* pad_values, const int32_t* filters,
                  uint32_t count, const Sweep& g, int32_t* out) {
  const size_t C = channels, F = count;
  const size_t taps_per_filter = size_t(g.k0) * g.k1 * C;
  // One window at a time, gathered with its padding values, then one dot product per filter.
  std::vector<int32_t> window(taps_per_filter);
  for (uint32_t o0 = 0; o0 < g.out0; ++o0) {
    for (uint32_t o1 = 0; o1 < g.out1; ++o1) {
      const int64_t start0 = int64_t{o0} * g.s0 - g.p0;
      const int64_t start1 = int64_t{o1} * g.s1 - g.p1;
      int32_t* wp = window.data();
      for (uint32_t r0 = 0; r0 < g.k0; ++r0) {
        const int64_t i0 = start0 + r0;
        for (uint32_t r1 = 0; r1 < g.k1; ++r1, wp += C) {
          const int64_t i1 = start1 + r1;
          if (i0 < 0 || i0 >= g.d0 || i1 < 0 || i1 >= g.d1) {
            std::copy(pad_values, pad_values + C, wp);
          } else {
            const int32_t* xp = x + (size_t(i0) * g.d1 + size_t(i1)) * C;
            std::copy(xp, xp + C, wp);
          }
        }
      }
      int32_t* op = out + (size_t(o0) * g.out1 + o1) * F;
      for (size_t f = 0; f < F; ++f) {
        const int32_t* fp = filters + f * taps_per_filter;
        uint32_t a = 0;
        for (size_t i = 0; i < taps_per_filter; ++i)
          a += static_cast<uint32_t>(window[i]) * static_cast<uint32_t>(fp[i]);
        op[f] = arith::as_signed(a);
      }
    }
  }
}

namespace {

// Shared body of the two transposed convolutions; `depthwise` selects the weight layout.
template <bool depthwise>
void transpose_body(const int32_t* x, uint32_t channels, const int32_t* w, uint32_t filters, const Sweep& g,
                    int32_t* out) {
  const size_t C = channels, F = depthwise ? channels : filters;
  std::vector<uint32_t> acc(size_t(g.out0) * g.out1 * F, 0u);
  for (uint32_t i0 = 0; i0 < g.d0; ++i0) {
    for (uint32_t i1 = 0; i1 < g.d1; ++i1) {
      const int32_t* xp = x + (size_t(i0) * g.d1 + i1) * C;
      for (uint32_t r0 = 0; r0 < g.k0; ++r0) {
        const int64_t o0 = int64_t{i0} * g.s0 + r0 - g.p0;
        if (o0 < 0 || o0 >= g.out0) continue;
        for (uint32_t r1 = 0; r1 < g.k1; ++r1) {
          const int64_t o1 = int64_t{i1} * g.s1 + r1 - g.p1;
          if (o1 < 0 || o1 >= g.out1) continue;
          uint32_t* a = acc.data() + (size_t(o0) * g.out1 + size_t(o1)) * F;
          if constexpr (depthwise) {
            const int32_t* wp = w + (size_t(r0) * g.k1 + r1) * C;
            for (size_t c = 0; c < C; ++c) a[c] += static_cast<uint32_t>(xp[c]) * static_cast<uint32_t>(wp[c]);
          } else {
            const int32_t* wp = w + (size_t(r0) * g.k1 + r1) * C * F;
            for (size_t c = 0; c < C; ++c) {
              const uint32_t xv = static_cast<uint32_t>(xp[c]);
              if (xv == 0) continue;
              const int32_t* wc = wp + c * F;
              for (size_t f = 0; f < F; ++f) a[f] += xv * static_cast<uint32_t>(wc[f]);
            }
          }
        }
      }
    }
  }
  for (size_t i = 0; i < acc.size(); ++i) out[i] = arith::as_signed(acc[i]);
}

}  // namespace

void conv2d_transpose(const int32_t* x, uint32_t channels, const int32_t* w, uint32_t filters, const Sweep& g,
                      int32_t* out) {
  transpose_body<false>(x, channels, w, filters, g, out);
}

void depthwise_conv2d_transpose(const int32_t* x, uint32_t channels, const int32_t* w, const Sweep& g,
                                int32_t* out) {
  transpose_body<true>(x, channels, w, channels, g, out);
}

}  // namespace ovrix::ops::kernel
