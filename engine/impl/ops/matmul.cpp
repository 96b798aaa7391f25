// Matrix product family.
//
// The dense layers' product takes `vpmaddwd` when every input value and weight fits 16 bits: a broadcast
// pair of inputs (x[i], x[i + 1]) against the pairs (w[i][j], w[i + 1][j]) of 8 columns gives each column
// x[i] w[i][j] + x[i + 1] w[i + 1][j] in a 32-bit lane, exact modulo 2^32 (only -32768 x -32768 twice
// passes 2^31, and wraps as the plain sum does), then the same wrapping 32-bit sums as the plain kernel.
#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "engine/impl/ops/arith.h"
#include "engine/impl/ops/dense_util.h"
#include "engine/impl/ops/kernels.h"
#include "engine/ops.h"

namespace ovrix::ops {

namespace kernel {

namespace {

template <class W>
inline __attribute__((always_inline)) void matvec_body(const int32_t* x, uint32_t rows, const W* w, uint32_t cols,
                                                       uint32_t* acc) {
  for (size_t i = 0; i < rows; ++i) {
    const uint32_t xv = static_cast<uint32_t>(x[i]);
    if (xv == 0) continue;
    const W* wr = w + i * cols;
    for (size_t j = 0; j < cols; ++j) acc[j] += xv * static_cast<uint32_t>(int32_t{wr[j]});
  }
}

}  // namespace

OVRIX_VECTOR_KERNEL void matvec_acc(const int32_t* x, uint32_t rows, const int32_t* w, uint32_t cols, uint32_t* acc) {
  matvec_body(x, rows, w, cols, acc);
}
OVRIX_VECTOR_KERNEL void matvec_acc(const int32_t* x, uint32_t rows, const int8_t* w, uint32_t cols, uint32_t* acc) {
  matvec_body(x, rows, w, cols, acc);
}

namespace {

constexpr size_t padded_cols(size_t cols) { return (cols + 7) / 8 * 8; }

bool fits16(int32_t v) {
  return v >= std::numeric_limits<int16_t>::min() && v <= std::numeric_limits<int16_t>::max();
}

}  // namespace

PackedMatrix pack_matrix(const int32_t* w, uint32_t rows, uint32_t cols) {
  PackedMatrix p;
  p.rows = rows;
  p.cols = cols;
  p.values.assign(w, w + size_t(rows) * cols);
  if (!std::all_of(p.values.begin(), p.values.end(), fits16)) return p;
  p.pairs.assign((size_t(rows) + 1) / 2 * padded_cols(cols) * 2, 0);
  for (uint32_t j = 0; j < cols; ++j) repack_column(p, j);
  return p;
}

void repack_column(PackedMatrix& p, uint32_t col) {
  if (p.pairs.empty()) return;
  const size_t row_pair = padded_cols(p.cols) * 2;
  for (size_t i = 0; i < p.rows; ++i) {
    const int32_t v = p.values[i * p.cols + col];
    if (!fits16(v)) {
      p.pairs.clear();
      return;
    }
    p.pairs[(i / 2) * row_pair + size_t(col) * 2 + i % 2] = static_cast<int16_t>(v);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)

namespace {

// Columns [c0, c0 + 8 NV) of every row pair, NV vectors of accumulators in registers.
template <int NV>
__attribute__((target("avx2"), always_inline)) inline void matvec_pairs_block(const int32_t* x,
                                                                              const PackedMatrix& w, size_t c0,
                                                                              uint32_t* acc) {
  const size_t row_pair = padded_cols(w.cols) * 2, pairs = (size_t(w.rows) + 1) / 2;
  __m256i a[NV];
  for (int v = 0; v < NV; ++v) a[v] = _mm256_setzero_si256();
  const int16_t* wp = w.pairs.data() + c0 * 2;
  for (size_t i = 0; i < pairs; ++i, wp += row_pair) {
    const int32_t lo = x[2 * i], hi = 2 * i + 1 < w.rows ? x[2 * i + 1] : 0;
    if ((lo | hi) == 0) continue;  // inputs are often 0 after a ReLU
    const __m256i xv = _mm256_set1_epi32(int32_t(uint32_t(uint16_t(lo)) | (uint32_t(hi) << 16)));
    for (int v = 0; v < NV; ++v)
      a[v] = _mm256_add_epi32(
          a[v], _mm256_madd_epi16(xv, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wp + v * 16))));
  }
  alignas(32) uint32_t lanes[NV * 8];
  for (int v = 0; v < NV; ++v) _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + v * 8), a[v]);
  const size_t n = std::min<size_t>(NV * 8, w.cols - c0);
  for (size_t j = 0; j < n; ++j) acc[c0 + j] += lanes[j];
}

