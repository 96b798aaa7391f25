// Convolution on the processor's integer dot products.
//
// The activations are narrowed to 16 bits (when every value of the sample fits) and laid out in a frame
// that already holds the padding, channels paired; the weights are packed in the same pairs. One
// `vpmaddwd` multiplies 16 such values by 16 weights and adds each pair into a 32-bit lane: a pair sum
// of two 16 x 8-bit products stays below 2^24, so it is exact, and the lanes are then added with
// wrapping 32-bit additions, which give the same accumulator as the plain kernel whatever the order.
//
// Samples whose values all lie in 0 .. 255 (or in -128 .. 127, then taken plus 128) against weights within
// -64 .. 64 take the 8-bit products: one `vpmaddubsw` multiplies 32 unsigned bytes by 32 signed ones and
// adds pairs into 16-bit lanes, which saturate, but two products of at most 255 x 64 stay within 32767,
// so the pair sums are exact; `vpmaddwd` by ones then adds the pairs into 32-bit lanes (exact), and the
// rest is the same wrapping sum. The offset's share, 128 x the filter's sum of weights, is taken back in
// wrapping 32-bit arithmetic, which is exact modulo 2^32 like the accumulator itself. Without VNNI,
// layers whose weights pass 64 in magnitude keep the 16-bit path: their pair sums could saturate. With
// AVX-512 VNNI, `vpdpbusd` adds four such products straight into a 32-bit lane without saturating, so it
// takes any 8-bit weights; on 512-bit registers a tile of 6 positions by 64 filters (fewer filters, more
// positions) keeps 24 accumulators in registers: each load of weights serves 6 positions, each broadcast
// quad of values 64 filters.
//
// The depthwise convolution pairs taps instead of channels: `vpunpcklwd`/`vpunpckhwd` interleave the 16
// channels of two taps, and the weights are packed in the same order, so that `vpmaddwd` gives each
// channel the sum of its two taps' products, exact like the pairs above.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "engine/impl/ops/kernels.h"
#include "engine/impl/parallel.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace ovrix::ops::kernel {

namespace {

Isa processor_isa() {
  Isa best = Isa::generic;
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) best = Isa::avx2;
  // The top tier is also where the output stages and frames take 512-bit lanes of bytes, words and
  // quadwords (BW, DQ); every processor with VNNI has them, but asking costs nothing.
  if (best == Isa::avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vnni"))
    best = Isa::avx512vnni;
#endif
  return best;
}

Isa detect_isa() {
  Isa best = processor_isa();
  // OVRIX_ISA may ask for a path below the processor's best (never above it).
  if (const char* want = std::getenv("OVRIX_ISA")) {
    const std::string_view w(want);
    if (w == "generic") best = Isa::generic;
    if (w == "avx2") best = std::min(best, Isa::avx2);
  }
  return best;
}

std::atomic<int> isa_{-1};

}  // namespace

Isa active_isa() {
  int isa = isa_.load(std::memory_order_relaxed);
  if (isa < 0) {
    isa = static_cast<int>(detect_isa());
    isa_.store(isa, std::memory_order_relaxed);
  }
  return static_cast<Isa>(isa);
}

Isa use_isa(Isa isa) {
  const Isa before = active_isa();
  isa_.store(static_cast<int>(std::min(isa, processor_isa())), std::memory_order_relaxed);
  return before;
}

Isa best_isa() { return processor_isa(); }

const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::avx512vnni: return "avx512vnni";
    case Isa::avx2: return "avx2";
    default: return "generic";
  }
}

void pack_pairs(PackedFilters& p, const int32_t* w) {
  p.pairs.clear();
  const size_t taps = size_t(p.k0) * p.k1, C = p.channels, F = p.filters;
  for (size_t i = 0; i < taps * C * F; ++i)
    if (w[i] < std::numeric_limits<int16_t>::min() || w[i] > std::numeric_limits<int16_t>::max()) return;
  const size_t B = p.pair_block, cpairs = (C + 1) / 2, blocks = (F + B - 1) / B;
  const size_t block_size = taps * cpairs * B * 2;
  p.pairs.assign(blocks * block_size, 0);
  for (size_t t = 0; t < taps; ++t)
    for (size_t c = 0; c < C; ++c)
      for (size_t f = 0; f < F; ++f)
        p.pairs[(f / B) * block_size + ((t * cpairs + c / 2) * B + f % B) * 2 + c % 2] =
            static_cast<int16_t>(w[(t * C + c) * F + f]);
}

