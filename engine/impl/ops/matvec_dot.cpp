// The dense product on the processor's 8-bit dot products.
//
// The sample's values, each in 0 .. 255 (or in -128 .. 127, then taken plus 128), are bytes in row quads;
// the weights are packed in the same quads, a block of up to 64 columns at a time (kernels.h). Each quad
// of the sample is broadcast against the quads of the block's columns, so that every 32-bit lane gathers
// one column's four products:
// - with AVX-512 VNNI, `vpdpbusd` adds the four 8 x 8-bit products into the lane without saturating, so
//   any 8-bit weights qualify; two sets of accumulators (even and odd quads) hide its latency;
// - with AVX2 alone, `vpmaddubsw` adds pairs of products into 16-bit lanes that saturate, so only weights
//   within -64 .. 64 qualify (two products of at most 255 x 64 stay within 32767); `vpmaddwd` by ones then
//   adds the pairs into 32-bit lanes, exactly.
// The lanes are then added to the accumulators with wrapping 32-bit additions, and the offset's share
// (offset x the column's sum of weights) taken back the same way, which gives the plain kernel's integers.
#include <algorithm>
#include <cstring>

#include "engine/impl/ops/kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace ovrix::ops::kernel {

#if defined(__x86_64__) && defined(__GNUC__)

namespace {

// One block: xq the sample's quads, wb the block's weights (`width` columns a quad), acc and sums at the
// block's first column, `valid` columns of it real.
template <int NV>
__attribute__((target("avx2,avx512f,avx512vl,avx512bw,avx512vnni"))) void block_vnni(
    const uint8_t* xq, size_t quads, const int8_t* wb, size_t width, uint32_t offset, const uint32_t* sums,
    uint32_t* acc, size_t valid) {
  __m512i even[NV], odd[NV];
  for (int v = 0; v < NV; ++v) even[v] = odd[v] = _mm512_setzero_si512();
  const size_t wstep = width * 4;
  size_t q = 0;
  for (; q + 2 <= quads; q += 2, wb += 2 * wstep) {
    int32_t a, b;
    std::memcpy(&a, xq + 4 * q, 4);
    std::memcpy(&b, xq + 4 * q + 4, 4);
    const __m512i xa = _mm512_set1_epi32(a), xb = _mm512_set1_epi32(b);
    for (int v = 0; v < NV; ++v) {
      even[v] = _mm512_dpbusd_epi32(even[v], xa, _mm512_loadu_si512(wb + v * 64));
      odd[v] = _mm512_dpbusd_epi32(odd[v], xb, _mm512_loadu_si512(wb + wstep + v * 64));
    }
  }
  if (q < quads) {
    int32_t a;
    std::memcpy(&a, xq + 4 * q, 4);
    const __m512i xa = _mm512_set1_epi32(a);
    for (int v = 0; v < NV; ++v) even[v] = _mm512_dpbusd_epi32(even[v], xa, _mm512_loadu_si512(wb + v * 64));
  }
  const __m512i off = _mm512_set1_epi32(int32_t(offset));
  for (int v = 0; v < NV; ++v) {
    const size_t first = size_t(v) * 16;
    if (first >= valid) break;
    const __mmask16 m = valid - first >= 16 ? __mmask16(0xffff) : __mmask16((1u << (valid - first)) - 1);
    const __m512i s = _mm512_mullo_epi32(_mm512_maskz_loadu_epi32(m, sums + first), off);
    const __m512i r = _mm512_sub_epi32(_mm512_add_epi32(_mm512_add_epi32(even[v], odd[v]),
                                                        _mm512_maskz_loadu_epi32(m, acc + first)),
                                       s);
    _mm512_mask_storeu_epi32(acc + first, m, r);
  }
}

template <int NV>
__attribute__((target("avx2"))) void block_avx2(const uint8_t* xq, size_t quads, const int8_t* wb, size_t width,
                                                uint32_t offset, const uint32_t* sums, uint32_t* acc,
                                                size_t valid) {
  __m256i a[NV];
  for (int v = 0; v < NV; ++v) a[v] = _mm256_setzero_si256();
  const __m256i ones = _mm256_set1_epi16(1);
  const size_t wstep = width * 4;
  for (size_t q = 0; q < quads; ++q, wb += wstep) {
    int32_t quad;
    std::memcpy(&quad, xq + 4 * q, 4);
    const __m256i xv = _mm256_set1_epi32(quad);
    for (int v = 0; v < NV; ++v) {
      const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wb + v * 32));
      a[v] = _mm256_add_epi32(a[v], _mm256_madd_epi16(_mm256_maddubs_epi16(xv, w), ones));
    }
  }
  alignas(32) uint32_t lanes[NV * 8];
  for (int v = 0; v < NV; ++v) _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + v * 8), a[v]);
  for (size_t j = 0; j < valid; ++j) acc[j] += lanes[j] - offset * sums[j];
}

