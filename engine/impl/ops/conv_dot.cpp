// Convolution on the processor's integer dot products.
//
// The activations are narrowed to 16 bits (when every value of the sample fits) and laid out in a frame
// that already holds the padding, channels paired; the weights are packed in the same pairs. One
// `vpmaddwd` multiplies 16 such values by 16 weights and adds each pair into a 32-bit lane: a pair sum
// of two 16 x 8-bit products stays below 2^24, so it is exact, and the lanes are then added with
// wrapping 32-bit additions, which give the same accumulator as the plain kernel whatever the order.
// (`vpmaddubsw` is not used: it saturates its 16-bit pair sums.) Other processors take the plain kernel.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "engine/impl/ops/kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace ovrix::ops::kernel {

namespace {

Isa detect_isa() {
  Isa best = Isa::generic;
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) best = Isa::avx2;
#endif
  // OVRIX_ISA may ask for a path below the processor's best (never above it).
  if (const char* want = std::getenv("OVRIX_ISA")) {
    const std::string_view w(want);
    if (w == "generic") best = Isa::generic;
  }
  return best;
}

}  // namespace

Isa active_isa() {
  static const Isa isa = detect_isa();
  return isa;
}

const char* isa_name(Isa isa) { return isa == Isa::avx2 ? "avx2" : "generic"; }

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

bool conv2d_dot(const int16_t* frame, uint32_t rows, uint32_t cols, const PackedFilters& w, const Sweep& g,
                int32_t* out) {
  (void)rows;
  if (active_isa() != Isa::avx2 || w.pairs.empty()) return false;
  const size_t cpairs = (size_t(w.channels) + 1) / 2, F = w.filters, B = w.pair_block;
  const size_t block_size = size_t(w.k0) * w.k1 * cpairs * B * 2;
  const size_t row = size_t(cols) * cpairs * 2, step = size_t(g.s1) * cpairs * 2;
  for (size_t b = 0; b * B < F; ++b) {
    const size_t valid = std::min(B, F - b * B);
    const int16_t* wb = w.pairs.data() + b * block_size;
    for (uint32_t o0 = 0; o0 < g.out0; ++o0) {
      const int16_t* x = frame + size_t(o0) * g.s0 * row;
      int32_t* o = out + size_t(o0) * g.out1 * F + b * B;
      if (B == 16)
        dot_row<2, 6>(x, step, wb, g.k0, g.k1, row, cpairs, o, F, valid, g.out1);
      else
        dot_row<1, 12>(x, step, wb, g.k0, g.k1, row, cpairs, o, F, valid, g.out1);
    }
  }
  return true;
}

#else

bool conv2d_dot(const int16_t*, uint32_t, uint32_t, const PackedFilters&, const Sweep&, int32_t*) { return false; }

#endif

}  // namespace ovrix::ops::kernel