void pack_quads(PackedFilters& p, const int32_t* w) {
  p.quads.clear();
  p.sums.clear();
  const size_t taps = size_t(p.k0) * p.k1, C = p.channels, F = p.filters;
  p.quads_within_64 = true;
  for (size_t i = 0; i < taps * C * F; ++i) {
    if (w[i] < -128 || w[i] > 127) return;
    p.quads_within_64 = p.quads_within_64 && w[i] >= -64 && w[i] <= 64;
  }
  const size_t cquads = (C + 3) / 4;
  p.quad_block = uint32_t(std::min<size_t>(64, quad_width(F)));
  const size_t B = p.quad_block, blocks = (F + B - 1) / B, block_size = taps * cquads * B * 4;
  p.quads.assign(blocks * block_size, 0);
  p.sums.assign(F, 0);
  for (size_t f = 0; f < F; ++f) {
    const size_t b = f / B, width = quad_width(std::min(B, F - b * B));
    int8_t* block = p.quads.data() + b * block_size;
    for (size_t t = 0; t < taps; ++t)
      for (size_t c = 0; c < C; ++c) {
        const int32_t v = w[(t * C + c) * F + f];
        block[((t * cquads + c / 4) * width + f % B) * 4 + c % 4] = static_cast<int8_t>(v);
        p.sums[f] += static_cast<uint32_t>(v);
      }
  }
}

PackedDepthwise pack_depthwise(const int32_t* w, uint32_t k0, uint32_t k1, uint32_t channels) {
  PackedDepthwise p;
  p.k0 = k0;
  p.k1 = k1;
  p.channels = channels;
  const size_t taps = size_t(k0) * k1, C = channels;
  p.values.assign(w, w + taps * C);
  for (int32_t v : p.values)
    if (v < std::numeric_limits<int16_t>::min() || v > std::numeric_limits<int16_t>::max()) return p;
  // Taps in pairs (an odd last one with a zero weight), channels in groups of 16; for each pair and group
  // the 16 pairs (w[a][c], w[b][c]) in the order `vpunpcklwd` and `vpunpckhwd` interleave two vectors of
  // 16 channels: the low half holds channels 0-3 and 8-11, the high half 4-7 and 12-15.
  const size_t pairs = (taps + 1) / 2, groups = (C + 15) / 16;
  p.pairs.assign(pairs * groups * 32, 0);
  for (size_t j = 0; j < pairs; ++j)
    for (size_t cg = 0; cg < groups; ++cg)
      for (size_t k = 0; k < 16; ++k) {
        const size_t lane = k % 8, c = cg * 16 + (lane < 4 ? lane : lane + 4) + (k < 8 ? 0 : 4);
        if (c >= C) continue;
        int16_t* d = p.pairs.data() + (j * groups + cg) * 32 + k * 2;
        d[0] = static_cast<int16_t>(w[2 * j * C + c]);
        d[1] = 2 * j + 1 < taps ? static_cast<int16_t>(w[(2 * j + 1) * C + c]) : int16_t{0};
      }
  return p;
}

#if defined(__x86_64__) && defined(__GNUC__)

namespace {

// Accumulators of P output positions (consecutive along axis 1) by NV vectors of 8 filters.
template <int NV, int P>
__attribute__((target("avx2"), always_inline)) inline void dot_tile(const int16_t* x, size_t step,
                                                                    const int16_t* w, uint32_t k0, uint32_t k1,
                                                                    size_t row, size_t cpairs, int32_t* out,
                                                                    size_t F, size_t valid) {
  __m256i acc[P][NV];
  for (int p = 0; p < P; ++p)
    for (int v = 0; v < NV; ++v) acc[p][v] = _mm256_setzero_si256();
  for (uint32_t r0 = 0; r0 < k0; ++r0) {
    for (uint32_t r1 = 0; r1 < k1; ++r1) {
      const int16_t* xp = x + r0 * row + size_t(r1) * cpairs * 2;
      for (size_t cp = 0; cp < cpairs; ++cp, w += NV * 16) {
        __m256i wv[NV];
        for (int v = 0; v < NV; ++v) wv[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + v * 16));
        for (int p = 0; p < P; ++p) {
          int32_t pair;
          std::memcpy(&pair, xp + p * step + cp * 2, sizeof pair);
          const __m256i xv = _mm256_set1_epi32(pair);
          for (int v = 0; v < NV; ++v) acc[p][v] = _mm256_add_epi32(acc[p][v], _mm256_madd_epi16(xv, wv[v]));
        }
      }
    }
  }
  for (int p = 0; p < P; ++p) {
    int32_t* o = out + size_t(p) * F;
    if (valid == size_t(NV) * 8) {
      for (int v = 0; v < NV; ++v) _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + v * 8), acc[p][v]);
    } else {
      alignas(32) int32_t lanes[NV * 8];
      for (int v = 0; v < NV; ++v) _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + v * 8), acc[p][v]);
      std::memcpy(o, lanes, valid * sizeof(int32_t));
    }
  }
}

