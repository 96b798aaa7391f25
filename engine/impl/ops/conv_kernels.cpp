// Raw convolution kernels: plain loops over contiguous buffers. The innermost loop always runs over the last
// (contiguous) axis of the output, so the compiler can vectorize it; kernel positions that fall outside
// the input are skipped by computing the valid kernel range once per output row and column.
#include "engine/impl/ops/kernels.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "engine/impl/ops/arith.h"
#include "engine/impl/ops/lanes.h"
#include "engine/impl/parallel.h"

#if OVRIX_LANES
#include <immintrin.h>
#endif

namespace ovrix::ops::kernel {

std::pair<uint32_t, uint32_t> frame_size(const Sweep& g) {
  const int64_t rows = std::max<int64_t>(int64_t{g.out0 - 1} * g.s0 + g.k0, int64_t{g.p0} + g.d0);
  const int64_t cols = std::max<int64_t>(int64_t{g.out1 - 1} * g.s1 + g.k1, int64_t{g.p1} + g.d1);
  return {uint32_t(rows), uint32_t(cols)};
}

OVRIX_VECTOR_KERNEL void value_range(const int32_t* x, size_t n, int32_t& lo, int32_t& hi) {
  int32_t a = lo, b = hi;
  for (size_t i = 0; i < n; ++i) {
    a = std::min(a, x[i]);
    b = std::max(b, x[i]);
  }
  lo = a;
  hi = b;
}

std::vector<int32_t> widen(const int8_t* w, size_t count) { return std::vector<int32_t>(w, w + count); }

PackedFilters pack_filters(const int32_t* w, uint32_t k0, uint32_t k1, uint32_t channels, uint32_t filters) {
  PackedFilters p;
  p.k0 = k0;
  p.k1 = k1;
  p.channels = channels;
  p.filters = filters;
  p.block = filters >= 32 ? 32 : (filters >= 16 ? 16 : 8);
  const size_t taps = size_t(k0) * k1 * channels, B = p.block;
  const size_t blocks = (size_t(filters) + B - 1) / B;
  p.values.assign(blocks * taps * B, 0);
  for (size_t t = 0; t < taps; ++t)
    for (size_t f = 0; f < filters; ++f) p.values[(f / B) * taps * B + t * B + f % B] = w[t * filters + f];
  p.pair_block = filters > 8 ? 16 : 8;
  pack_pairs(p, w);
  pack_quads(p, w);
  return p;
}

namespace {

// One block of B filters at a time: its accumulators (a fixed-size array) stay in registers while every
// valid tap and channel is added. Rows [first, last), row `first` at `out`.
template <size_t B>
inline __attribute__((always_inline)) void conv2d_blocks(const int32_t* x, const PackedFilters& w, const Sweep& g,
                                                         int32_t* out, uint32_t first, uint32_t last) {
  const size_t C = w.channels, F = w.filters;
  const size_t blocks = (F + B - 1) / B;
  const size_t block_size = size_t(g.k0) * g.k1 * C * B;
  for (uint32_t o0 = first; o0 < last; ++o0) {
    const Taps t0 = taps(o0, g.s0, g.p0, g.k0, g.d0);
    for (uint32_t o1 = 0; o1 < g.out1; ++o1) {
      const Taps t1 = taps(o1, g.s1, g.p1, g.k1, g.d1);
      int32_t* op = out + (size_t(o0 - first) * g.out1 + o1) * F;
      for (size_t b = 0; b < blocks; ++b) {
        uint32_t a[B] = {};
        const int32_t* wb = w.values.data() + b * block_size;
        for (int64_t r0 = t0.lo, i0 = t0.first; r0 < t0.hi; ++r0, ++i0) {
          for (int64_t r1 = t1.lo, i1 = t1.first; r1 < t1.hi; ++r1, ++i1) {
            const int32_t* xp = x + (size_t(i0) * g.d1 + size_t(i1)) * C;
            const int32_t* wp = wb + (size_t(r0) * g.k1 + size_t(r1)) * C * B;
            for (size_t c = 0; c < C; ++c) {
              const uint32_t xv = static_cast<uint32_t>(xp[c]);
              if (xv == 0) continue;  // activations are often 0 after a ReLU
              const int32_t* wc = wp + c * B;
              for (size_t j = 0; j < B; ++j) a[j] += xv * static_cast<uint32_t>(wc[j]);
            }
          }
        }
        const size_t n = std::min(B, F - b * B);
        for (size_t j = 0; j < n; ++j) op[b * B + j] = arith::as_signed(a[j]);
      }
    }
  }
}

// Output rows [first, last), row `first` at `out`.
OVRIX_VECTOR_KERNEL void conv2d_rows(const int32_t* x, const PackedFilters& w, const Sweep& g, int32_t* out,
                                     uint32_t first, uint32_t last) {
  switch (w.block) {
    case 32: conv2d_blocks<32>(x, w, g, out, first, last); break;
    case 16: conv2d_blocks<16>(x, w, g, out, first, last); break;
    default: conv2d_blocks<8>(x, w, g, out, first, last);
  }
}

void conv2d_generic(const int32_t* x, const PackedFilters& w, const Sweep& g, const RowsOut& to, unsigned threads) {
  parallel::for_chunks(g.out0, threads, [&](unsigned, size_t first, size_t last) {
    by_row_groups(to, first, last,
                  [&](size_t a, size_t b, int32_t* out) { conv2d_rows(x, w, g, out, uint32_t(a), uint32_t(b)); });
  });
}

// n values plus offset as T, N lanes at a time, then fewer (T holds each of them: the caller checked).
// With `range`, the values' range is taken into range[0] .. range[1] from the same loads.
template <int N, class T>
inline __attribute__((always_inline)) void convert_values(const int32_t* x, size_t n, int32_t offset, T* f,
                                                          int32_t* range) {
  using V = typename lanes::Of<N>::i32;
  using O = lanes::lanes_of<T, N>;
  const V off = lanes::splat<V>(offset);
  size_t i = 0;
  if (range && n >= N) {
    V lo = V{} + std::numeric_limits<int32_t>::max(), hi = V{} + std::numeric_limits<int32_t>::min();
    for (; i + N <= n; i += N) {
      const V v = lanes::load<V>(x + i);
      lo = lanes::vmin(lo, v);
      hi = lanes::vmax(hi, v);
      lanes::store(f + i, __builtin_convertvector(v + off, O));
    }
    lanes::widen_range(lo, hi, range);
  }
  for (; i + N <= n; i += N) lanes::store(f + i, __builtin_convertvector(lanes::load<V>(x + i) + off, O));
  if constexpr (N > 1) convert_values<N / 2>(x + i, n - i, offset, f + i, range);
}

// Positions of C channels into positions of W, the extra channels 0 (and the values' range as above).
template <size_t C, size_t W, class T>
inline __attribute__((always_inline)) void widen_positions(const int32_t* x, uint32_t n, int32_t offset, T* f,
                                                           int32_t* range) {
  int32_t lo = std::numeric_limits<int32_t>::max(), hi = std::numeric_limits<int32_t>::min();
  for (uint32_t q = 0; q < n; ++q, x += C, f += W) {
    for (size_t c = 0; c < C; ++c) {
      f[c] = static_cast<T>(x[c] + offset);
      lo = std::min(lo, x[c]);
      hi = std::max(hi, x[c]);
    }
    for (size_t c = C; c < W; ++c) f[c] = 0;
  }
  if (range) range[0] = std::min(range[0], lo), range[1] = std::max(range[1], hi);
}

// Three-channel positions (an RGB image) into byte quads, four positions a step from loads of 16 values
// (the 4 values after the 12 used are the next positions' or the step is not taken), and their range;
// returns the positions done. Every value plus offset lies in 0 .. 255 when the frame is used, so
// narrowing by truncation (AVX-512) and by unsigned saturation (AVX2) give the same bytes.
#if OVRIX_LANES
OVRIX_LANES_AVX512 uint32_t rgb_quads_avx512(const int32_t* x, uint32_t n, int32_t offset, uint8_t* f,
                                             int32_t* range) {
  const __m512i off = _mm512_set1_epi32(offset);
  const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  using V = lanes::Of<16>::i32;
  V lo = V{} + std::numeric_limits<int32_t>::max(), hi = V{} + std::numeric_limits<int32_t>::min();
  uint32_t q = 0;
  for (; size_t(q) * 3 + 16 <= size_t(n) * 3; q += 4, x += 12, f += 16) {
    const V v = lanes::load<V>(x);
    lo = lanes::vmin(lo, v);
    hi = lanes::vmax(hi, v);
    const __m128i bytes = _mm512_mask_cvtepi32_epi8(_mm_setzero_si128(), 0xFFFF, _mm512_add_epi32(__m512i(v), off));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(f), _mm_shuffle_epi8(bytes, spread));
  }
  if (range && q > 0) lanes::widen_range(lo, hi, range);
  return q;
}

OVRIX_LANES_AVX2 uint32_t rgb_quads_avx2(const int32_t* x, uint32_t n, int32_t offset, uint8_t* f, int32_t* range) {
  const __m256i off = _mm256_set1_epi32(offset);
  const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  __m256i lo = _mm256_set1_epi32(std::numeric_limits<int32_t>::max());
  __m256i hi = _mm256_set1_epi32(std::numeric_limits<int32_t>::min());
  uint32_t q = 0;
  for (; size_t(q) * 3 + 16 <= size_t(n) * 3; q += 4, x += 12, f += 16) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 8));
    lo = _mm256_min_epi32(lo, _mm256_min_epi32(a, b));
    hi = _mm256_max_epi32(hi, _mm256_max_epi32(a, b));
    const __m256i words =
        _mm256_permute4x64_epi64(_mm256_packus_epi32(_mm256_add_epi32(a, off), _mm256_add_epi32(b, off)), 0xD8);
    const __m128i bytes = _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(f), _mm_shuffle_epi8(bytes, spread));
  }
  if (range && q > 0) lanes::widen_range(lanes::Of<8>::i32(lo), lanes::Of<8>::i32(hi), range);
  return q;
}
#endif