// Columns of a panel: the rows listed are read a panel at a time, so that each row is read as one run of
// bytes (the hardware prefetches runs, not hundreds of scattered lines), against accumulators that stay in
// the first-level cache.
constexpr size_t kPanel = 4096;

}  // namespace

namespace avx2_rows {
#define OVRIX_ROWS_VNNI 0
#define OVRIX_ROWS_TARGET __attribute__((target("avx2")))
#include "engine/impl/ops/matvec_rows.inc"
#undef OVRIX_ROWS_TARGET
#undef OVRIX_ROWS_VNNI
}  // namespace avx2_rows

namespace vnni_rows {
#define OVRIX_ROWS_VNNI 1
#define OVRIX_ROWS_TARGET __attribute__((target("avx2,avx512f,avx512vl,avx512vnni")))
#include "engine/impl/ops/matvec_rows.inc"
#undef OVRIX_ROWS_TARGET
#undef OVRIX_ROWS_VNNI
}  // namespace vnni_rows

bool matvec_dot8(const uint8_t* xq, const PackedMatrix& w, uint32_t offset, uint32_t* acc, size_t first_block,
                 size_t last_block) {
  const Isa isa = active_isa();
  if (w.quads.empty() || isa == Isa::generic || (isa == Isa::avx2 && w.beyond_64 != 0)) return false;
  const size_t quads = (size_t(w.rows) + 3) / 4, B = matrix_quad_block;
  for (size_t b = first_block; b < last_block; ++b) {
    const size_t c0 = b * B, valid = std::min<size_t>(B, w.cols - c0), width = quad_width(valid);
    const int8_t* wb = w.quads.data() + b * quads * B * 4;
    const uint32_t* s = w.sums.data() + c0;
    if (isa == Isa::avx512vnni) {
      switch (width / 16) {
        case 4: block_vnni<4>(xq, quads, wb, width, offset, s, acc + c0, valid); break;
        case 3: block_vnni<3>(xq, quads, wb, width, offset, s, acc + c0, valid); break;
        case 2: block_vnni<2>(xq, quads, wb, width, offset, s, acc + c0, valid); break;
        default: block_vnni<1>(xq, quads, wb, width, offset, s, acc + c0, valid);
      }
    } else {
      switch (width / 16) {
        case 4: block_avx2<8>(xq, quads, wb, width, offset, s, acc + c0, valid); break;
        case 3: block_avx2<6>(xq, quads, wb, width, offset, s, acc + c0, valid); break;
        case 2: block_avx2<4>(xq, quads, wb, width, offset, s, acc + c0, valid); break;
        default: block_avx2<2>(xq, quads, wb, width, offset, s, acc + c0, valid);
      }
    }
  }
  return true;
}

bool matvec_dot8(const uint8_t* bytes, const uint32_t* rows, size_t count, const RowsOf8& w, uint32_t offset,
                 uint32_t* acc, size_t first, size_t last) {
  const Isa isa = active_isa();
  if (isa == Isa::generic || (isa == Isa::avx2 && w.beyond_64 != 0)) return false;
  size_t c0 = first;
  while (last - c0 >= 32) {
    const size_t n = std::min(avx2_rows::kPanel, (last - c0) / 32 * 32);
    if (isa == Isa::avx512vnni)
      vnni_rows::rows_panel(bytes, rows, count, w.w, w.cols, c0, n, offset, w.sums.data(), acc);
    else
      avx2_rows::rows_panel(bytes, rows, count, w.w, w.cols, c0, n, offset, w.sums.data(), acc);
    c0 += n;
  }
  // The last columns, fewer than 32, one by one.
  for (; c0 < last; ++c0) {
    uint32_t sum = 0;
    for (size_t k = 0; k < count; ++k)
      sum += uint32_t{bytes[k]} * static_cast<uint32_t>(int32_t{w.w[size_t(rows[k]) * w.cols + c0]});
    acc[c0] += sum - offset * w.sums[c0];
  }
  return true;
}

#else

bool matvec_dot8(const uint8_t*, const PackedMatrix&, uint32_t, uint32_t*, size_t, size_t) { return false; }
bool matvec_dot8(const uint8_t*, const uint32_t*, size_t, const RowsOf8&, uint32_t, uint32_t*, size_t, size_t) {
  return false;
}

#endif

}  // namespace ovrix::ops::kernel
