// The depthwise and dense kernels on every path the machine has (the dense layers' 8-bit products and the
// 16-bit products where values and weights fit them, the plain loops otherwise) against plain loops
// written down here, case by case from tests/data/engine/{depthwise,dense}_kernel_cases.txt.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "engine/impl/ops/kernels.h"
#include "support/golden.h"
#include "support/kernel_paths.h"

namespace ovrix::ops::kernel {
namespace {

using kernel_paths::values;

// Weights within -m .. m (m < 0: m .. -m - 1), both ends over-represented.
std::vector<int32_t> weights(size_t n, int64_t m, std::mt19937& rng) {
  const int64_t lo = -std::abs(m), hi = m < 0 ? -m - 1 : m;
  std::uniform_int_distribution<int64_t> any(lo, hi);
  std::uniform_int_distribution<int> pick(0, 5);
  std::vector<int32_t> w(n);
  for (auto& v : w) {
    const int p = pick(rng);
    v = int32_t(p == 0 ? lo : p == 1 ? hi : any(rng));
  }
  return w;
}

bool fit16(const std::vector<int32_t>& v) {
  return std::all_of(v.begin(), v.end(), [](int32_t x) { return x >= -32768 && x <= 32767; });
}

// Every path of this machine, from the plain one up to its best; the path used before afterwards.
class EveryPath : public testing::TestWithParam<golden::Case> {
 protected:
  ~EveryPath() override { use_isa(before_); }
  static std::vector<Isa> paths() { return kernel_paths::paths(); }
  const Isa before_ = active_isa();
};

using DepthwiseKernels = EveryPath;

TEST_P(DepthwiseKernels, AgreeWithThePlainLoop) {
  const golden::Case& c = GetParam();
  ASSERT_EQ(c.fields.size(), 4u);
  const auto shape = golden::numbers(c[0]), width = golden::numbers(c[1]);
  ASSERT_EQ(shape.size(), 6u);
  const uint32_t d0 = uint32_t(shape[0]), d1 = uint32_t(shape[1]), C = uint32_t(shape[2]), k = uint32_t(shape[3]);
  const uint32_t stride = uint32_t(shape[4]), pad = uint32_t(shape[5]);
  std::mt19937 rng(uint32_t(golden::numbers(c[3]).at(0)));
  const auto x = values(size_t(d0) * d1 * C, uint32_t(width.at(0)), width.at(1) != 0, rng);
  const auto w = weights(size_t(k) * k * C, golden::numbers(c[2]).at(0), rng);
  Sweep g;
  g.d0 = d0;
  g.d1 = d1;
  g.k0 = g.k1 = k;
  g.s0 = g.s1 = stride;
  g.p0 = g.p1 = int32_t(pad);
  g.out0 = (d0 + 2 * pad - k) / stride + 1;
  g.out1 = (d1 + 2 * pad - k) / stride + 1;
  // Positions outside the input read 0.
  std::vector<int32_t> want(size_t(g.out0) * g.out1 * C);
  for (uint32_t o0 = 0; o0 < g.out0; ++o0)
    for (uint32_t o1 = 0; o1 < g.out1; ++o1)
      for (uint32_t ch = 0; ch < C; ++ch) {
        uint32_t acc = 0;
        for (uint32_t r0 = 0; r0 < k; ++r0)
          for (uint32_t r1 = 0; r1 < k; ++r1) {
            const int64_t i0 = int64_t(o0) * stride + r0 - pad, i1 = int64_t(o1) * stride + r1 - pad;
            if (i0 < 0 || i0 >= d0 || i1 < 0 || i1 >= d1) continue;
            acc += uint32_t(x[(size_t(i0) * d1 + size_t(i1)) * C + ch]) * uint32_t(w[(size_t(r0) * k + r1) * C + ch]);
          }
        want[(size_t(o0) * g.out1 + o1) * C + ch] = int32_t(acc);
      }
  const PackedDepthwise packed = pack_depthwise(w.data(), k, k, C);
  EXPECT_EQ(packed.pairs.empty(), !fit16(w));
  for (const Isa isa : paths()) {
    SCOPED_TRACE(isa_name(isa));
    use_isa(isa);
    const int32_t lo = std::min(0, *std::min_element(x.begin(), x.end()));
    const int32_t hi = std::max(0, *std::max_element(x.begin(), x.end()));
    EXPECT_EQ(depthwise_path(packed, lo, hi),
              isa != Isa::generic && fit16(x) && fit16(w) ? ConvPath::pairs : ConvPath::plain);
    // Output rows split between threads give the same integers.
    for (unsigned threads : {1u, 3u, 8u}) {
      SCOPED_TRACE(threads);
      std::vector<int32_t> out(want.size(), 12345);
      depthwise_conv2d(x.data(), packed, g, out.data(), threads);
      EXPECT_EQ(out, want);
    }
    // The 16-bit products themselves, over a frame holding the padding: taken exactly when the processor
    // has them and the weights fit.
    if (fit16(x)) {
      const uint32_t width = (C + 15) / 16 * 16, rows = d0 + 2 * pad, cols = d1 + 2 * pad;
      std::vector<int16_t> frame(size_t(rows) * cols * width, 0);
      for (uint32_t i0 = 0; i0 < d0; ++i0)
        for (uint32_t i1 = 0; i1 < d1; ++i1)
          for (uint32_t ch = 0; ch < C; ++ch)
            frame[((size_t(i0) + pad) * cols + i1 + pad) * width + ch] = int16_t(x[(size_t(i0) * d1 + i1) * C + ch]);
      std::vector<int32_t> out(want.size(), 12345);
      const bool dot = isa != Isa::generic && fit16(w);
      EXPECT_EQ(depthwise_dot(frame.data(), cols, packed, g, out.data(), 2), dot);
      EXPECT_EQ(out, dot ? want : std::vector<int32_t>(want.size(), 12345));
    }
  }
  std::vector<int32_t> out(want.size(), 12345);
  depthwise_conv2d(x.data(), C, w.data(), g, out.data());
  EXPECT_EQ(out, want);
}

INSTANTIATE_TEST_SUITE_P(Cases, DepthwiseKernels,
                         testing::ValuesIn(golden::cases("engine/depthwise_kernel_cases.txt")));

using DenseKernels = EveryPath;

// acc[j] += sum_i x[i] w[i][j], wrapping.
std::vector<uint32_t> plain_product(const std::vector<int32_t>& x, const std::vector<int32_t>& w, size_t cols,
                                    std::vector<uint32_t> acc) {
  for (size_t i = 0; i < x.size(); ++i)
    for (size_t j = 0; j < cols; ++j) acc[j] += uint32_t(x[i]) * uint32_t(w[i * cols + j]);
  return acc;
}

bool fit8(const std::vector<int32_t>& v) {
  return std::all_of(v.begin(), v.end(), [](int32_t x) { return x >= -128 && x <= 127; });
}

uint32_t beyond_64(const std::vector<int32_t>& v) {
  return uint32_t(std::count_if(v.begin(), v.end(), [](int32_t x) { return x < -64 || x > 64; }));
}

// The path the dense product must take on `isa` for values x against weights w.
ConvPath expected_path(Isa isa, const std::vector<int32_t>& x, const std::vector<int32_t>& w) {
  if (isa == Isa::generic) return ConvPath::plain;
  const int32_t lo = std::min(0, *std::min_element(x.begin(), x.end()));
  const int32_t hi = std::max(0, *std::max_element(x.begin(), x.end()));
  const bool bytes = (lo >= 0 && hi <= 255) || (lo >= -128 && hi <= 127);
  if (bytes && fit8(w) && (isa == Isa::avx512vnni || beyond_64(w) == 0)) return ConvPath::quads;
  return fit16(x) && fit16(w) ? ConvPath::pairs : ConvPath::plain;
}

TEST_P(DenseKernels, AgreeWithThePlainLoop) {
  const golden::Case& c = GetParam();
  ASSERT_EQ(c.fields.size(), 4u);
  const auto shape = golden::numbers(c[0]), width = golden::numbers(c[1]);
  ASSERT_EQ(shape.size(), 2u);
  const uint32_t rows = uint32_t(shape[0]), cols = uint32_t(shape[1]);
  std::mt19937 rng(uint32_t(golden::numbers(c[3]).at(0)));
  const auto x = values(rows, uint32_t(width.at(0)), width.at(1) != 0, rng);
  auto w = weights(size_t(rows) * cols, golden::numbers(c[2]).at(0), rng);
  // The product adds to what the accumulators hold.
  std::vector<uint32_t> start(cols);
  for (size_t j = 0; j < cols; ++j) start[j] = uint32_t(j) * 0x9e3779b9u;
  PackedMatrix packed = pack_matrix(w.data(), rows, cols);
  auto agree_on_every_path = [&] {
    EXPECT_EQ(packed.pairs.empty(), !fit16(w));
    EXPECT_EQ(packed.quads.empty(), !fit8(w));
    if (fit8(w)) {
      EXPECT_EQ(packed.beyond_64, beyond_64(w));
    }
    const std::vector<uint32_t> want = plain_product(x, w, cols, start);
    for (const Isa isa : paths()) {
      SCOPED_TRACE(isa_name(isa));
      use_isa(isa);
      const int32_t lo = std::min(0, *std::min_element(x.begin(), x.end()));
      const int32_t hi = std::max(0, *std::max_element(x.begin(), x.end()));
      EXPECT_EQ(matvec_path(packed, lo, hi), expected_path(isa, x, w));
      // Columns split between threads give the same integers.
      for (unsigned threads : {1u, 3u, 8u}) {
        SCOPED_TRACE(threads);
        std::vector<uint32_t> acc = start;
        matvec_acc(x.data(), packed, acc.data(), threads);
        EXPECT_EQ(acc, want);
      }
    }
  };
  agree_on_every_path();
  // 8-bit weights read where they lie, row-major: the rows whose value is not 0 interleaved into quads as
  // they are read.
  if (fit8(w)) {
    const std::vector<int8_t> narrow(w.begin(), w.end());
    const RowsOf8 rows8 = rows_of8(narrow.data(), rows, cols);
    EXPECT_EQ(rows8.sums, packed.sums);
    EXPECT_EQ(rows8.beyond_64, packed.beyond_64);
    for (const Isa isa : paths()) {
      SCOPED_TRACE(isa_name(isa));
      use_isa(isa);
      const int32_t lo = std::min(0, *std::min_element(x.begin(), x.end()));
      const int32_t hi = std::max(0, *std::max_element(x.begin(), x.end()));
      const ConvPath path = expected_path(isa, x, w);
      EXPECT_EQ(matvec_path(rows8, lo, hi), path == ConvPath::quads ? ConvPath::quads : ConvPath::plain);
      for (unsigned threads : {1u, 3u}) {
        std::vector<uint32_t> acc = start;
        matvec_acc(x.data(), rows8, acc.data(), threads);
        EXPECT_EQ(acc, plain_product(x, w, cols, start));
      }
    }
  }
  // A column changed by learning, packed again: within 64, just past it, to other 8-bit weights, then to
  // one beyond 16 bits (each drops the products its weights no longer fit).
  const uint32_t col = cols / 2;
  for (int32_t v : {64, 65, -128, 70000}) {
    SCOPED_TRACE(v);
    for (uint32_t i = 0; i < rows; i += 2) w[size_t(i) * cols + col] = packed.values[size_t(i) * cols + col] = v;
    repack_column(packed, col);
    agree_on_every_path();
  }
}

// 8-bit weights read where they lie and changed one by one, as v1 learning does: the sums and the count
// beyond 64 follow.
TEST(DenseKernels, RowsChangedInPlaceKeepTheirSums) {
  const uint32_t rows = 7, cols = 70;
  std::mt19937 rng(3);
  const auto w = weights(size_t(rows) * cols, 64, rng);
  std::vector<int8_t> bytes(w.begin(), w.end());
  RowsOf8 rows8 = rows_of8(bytes.data(), rows, cols);
  const std::vector<std::pair<uint32_t, uint32_t>> at = {{0, 0}, {6, 69}, {3, 64}, {4, 63}, {5, 1}};
  for (const int32_t v : {65, -64, -128, 127, 3}) {
    SCOPED_TRACE(v);
    for (const auto& [i, j] : at) set_row_weight(rows8, bytes.data(), i, j, int8_t(v));
    const RowsOf8 want = rows_of8(bytes.data(), rows, cols);
    EXPECT_EQ(rows8.sums, want.sums);
    EXPECT_EQ(rows8.beyond_64, want.beyond_64);
    EXPECT_EQ(bytes[size_t(6) * cols + 69], int8_t(v));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DenseKernels, testing::ValuesIn(golden::cases("engine/dense_kernel_cases.txt")));

}  // namespace
}  // namespace ovrix::ops::kernel