template <int N>
inline __attribute__((always_inline)) uint32_t rgb_quads([[maybe_unused]] const int32_t* x,
                                                         [[maybe_unused]] uint32_t n,
                                                         [[maybe_unused]] int32_t offset,
                                                         [[maybe_unused]] uint8_t* f,
                                                         [[maybe_unused]] int32_t* range) {
#if OVRIX_LANES
  if constexpr (N == 16) return rgb_quads_avx512(x, n, offset, f, range);
  if constexpr (N == 8) return rgb_quads_avx2(x, n, offset, f, range);
#endif
  return 0;
}

// One row of the image, n positions of C channels, into positions of `width` channels of T (and the
// values' range with `range`).
template <int N, class T>
inline __attribute__((always_inline)) void frame_row(const int32_t* x, uint32_t n, size_t C, size_t width,
                                                     int32_t offset, T* f, int32_t* range) {
  if (C == width) return convert_values<N>(x, size_t(n) * C, offset, f, range);
  // Small channel counts (an input image's): fixed copies a position.
  if (C == 1 && width == 2) return widen_positions<1, 2>(x, n, offset, f, range);
  if (C == 1 && width == 4) return widen_positions<1, 4>(x, n, offset, f, range);
  if (C == 2 && width == 4) return widen_positions<2, 4>(x, n, offset, f, range);
  if (C == 3 && width == 4) {
    uint32_t done = 0;
    if constexpr (std::is_same_v<T, uint8_t>) done = rgb_quads<N>(x, n, offset, f, range);
    return widen_positions<3, 4>(x + size_t(done) * 3, n - done, offset, f + size_t(done) * 4, range);
  }
  if (range) value_range(x, size_t(n) * C, range[0], range[1]);
  for (uint32_t q = 0; q < n; ++q, x += C, f += width) {
    convert_values<N>(x, C, offset, f, nullptr);
    std::fill(f + C, f + width, T{0});
  }
}

