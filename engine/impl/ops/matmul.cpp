// Matrix product family.
//
// The dense layers' product takes the processor's dot products as the convolutions do (matvec_path): the
// 8-bit products on row quads (matvec_dot.cpp) for values in 0 .. 255 or -128 .. 127 against 8-bit
// weights, else `vpmaddwd` when every input value and weight fits 16 bits: a broadcast pair of inputs
// (x[i], x[i + 1]) against the pairs (w[i][j], w[i + 1][j]) of 8 columns gives each column
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
#include "engine/impl/parallel.h"
#include "engine/ops.h"

namespace ovrix::ops {

namespace kernel {

namespace {

// Columns [0, n) of a matrix of `stride` columns.
template <class W>
inline __attribute__((always_inline)) void matvec_body(const int32_t* x, uint32_t rows, const W* w, size_t stride,
                                                       size_t n, uint32_t* acc) {
  for (size_t i = 0; i < rows; ++i) {
    const uint32_t xv = static_cast<uint32_t>(x[i]);
    if (xv == 0) continue;
    const W* wr = w + i * stride;
    for (size_t j = 0; j < n; ++j) acc[j] += xv * static_cast<uint32_t>(int32_t{wr[j]});
  }
}

}  // namespace

OVRIX_VECTOR_KERNEL void matvec_acc(const int32_t* x, uint32_t rows, const int32_t* w, uint32_t cols, uint32_t* acc) {
  matvec_body(x, rows, w, cols, cols, acc);
}

namespace {

constexpr size_t padded_cols(size_t cols) { return (cols + 7) / 8 * 8; }
constexpr size_t row_pairs(const PackedMatrix& p) { return (size_t(p.rows) + 1) / 2; }
constexpr size_t pair_block = 32;

// Where weight (i, j) lies in the pairs.
size_t pair_at(const PackedMatrix& p, size_t i, size_t j) {
  const size_t b = j / pair_block, first = b * pair_block;
  const size_t width = padded_cols(std::min<size_t>(pair_block, p.cols - first));
  return b * row_pairs(p) * pair_block * 2 + ((i / 2) * width + (j - first)) * 2 + i % 2;
}
constexpr size_t row_quads(const PackedMatrix& p) { return (size_t(p.rows) + 3) / 4; }
constexpr size_t quad_blocks(const PackedMatrix& p) { return (size_t(p.cols) + matrix_quad_block - 1) / matrix_quad_block; }

bool fits16(int32_t v) {
  return v >= std::numeric_limits<int16_t>::min() && v <= std::numeric_limits<int16_t>::max();
}
bool fits8(int32_t v) { return v >= -128 && v <= 127; }
bool beyond64(int32_t v) { return v < -64 || v > 64; }

// Where weight (i, j) lies in the quads.
size_t quad_at(const PackedMatrix& p, size_t i, size_t j) {
  const size_t b = j / matrix_quad_block, first = b * matrix_quad_block;
  const size_t width = quad_width(std::min<size_t>(matrix_quad_block, p.cols - first));
  return b * row_quads(p) * matrix_quad_block * 4 + ((i / 4) * width + (j - first)) * 4 + i % 4;
}

// Quads of zeros, before the weights are set one by one.
void make_quads(PackedMatrix& p) {
  p.quads.assign(quad_blocks(p) * row_quads(p) * matrix_quad_block * 4, 0);
  p.sums.assign(p.cols, 0);
  p.beyond_64 = 0;
}

// Weight (i, j) becomes v in the pairs and quads (the values are the caller's), each dropped when v does not
// fit it; the quads still hold the weight it replaces.
void set_packed(PackedMatrix& p, size_t i, size_t j, int32_t v) {
  if (!p.pairs.empty()) {
    if (fits16(v))
      p.pairs[pair_at(p, i, j)] = static_cast<int16_t>(v);
    else
      p.pairs.clear();
  }
  if (!p.quads.empty()) {
    if (!fits8(v)) {
      p.quads.clear();
      p.sums.clear();
      p.beyond_64 = 0;
      return;
    }
    int8_t& q = p.quads[quad_at(p, i, j)];
    p.sums[j] += static_cast<uint32_t>(v) - static_cast<uint32_t>(int32_t{q});
    p.beyond_64 = p.beyond_64 - (beyond64(q) ? 1 : 0) + (beyond64(v) ? 1 : 0);
    q = static_cast<int8_t>(v);
  }
}

}  // namespace

PackedMatrix pack_matrix(const int32_t* w, uint32_t rows, uint32_t cols) {
  PackedMatrix p;
  p.rows = rows;
  p.cols = cols;
  p.values.assign(w, w + size_t(rows) * cols);
  if (std::all_of(p.values.begin(), p.values.end(), fits16))
    p.pairs.assign((size_t(cols) + pair_block - 1) / pair_block * row_pairs(p) * pair_block * 2, 0);
  if (std::all_of(p.values.begin(), p.values.end(), fits8)) make_quads(p);
  for (uint32_t j = 0; j < cols; ++j) repack_column(p, j);
  return p;
}

void repack_column(PackedMatrix& p, uint32_t col) {
  for (size_t i = 0; i < p.rows && !(p.pairs.empty() && p.quads.empty()); ++i)
    set_packed(p, i, col, p.values[i * p.cols + col]);
}

namespace {

// Whether 8-bit weights, `beyond` of them outside -64 .. 64, and values in lo .. hi take the 8-bit products.
bool takes_quads(uint32_t beyond, int32_t lo, int32_t hi) {
  return (beyond == 0 || active_isa() == Isa::avx512vnni) && lo >= -128 && hi <= 255 && (lo >= 0 || hi <= 127);
}

}  // namespace

ConvPath matvec_path(const PackedMatrix& w, int32_t lo, int32_t hi) {
  if (active_isa() == Isa::generic) return ConvPath::plain;
  if (!w.quads.empty() && takes_quads(w.beyond_64, lo, hi)) return ConvPath::quads;
  if (!w.pairs.empty() && fits16(lo) && fits16(hi)) return ConvPath::pairs;
  return ConvPath::plain;
}

RowsOf8 rows_of8(const int8_t* w, uint32_t rows, uint32_t cols) {
  RowsOf8 r;
  r.w = w;
  r.rows = rows;
  r.cols = cols;
  r.sums.assign(cols, 0);
  for (size_t i = 0; i < rows; ++i) {
    const int8_t* row = w + i * cols;
    for (size_t j = 0; j < cols; ++j) {
      r.sums[j] += static_cast<uint32_t>(int32_t{row[j]});
      r.beyond_64 += beyond64(row[j]) ? 1 : 0;
    }
  }
  return r;
}

void set_row_weight(RowsOf8& w, int8_t* bytes, uint32_t i, uint32_t j, int8_t v) {
  int8_t& old = bytes[size_t(i) * w.cols + j];
  w.sums[j] += static_cast<uint32_t>(int32_t{v}) - static_cast<uint32_t>(int32_t{old});
  w.beyond_64 = w.beyond_64 - (beyond64(old) ? 1 : 0) + (beyond64(v) ? 1 : 0);
  old = v;
}

ConvPath matvec_path(const RowsOf8& w, int32_t lo, int32_t hi) {
  return active_isa() != Isa::generic && takes_quads(w.beyond_64, lo, hi) ? ConvPath::quads : ConvPath::plain;
}

#if defined(__x86_64__) && defined(__GNUC__)

namespace {

// Columns [c0, c0 + 8 NV) of every row pair (c0 a multiple of 32: one block of the pairs), NV vectors of
// accumulators in registers.
template <int NV>
__attribute__((target("avx2"), always_inline)) inline void matvec_pairs_block(const int32_t* x,
                                                                              const PackedMatrix& w, size_t c0,
                                                                              uint32_t* acc) {
  const size_t row_pair = NV * 16, pairs = row_pairs(w);
  __m256i a[NV];
  for (int v = 0; v < NV; ++v) a[v] = _mm256_setzero_si256();
  const int16_t* wp = w.pairs.data() + c0 / pair_block * pairs * pair_block * 2;
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

// Columns [first, last), first a multiple of 32.
__attribute__((target("avx2"))) void matvec_pairs(const int32_t* x, const PackedMatrix& w, uint32_t* acc,
                                                  size_t first, size_t last) {
  size_t c0 = first;
  for (; c0 + 32 <= last; c0 += 32) matvec_pairs_block<4>(x, w, c0, acc);
  switch ((last - c0 + 7) / 8) {
    case 4: matvec_pairs_block<4>(x, w, c0, acc); break;
    case 3: matvec_pairs_block<3>(x, w, c0, acc); break;
    case 2: matvec_pairs_block<2>(x, w, c0, acc); break;
    case 1: matvec_pairs_block<1>(x, w, c0, acc); break;
    default: break;
  }
}

}  // namespace

#endif

namespace {

OVRIX_VECTOR_KERNEL void matvec_columns(const int32_t* x, uint32_t rows, const int8_t* w, size_t stride, size_t n,
                                        uint32_t* acc) {
  matvec_body(x, rows, w, stride, n, acc);
}

// Chunks of at least this many products are worth a thread of their own.
constexpr size_t kProductsPerThread = size_t{1} << 18;

// Chunks of `units` (groups of columns) for a product of rows x cols.
unsigned column_chunks(size_t rows, size_t cols, size_t units, unsigned threads) {
  const size_t work = rows * cols / kProductsPerThread;
  return unsigned(std::clamp<size_t>(std::min<size_t>(work, units), 1, std::max(1u, threads)));
}

}  // namespace

void matvec_acc(const int32_t* x, const PackedMatrix& w, uint32_t* acc, unsigned threads) {
  int32_t lo = 0, hi = 0;
  if (active_isa() != Isa::generic && !(w.pairs.empty() && w.quads.empty())) value_range(x, w.rows, lo, hi);
  const ConvPath path = matvec_path(w, lo, hi);
  const size_t blocks = quad_blocks(w);
  if (path == ConvPath::quads) {
    const uint32_t offset = lo >= 0 ? 0 : 128;
    thread_local std::vector<uint8_t> xq;
    xq.assign(row_quads(w) * 4, 0);
    for (size_t i = 0; i < w.rows; ++i) xq[i] = static_cast<uint8_t>(uint32_t(x[i]) + offset);
    const uint8_t* bytes = xq.data();  // the caller's: the chunks may run on other threads
    parallel::for_chunks(blocks, column_chunks(w.rows, w.cols, blocks, threads), [&](unsigned, size_t first, size_t last) {
      matvec_dot8(bytes, w, offset, acc, first, last);
    });
    return;
  }
#if defined(__x86_64__) && defined(__GNUC__)
  if (path == ConvPath::pairs) {
    const size_t groups = (size_t(w.cols) + 31) / 32;
    parallel::for_chunks(groups, column_chunks(w.rows, w.cols, groups, threads), [&](unsigned, size_t first, size_t last) {
      matvec_pairs(x, w, acc, first * 32, std::min<size_t>(w.cols, last * 32));
    });
    return;
  }
#endif
  matvec_acc(x, w.rows, w.values.data(), w.cols, acc);
}

void matvec_acc(const int32_t* x, const RowsOf8& w, uint32_t* acc, unsigned threads) {
  int32_t lo = 0, hi = 0;
  if (active_isa() != Isa::generic) value_range(x, w.rows, lo, hi);
  const size_t groups = (size_t(w.cols) + matrix_quad_block - 1) / matrix_quad_block;
  const unsigned chunks = column_chunks(w.rows, w.cols, groups, threads);
  if (matvec_path(w, lo, hi) == ConvPath::quads) {
    // The rows whose byte is not 0, in quads (the last one completed with rows of byte 0).
    const uint32_t offset = lo >= 0 ? 0 : 128;
    thread_local std::vector<uint8_t> bytes;
    thread_local std::vector<uint32_t> rows;
    bytes.clear();
    rows.clear();
    for (uint32_t i = 0; i < w.rows; ++i)
      if (const uint8_t b = static_cast<uint8_t>(uint32_t(x[i]) + offset); b != 0) {
        bytes.push_back(b);
        rows.push_back(i);
      }
    while (rows.size() % 4 != 0) {
      bytes.push_back(0);
      rows.push_back(0);
    }
    const uint8_t* b = bytes.data();  // the caller's: the chunks may run on other threads
    const uint32_t* r = rows.data();
    const size_t count = rows.size();
    parallel::for_chunks(groups, chunks, [&](unsigned, size_t first, size_t last) {
      matvec_dot8(b, r, count, w, offset, acc, first * matrix_quad_block,
                  std::min<size_t>(w.cols, last * matrix_quad_block));
    });
    return;
  }
  parallel::for_chunks(groups, chunks, [&](unsigned, size_t first, size_t last) {
    const size_t c0 = first * matrix_quad_block, c1 = std::min<size_t>(w.cols, last * matrix_quad_block);
    matvec_columns(x, w.rows, w.w + c0, w.cols, c1 - c0, acc + c0);
  });
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
