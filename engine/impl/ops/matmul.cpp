// Matrix product family.
#include <fmt/format.h>

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