// The image at (p0, p1) in a frame of (rows, cols) positions of `width` channels (C rounded up, the extra
// channels 0), its border holding pad_values (zeros when null), every value plus `offset`, as T. The
// image's rows are converted whole; rows of padding are copies of the first one written. With `range`,
// the range of the image's values is taken into range[0] .. range[1] on the way (so that the image is
// read from memory once).
template <int N, class T>
inline __attribute__((always_inline)) void fill_frame_lanes(const int32_t* x, const int32_t* pad_values,
                                                            const Sweep& g, size_t C, size_t width, int32_t offset,
                                                            T* frame, int32_t* range) {
  const auto [rows, cols] = frame_size(g);
  thread_local std::vector<T> pad;  // one position of padding
  pad.resize(width);
  for (size_t c = 0; c < width; ++c) pad[c] = static_cast<T>(c < C ? (pad_values ? pad_values[c] : 0) + offset : 0);
  const size_t row = size_t(cols) * width;
  const T* pad_row = nullptr;
  const size_t left = size_t(g.p1), right = size_t(cols) - left - g.d1;
  // Positions [first, first + n) of a frame row hold padding.
  auto pad_positions = [&](T* fr, size_t first, size_t n) {
    if (pad_row) {
      std::memcpy(fr + first * width, pad_row + first * width, n * width * sizeof(T));
      return;
    }
    if (width * sizeof(T) == 4) {  // a quad of bytes or a pair of 16-bit values: one word a position
      uint32_t word;
      std::memcpy(&word, pad.data(), 4);
      for (size_t q = first; q < first + n; ++q) std::memcpy(fr + q * width, &word, 4);
      return;
    }
    for (size_t q = first; q < first + n; ++q) std::memcpy(fr + q * width, pad.data(), width * sizeof(T));
  };
  for (uint32_t r = 0; r < rows; ++r) {
    T* fr = frame + r * row;
    if (r >= uint32_t(g.p0) && r - uint32_t(g.p0) < g.d0) {
      pad_positions(fr, 0, left);
      frame_row<N>(x + (size_t(r) - g.p0) * g.d1 * C, g.d1, C, width, offset, fr + left * width, range);
      pad_positions(fr, left + g.d1, right);
    } else {
      pad_positions(fr, 0, cols);
      pad_row = fr;
    }
  }
}