template <int NV, int P>
__attribute__((target("avx2"))) void dot_row(const int16_t* x, size_t step, const int16_t* w, uint32_t k0,
                                             uint32_t k1, size_t row, size_t cpairs, int32_t* out, size_t F,
                                             size_t valid, uint32_t count) {
  uint32_t o = 0;
  for (; o + P <= count; o += P) dot_tile<NV, P>(x + o * step, step, w, k0, k1, row, cpairs, out + o * F, F, valid);
  // The last positions of the row, fewer than P.
  for (; o < count; ++o) dot_tile<NV, 1>(x + o * step, step, w, k0, k1, row, cpairs, out + o * F, F, valid);
}

}  // namespace

namespace avx2_products {
#define OVRIX_DOT8_VNNI 0
#define OVRIX_DOT8_TARGET __attribute__((target("avx2")))
#include "engine/impl/ops/conv_dot8.inc"
#undef OVRIX_DOT8_TARGET
#undef OVRIX_DOT8_VNNI
}  // namespace avx2_products

namespace vnni_products {
#define OVRIX_DOT8_VNNI 1
#define OVRIX_DOT8_TARGET __attribute__((target("avx2,avx512f,avx512vl,avx512vnni")))
#include "engine/impl/ops/conv_dot8.inc"
#undef OVRIX_DOT8_TARGET
#undef OVRIX_DOT8_VNNI
}  // namespace vnni_products

bool conv2d_dot8(const uint8_t* frame, uint32_t cols, const PackedFilters& w, const Sweep& g, uint32_t offset,
                 const RowsOut& to, unsigned threads) {
  const Isa isa = active_isa();
  if (w.quads.empty() || isa == Isa::generic || (isa == Isa::avx2 && !w.quads_within_64)) return false;
  const size_t cquads = (size_t(w.channels) + 3) / 4, F = w.filters, B = w.quad_block;
  const size_t row = size_t(cols) * cquads * 4, step = size_t(g.s1) * cquads * 4;
  // The offset's share of each filter, in blocks padded like the weights.
  std::vector<uint32_t> shift((F + B - 1) / B * B, 0);
  for (size_t f = 0; f < F; ++f) shift[f] = offset * w.sums[f];
  parallel::for_chunks(g.out0, threads, [&](unsigned, size_t first, size_t last) {
    by_row_groups(to, first, last, [&](size_t a, size_t b, int32_t* out) {
      if (isa == Isa::avx512vnni)
        vnni_products::dot8_rows(frame, row, step, w, g, shift.data(), out, a, b);
      else
        avx2_products::dot8_rows(frame, row, step, w, g, shift.data(), out, a, b);
    });
  });
  return true;
}

bool conv2d_dot(const int16_t* frame, uint32_t cols, const PackedFilters& w, const Sweep& g, const RowsOut& to,
                unsigned threads) {
  if (active_isa() == Isa::generic || w.pairs.empty()) return false;
  const size_t cpairs = (size_t(w.channels) + 1) / 2, F = w.filters, B = w.pair_block;
  const size_t block_size = size_t(w.k0) * w.k1 * cpairs * B * 2;
  const size_t row = size_t(cols) * cpairs * 2, step = size_t(g.s1) * cpairs * 2;
  parallel::for_chunks(g.out0, threads, [&](unsigned, size_t first, size_t last) {
    by_row_groups(to, first, last, [&](size_t a, size_t b_end, int32_t* out) {
      for (size_t b = 0; b * B < F; ++b) {
        const size_t valid = std::min(B, F - b * B);
        const int16_t* wb = w.pairs.data() + b * block_size;
        for (size_t o0 = a; o0 < b_end; ++o0) {
          const int16_t* x = frame + o0 * g.s0 * row;
          int32_t* o = out + (o0 - a) * g.out1 * F + b * B;
          if (B == 16)
            dot_row<2, 6>(x, step, wb, g.k0, g.k1, row, cpairs, o, F, valid, g.out1);
          else
            dot_row<1, 12>(x, step, wb, g.k0, g.k1, row, cpairs, o, F, valid, g.out1);
        }
      }
    });
  });
  return true;
}

bool conv2d_dot(const int16_t* frame, uint32_t /*rows*/, uint32_t cols, const PackedFilters& w, const Sweep& g,
                int32_t* out, unsigned threads) {
  return conv2d_dot(frame, cols, w, g, RowsOut{out, nullptr, size_t(g.out1) * w.filters}, threads);
}