__attribute__((target("avx2"))) void matvec_pairs(const int32_t* x, const PackedMatrix& w, uint32_t* acc) {
  size_t c0 = 0;
  for (; c0 + 32 <= w.cols; c0 += 32) matvec_pairs_block<4>(x, w, c0, acc);
  switch ((w.cols - c0 + 7) / 8) {
    case 4: matvec_pairs_block<4>(x, w, c0, acc); break;
    case 3: matvec_pairs_block<3>(x, w, c0, acc); break;
    case 2: matvec_pairs_block<2>(x, w, c0, acc); break;
    case 1: matvec_pairs_block<1>(x, w, c0, acc); break;
    default: break;
  }
}

}  // namespace

#endif

void matvec_acc(const int32_t* x, const PackedMatrix& w, uint32_t* acc) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (!w.pairs.empty() && active_isa() != Isa::generic && std::all_of(x, x + w.rows, fits16)) {
    matvec_pairs(x, w, acc);
    return;
  }
#endif
  matvec_acc(x, w.rows, w.values.data(), w.cols, acc);
}

namespace {

template <class W>
inline __attribute__((always_inline)) void dot_rows_body(const int32_t* x, uint32_t n, const W* w, uint32_t rows,
                                                         int32_t* out) {
  for (size_t k = 0; k < rows; ++k) {
    const W* wr = w + k * n;
    uint32_t acc = 0;
    for (size_t i = 0; i < n; ++i) acc += static_cast<uint32_t>(x[i]) * static_cast<uint32_t>(int32_t{wr[i]});
    out[k] = arith::as_signed(acc);
  }
}

}  // namespace

OVRIX_VECTOR_KERNEL void dot_rows(const int32_t* x, uint32_t n, const int8_t* w, uint32_t rows, int32_t* out) {
  dot_rows_body(x, n, w, rows, out);
}
OVRIX_VECTOR_KERNEL void dot_rows(const int32_t* x, uint32_t n, const int32_t* w, uint32_t rows, int32_t* out) {
  dot_rows_body(x, n, w, rows, out);
}

}  // namespace kernel

std::unique_ptr<Dense> matmul(const Dense& a, const Dense& b, int32_t n, bool b_transposed) {
  constexpr const char* op = "matmul";
  detail::check_bits(op, n);
  detail::View<int32_t> av(a);
  detail::View<int32_t> bv(b);
  if (bv.rank() != 2)
    detail::fail(fmt::format("{}: the second operand must have 2 dimensions; got shape {}.", op,
                             detail::shape_text(bv.shape())));
  const uint32_t K = b_transposed ? bv.dim(1) : bv.dim(0);
  const uint32_t N = b_transposed ? bv.dim(0) : bv.dim(1);
  if (av.last() != K)
    detail::fail(fmt::format("{}: shapes {} and {}{} do not chain ({} against {}).", op,
                             detail::shape_text(av.shape()), detail::shape_text(bv.shape()),
                             b_transposed ? " (transposed)" : "", av.last(), K));
  // (K, N) row-major, so the inner loop runs along the contiguous output row.
  std::vector<int32_t> w(bv.data(), bv.data() + bv.size());
  if (b_transposed)
    for (size_t k = 0; k < K; ++k)
      for (size_t j = 0; j < N; ++j) w[k * N + j] = bv[j * K + k];
  Shape shape = av.shape();
  shape[shape.size() - 1] = N;
  auto out = detail::make(TensorType::int32, shape);
  int32_t* o = out->mutable_data_as<int32_t>();
  const size_t rows = av.size() / K;
  const arith::Range r = arith::signed_range(n);
  std::vector<uint32_t> acc(N);
  for (size_t i = 0; i < rows; ++i) {
    std::fill(acc.begin(), acc.end(), 0u);
    kernel::matvec_acc(av.data() + i * K, K, w.data(), N, acc.data());
    for (size_t j = 0; j < N; ++j) o[i * N + j] = static_cast<int32_t>(arith::clamp(arith::as_signed(acc[j]), r));
  }
  return out;
}

}  // namespace ovrix::ops