#if OVRIX_LANES
template <class T>
OVRIX_LANES_AVX512 void fill_frame_avx512(const int32_t* x, const int32_t* pad_values, const Sweep& g, size_t C,
                                          size_t width, int32_t offset, T* frame, int32_t* range) {
  fill_frame_lanes<16>(x, pad_values, g, C, width, offset, frame, range);
}
template <class T>
OVRIX_LANES_AVX2 void fill_frame_avx2(const int32_t* x, const int32_t* pad_values, const Sweep& g, size_t C,
                                      size_t width, int32_t offset, T* frame, int32_t* range) {
  fill_frame_lanes<8>(x, pad_values, g, C, width, offset, frame, range);
}
#endif

template <class T>
void fill_frame(const int32_t* x, const int32_t* pad_values, const Sweep& g, size_t C, size_t width, int32_t offset,
                std::vector<T>& frame, int32_t* range = nullptr) {
  const auto [rows, cols] = frame_size(g);
  frame.resize(size_t(rows) * cols * width);
  switch (lanes::width()) {
#if OVRIX_LANES
    case lanes::Width::avx512: return fill_frame_avx512(x, pad_values, g, C, width, offset, frame.data(), range);
    case lanes::Width::avx2: return fill_frame_avx2(x, pad_values, g, C, width, offset, frame.data(), range);
#endif
    default: fill_frame_lanes<1>(x, pad_values, g, C, width, offset, frame.data(), range);
  }
}


}  // namespace

ConvPath conv_path(const PackedFilters& w, int32_t lo, int32_t hi) {
  if (active_isa() == Isa::generic) return ConvPath::plain;
  const bool quads = !w.quads.empty() && (w.quads_within_64 || active_isa() == Isa::avx512vnni);
  if (quads && lo >= -128 && hi <= 255 && (lo >= 0 || hi <= 127)) return ConvPath::quads;
  if (!w.pairs.empty() && lo >= std::numeric_limits<int16_t>::min() && hi <= std::numeric_limits<int16_t>::max())
    return ConvPath::pairs;
  return ConvPath::plain;
}