namespace {

// Depthwise accumulators of P output positions (consecutive along axis 1) for one group of 16 channels: x
// the first position's window at tap 0, `step` int16 values between positions, off[t] the offset of tap
// t in the frame, w the group's weights of the first tap pair, `wstride` values from one pair to the next.
template <int P>
__attribute__((target("avx2"), always_inline)) inline void depthwise_tile(const int16_t* x, size_t step,
                                                                          const size_t* off, size_t taps,
                                                                          const int16_t* w, size_t wstride,
                                                                          int32_t* out, size_t C, size_t valid) {
  __m256i lo[P], hi[P];
  for (int p = 0; p < P; ++p) lo[p] = hi[p] = _mm256_setzero_si256();
  for (size_t t = 0; t < taps; t += 2, w += wstride) {
    const __m256i wl = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));
    const __m256i wh = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 16));
    // An odd last tap is paired with itself, against zero weights.
    const size_t a = off[t], b = off[t + 1 < taps ? t + 1 : t];
    for (int p = 0; p < P; ++p) {
      const __m256i xa = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + p * step + a));
      const __m256i xb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + p * step + b));
      lo[p] = _mm256_add_epi32(lo[p], _mm256_madd_epi16(_mm256_unpacklo_epi16(xa, xb), wl));
      hi[p] = _mm256_add_epi32(hi[p], _mm256_madd_epi16(_mm256_unpackhi_epi16(xa, xb), wh));
    }
  }
  for (int p = 0; p < P; ++p) {
    const __m256i first = _mm256_permute2x128_si256(lo[p], hi[p], 0x20);   // channels 0-7
    const __m256i second = _mm256_permute2x128_si256(lo[p], hi[p], 0x31);  // channels 8-15
    int32_t* o = out + size_t(p) * C;
    if (valid == 16) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), first);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 8), second);
    } else {
      alignas(32) int32_t lanes[16];
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), first);
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 8), second);
      std::memcpy(o, lanes, valid * sizeof(int32_t));
    }
  }
}

// Output rows [first, last).
__attribute__((target("avx2"))) void depthwise_dot_rows(const int16_t* frame, uint32_t cols,
                                                        const PackedDepthwise& w, const Sweep& g, int32_t* out,
                                                        size_t first, size_t last) {
  constexpr int P = 4;
  const size_t C = w.channels, groups = (C + 15) / 16, width = groups * 16, taps = size_t(w.k0) * w.k1;
  std::vector<size_t> off(taps);
  for (size_t r0 = 0; r0 < w.k0; ++r0)
    for (size_t r1 = 0; r1 < w.k1; ++r1) off[r0 * w.k1 + r1] = (r0 * cols + r1) * width;
  const size_t step = size_t(g.s1) * width, wstride = groups * 32;
  for (size_t o0 = first; o0 < last; ++o0) {
    const int16_t* xr = frame + o0 * g.s0 * cols * width;
    for (size_t cg = 0; cg < groups; ++cg) {
      const size_t valid = std::min<size_t>(16, C - cg * 16);
      const int16_t* wg = w.pairs.data() + cg * 32;
      int32_t* o = out + o0 * g.out1 * C + cg * 16;
      uint32_t o1 = 0;
      for (; o1 + P <= g.out1; o1 += P)
        depthwise_tile<P>(xr + o1 * step + cg * 16, step, off.data(), taps, wg, wstride, o + o1 * C, C, valid);
      for (; o1 < g.out1; ++o1)
        depthwise_tile<1>(xr + o1 * step + cg * 16, step, off.data(), taps, wg, wstride, o + o1 * C, C, valid);
    }
  }
}

}  // namespace

bool depthwise_dot(const int16_t* frame, uint32_t cols, const PackedDepthwise& w, const Sweep& g, int32_t* out,
                   unsigned threads) {
  if (active_isa() == Isa::generic || w.pairs.empty()) return false;
  parallel::for_chunks(g.out0, threads, [&](unsigned, size_t first, size_t last) {
    depthwise_dot_rows(frame, cols, w, g, out, first, last);
  });
  return true;
}

#else

bool conv2d_dot(const int16_t*, uint32_t, uint32_t, const PackedFilters&, const Sweep&, int32_t*, unsigned) {
  return false;
}
bool conv2d_dot(const int16_t*, uint32_t, const PackedFilters&, const Sweep&, const RowsOut&, unsigned) {
  return false;
}
bool conv2d_dot8(const uint8_t*, uint32_t, const PackedFilters&, const Sweep&, uint32_t, const RowsOut&, unsigned) {
  return false;
}
bool depthwise_dot(const int16_t*, uint32_t, const PackedDepthwise&, const Sweep&, int32_t*, unsigned) {
  return false;
}

#endif

}  // namespace ovrix::ops::kernel