namespace {

// Runs a dot-product convolution when the processor has one and every value of the sample and of its
// padding fits it: the 8-bit products for values in 0 .. 255 or -128 .. 127 (taken plus 128) with 8-bit
// weights (within -64 .. 64 without VNNI), else the 16-bit pairs for values within 16 bits; false when
// neither applies. The frame of the widest products the weights allow is filled as the values' range is
// taken, on the guess that the values fit it (activations after a ReLU lie in 0 .. 255): only a sample
// that proves the guess wrong is framed again.
bool conv2d_framed(const int32_t* x, const int32_t* pad_values, const PackedFilters& w, const Sweep& g,
                   const RowsOut& to, unsigned threads) {
  if ((w.pairs.empty() && w.quads.empty()) || active_isa() == Isa::generic || g.p0 < 0 || g.p1 < 0) return false;
  const size_t C = w.channels;
  int32_t range[2] = {std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()};
  const bool bytes = !w.quads.empty() && (w.quads_within_64 || active_isa() == Isa::avx512vnni);
  thread_local std::vector<uint8_t> quads;
  thread_local std::vector<int16_t> pairs;
  bool paired = false;
  if (bytes) {
    fill_frame(x, pad_values, g, C, (C + 3) / 4 * 4, 0, quads, range);
  } else {
    fill_frame(x, pad_values, g, C, (C + 1) / 2 * 2, 0, pairs, range);
    paired = true;
  }
  int32_t& lo = range[0];
  int32_t& hi = range[1];
  if (pad_values)
    value_range(pad_values, C, lo, hi);
  else
    lo = std::min(lo, 0), hi = std::max(hi, 0);
  const auto cols = frame_size(g).second;
  const ConvPath path = conv_path(w, lo, hi);
  if (path == ConvPath::quads) {
    const int32_t offset = lo >= 0 ? 0 : 128;
    if (offset != 0) fill_frame(x, pad_values, g, C, (C + 3) / 4 * 4, offset, quads);
    return conv2d_dot8(quads.data(), cols, w, g, uint32_t(offset), to, threads);
  }
  if (path != ConvPath::pairs) return false;
  if (!paired) fill_frame(x, pad_values, g, C, (C + 1) / 2 * 2, 0, pairs);
  return conv2d_dot(pairs.data(), cols, w, g, to, threads);
}

void conv2d_to(const int32_t* x, const PackedFilters& w, const Sweep& g, const RowsOut& to, unsigned threads) {
  if (!conv2d_framed(x, nullptr, w, g, to, threads)) conv2d_generic(x, w, g, to, threads);
}

}  // namespace

void conv2d(const int32_t* x, const PackedFilters& w, const Sweep& g, int32_t* out, unsigned threads) {
  conv2d_to(x, w, g, RowsOut{out, nullptr, size_t(g.out1) * w.filters}, threads);
}

void conv2d(const int32_t* x, const PackedFilters& w, const Sweep& g, const RowSink& sink, unsigned threads) {
  conv2d_to(x, w, g, RowsOut{nullptr, &sink, size_t(g.out1) * w.filters}, threads);
}

namespace {

// Output rows [first, last).
// Channels [c0, c0 + n) of one output position, n <= B: the accumulators stay in registers (a local array
// the compiler knows nothing else points to) while the valid taps are added.
template <size_t B, bool full>
inline __attribute__((always_inline)) void depthwise_block(const int32_t* x, const int32_t* w, const Sweep& g,
                                                           size_t C, size_t c0, size_t n, const Taps& t0,
                                                           const Taps& t1, int32_t* op) {
  uint32_t a[B] = {};
  for (int64_t r0 = t0.lo, i0 = t0.first; r0 < t0.hi; ++r0, ++i0) {
    for (int64_t r1 = t1.lo, i1 = t1.first; r1 < t1.hi; ++r1, ++i1) {
      const int32_t* xp = x + (size_t(i0) * g.d1 + size_t(i1)) * C + c0;
      const int32_t* wp = w + (size_t(r0) * g.k1 + size_t(r1)) * C + c0;
      for (size_t j = 0; j < (full ? B : n); ++j) a[j] += static_cast<uint32_t>(xp[j]) * static_cast<uint32_t>(wp[j]);
    }
  }
  for (size_t j = 0; j < (full ? B : n); ++j) op[c0 + j] = arith::as_signed(a[j]);
}

OVRIX_VECTOR_KERNEL void depthwise_rows(const int32_t* x, uint32_t channels, const int32_t* w, const Sweep& g,
                                        int32_t* out, uint32_t first, uint32_t last) {
  constexpr size_t B = 16;
  const size_t C = channels;
  for (uint32_t o0 = first; o0 < last; ++o0) {
    const Taps t0 = taps(o0, g.s0, g.p0, g.k0, g.d0);
    for (uint32_t o1 = 0; o1 < g.out1; ++o1) {
      const Taps t1 = taps(o1, g.s1, g.p1, g.k1, g.d1);
      int32_t* op = out + (size_t(o0) * g.out1 + o1) * C;
      size_t c0 = 0;
      for (; c0 + B <= C; c0 += B) depthwise_block<B, true>(x, w, g, C, c0, B, t0, t1, op);
      if (c0 < C) depthwise_block<B, false>(x, w, g, C, c0, C - c0, t0, t1, op);
    }
  }
}

}  // namespace

void depthwise_conv2d(const int32_t* x, uint32_t channels, const int32_t* w, const Sweep& g, int32_t* out,
                      unsigned threads) {
  parallel::for_chunks(g.out0, threads, [&](unsigned, size_t first, size_t last) {
    depthwise_rows(x, channels, w, g, out, uint32_t(first), uint32_t(last));
  });
}

ConvPath depthwise_path(const PackedDepthwise& w, int32_t lo, int32_t hi) {
  if (active_isa() == Isa::generic || w.pairs.empty()) return ConvPath::plain;
  return lo >= std::numeric_limits<int16_t>::min() && hi <= std::numeric_limits<int16_t>::max() ? ConvPath::pairs
                                                                                                  : ConvPath::plain;
}

void depthwise_conv2d(const int32_t* x, const PackedDepthwise& w, const Sweep& g, int32_t* out, unsigned threads) {
  const size_t C = w.channels;
  if (g.p0 >= 0 && g.p1 >= 0 && !w.pairs.empty() && active_isa() != Isa::generic) {
    int32_t lo = 0, hi = 0;  // the padding reads 0
    value_range(x, size_t(g.d0) * g.d1 * C, lo, hi);
    if (depthwise_path(w, lo, hi) == ConvPath::pairs) {
      thread_local std::vector<int16_t> frame;
      fill_frame(x, nullptr, g, C, (C + 15) / 16 * 16, 0, frame);
      if (depthwise_dot(frame.data(), frame_size(g).second, w, g, out, threads)) return;
    }
  }
  depthwise_conv2d(x, w.channels, w.values.data(), g, out, threads);
}

bool conv2d_bytes(const uint8_t* frame, const PackedFilters& w, const Sweep& g, const RowsOut& to,
                  unsigned threads) {
  if (g.p0 < 0 || g.p1 < 0 || conv_path(w, 0, 255) != ConvPath::quads) return false;
  return conv2d_dot8(frame, frame_size(g).second, w, g, 0, to, threads);
}

namespace {

void input_conv2d_to(const int32_t* x, const int32_t* pad_values, const PackedFilters& w, const Sweep& g,
                     std::vector<int32_t>& padded, const RowsOut& to, unsigned threads) {
  if (conv2d_framed(x, pad_values, w, g, to, threads)) return;
  // The image inside a frame of padding values large enough for every window, then a plain convolution
  // of that frame without padding.
  const size_t C = w.channels;
  const auto [rows, cols] = frame_size(g);
  padded.resize(size_t(rows) * size_t(cols) * C);
  for (size_t i = 0; i < padded.size(); i += C) std::copy(pad_values, pad_values + C, padded.data() + i);
  for (uint32_t i0 = 0; i0 < g.d0; ++i0)
    std::copy(x + size_t(i0) * g.d1 * C, x + size_t(i0 + 1) * g.d1 * C,
              padded.data() + ((size_t(i0) + g.p0) * size_t(cols) + size_t(g.p1)) * C);
  Sweep frame = g;
  frame.d0 = uint32_t(rows);
  frame.d1 = uint32_t(cols);
  frame.p0 = frame.p1 = 0;
  conv2d_generic(padded.data(), w, frame, to, threads);
}

}  // namespace

void input_conv2d(const int32_t* x, const int32_t* pad_values, const PackedFilters& w, const Sweep& g,
                  std::vector<int32_t>& padded, int32_t* out, unsigned threads) {
  input_conv2d_to(x, pad_values, w, g, padded, RowsOut{out, nullptr, size_t(g.out1) * w.filters}, threads);
}

void input_conv2d(const int32_t* x, const int32_t* pad_values, const PackedFilters& w, const Sweep& g,
                  std::vector<int32_t>& padded, const RowSink& sink, unsigned threads) {
  input_conv2d_to(x, pad_values, w, g, padded, RowsOut{nullptr, &sink, size_t(g.out1) * w.filters}, threads);
}

namespace {

// Shared body of the two transposed convolutions; `depthwise` selects the weight layout.
template <bool depthwise>
OVRIX_VECTOR_KERNEL void transpose_body(const int32_t* x, uint32_t channels, const int32_t* w, uint32_t filters, const Sweep& g,
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
