// The convolution kernels (the dot-product path where the processor has it, the plain one otherwise)
// against a plain loop, case by case from tests/data/conv_kernel_cases.txt, with values of every width.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/impl/ops/kernels.h"
#include "support/kernel_paths.h"

namespace ovrix::ops::kernel {
namespace {

struct Case {
  uint32_t d0, d1, channels, kernel, stride, pad0, pad1, filters, bits, is_signed, seed;
  int32_t weight_max = 0;  // weights within -weight_max .. weight_max; 0: the full range of their bits
  std::string text;
};

std::vector<Case> read_cases() {
  std::ifstream in(std::string(OVRIX_TEST_DATA_DIR) + "/conv_kernel_cases.txt");
  std::vector<Case> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream s(line);
    Case c;
    s >> c.d0 >> c.d1 >> c.channels >> c.kernel >> c.stride >> c.pad0 >> c.pad1 >> c.filters >> c.bits >>
        c.is_signed >> c.seed;
    if (!(s >> c.weight_max)) c.weight_max = 0;
    c.text = line;
    cases.push_back(c);
  }
  return cases;
}

using kernel_paths::values;

Sweep sweep_of(const Case& c) {
  Sweep g;
  g.d0 = c.d0;
  g.d1 = c.d1;
  g.k0 = g.k1 = c.kernel;
  g.s0 = g.s1 = c.stride;
  g.p0 = int32_t(c.pad0);
  g.p1 = int32_t(c.pad1);
  g.out0 = (c.d0 + c.stride - 1) / c.stride;
  g.out1 = (c.d1 + c.stride - 1) / c.stride;
  return g;
}

// The convolution as written down: positions outside the image read pad[c] (0 without pads).
std::vector<int32_t> plain(const std::vector<int32_t>& x, const std::vector<int32_t>& w, const Case& c,
                           const Sweep& g, const std::vector<int32_t>* pad) {
  std::vector<int32_t> out(size_t(g.out0) * g.out1 * c.filters);
  for (uint32_t o0 = 0; o0 < g.out0; ++o0)
    for (uint32_t o1 = 0; o1 < g.out1; ++o1)
      for (uint32_t f = 0; f < c.filters; ++f) {
        uint32_t acc = 0;
        for (uint32_t r0 = 0; r0 < c.kernel; ++r0)
          for (uint32_t r1 = 0; r1 < c.kernel; ++r1)
            for (uint32_t ch = 0; ch < c.channels; ++ch) {
              const int64_t i0 = int64_t(o0) * g.s0 + r0 - g.p0, i1 = int64_t(o1) * g.s1 + r1 - g.p1;
              const bool inside = i0 >= 0 && i0 < g.d0 && i1 >= 0 && i1 < g.d1;
              const int32_t v = inside ? x[(size_t(i0) * g.d1 + size_t(i1)) * c.channels + ch]
                                       : (pad ? (*pad)[ch] : 0);
              acc += uint32_t(v) * uint32_t(w[((size_t(r0) * c.kernel + r1) * c.channels + ch) * c.filters + f]);
            }
        out[(size_t(o0) * g.out1 + o1) * c.filters + f] = int32_t(acc);
      }
  return out;
}

// Every path of this machine, from the plain one up to its best; the path used before afterwards.
class EveryPath : public testing::Test {
 protected:
  ~EveryPath() override { use_isa(before_); }
  static std::vector<Isa> paths() { return kernel_paths::paths(); }
  const Isa before_ = active_isa();
};

TEST_F(EveryPath, ConvKernelsAgreeWithThePlainLoopOnEveryCase) {
  const std::vector<Case> cases = read_cases();
  ASSERT_GE(cases.size(), 30u);
  for (const Isa isa : paths()) {
  SCOPED_TRACE(isa_name(isa));
  use_isa(isa);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::mt19937 rng(c.seed);
    const Sweep g = sweep_of(c);
    const auto x = values(size_t(c.d0) * c.d1 * c.channels, c.bits, c.is_signed != 0, rng);
    auto w = values(size_t(c.kernel) * c.kernel * c.channels * c.filters, std::min(c.bits, 8u), true, rng);
    if (c.weight_max > 0) {
      // Both extremes over-represented, so a layer at the boundary has weights of both signs on it.
      std::uniform_int_distribution<int32_t> any(-c.weight_max, c.weight_max);
      std::uniform_int_distribution<int> pick(0, 3);
      for (auto& v : w) v = pick(rng) == 0 ? -c.weight_max : pick(rng) == 0 ? c.weight_max : any(rng);
    }
    const PackedFilters packed = pack_filters(w.data(), c.kernel, c.kernel, c.channels, c.filters);
    // The 8-bit products take every layer whose weights stay within -64 .. 64, and no other.
    const bool within = std::all_of(w.begin(), w.end(), [](int32_t v) { return v >= -64 && v <= 64; });
    EXPECT_EQ(packed.quads_within_64, within);
    EXPECT_EQ(packed.quads.empty(), !std::all_of(w.begin(), w.end(), [](int32_t v) { return v >= -128 && v <= 127; }));
    std::vector<int32_t> out(size_t(g.out0) * g.out1 * c.filters, 12345);
    // The input convolution: its padding reads the channel's pad value.
    const auto pads = values(c.channels, std::min(c.bits, 8u), c.is_signed != 0, rng);
    std::vector<int32_t> scratch;
    const std::vector<int32_t> want = plain(x, w, c, g, nullptr), want_padded = plain(x, w, c, g, &pads);
    // Output rows split between threads give the same integers.
    for (unsigned threads : {1u, 3u, 8u}) {
      SCOPED_TRACE(threads);
      std::fill(out.begin(), out.end(), 12345);
      conv2d(x.data(), packed, g, out.data(), threads);
      EXPECT_EQ(out, want);
      std::fill(out.begin(), out.end(), 12345);
      input_conv2d(x.data(), pads.data(), packed, g, scratch, out.data(), threads);
      EXPECT_EQ(out, want_padded);
      // Handed to a sink in groups of rows, every row once.
      const size_t row = size_t(g.out1) * c.filters;
      std::vector<int> seen(g.out0);
      const RowSink sink = [&](size_t first, size_t last, const int32_t* acc) {
        ASSERT_LT(first, last);
        ASSERT_LE(last, g.out0);
        for (size_t r = first; r < last; ++r) ++seen[r];
        std::copy(acc, acc + (last - first) * row, out.begin() + ptrdiff_t(first * row));
      };
      for (const bool padded : {false, true}) {
        SCOPED_TRACE(padded ? "input_conv2d" : "conv2d");
        std::fill(out.begin(), out.end(), 12345);
        std::fill(seen.begin(), seen.end(), 0);
        if (padded)
          input_conv2d(x.data(), pads.data(), packed, g, scratch, sink, threads);
        else
          conv2d(x.data(), packed, g, sink, threads);
        EXPECT_EQ(out, padded ? want_padded : want);
        EXPECT_THAT(seen, testing::Each(1));
      }
    }

    // The dot-product path itself: taken exactly when the processor has it and the values fit 16 bits.
    const bool fits = c.bits <= 16;
    const bool dot = isa != Isa::generic;
    const uint32_t cp = (c.channels + 1) / 2 * 2;
    const uint32_t rows = (g.out0 - 1) * g.s0 + g.k0 > g.p0 + g.d0 ? (g.out0 - 1) * g.s0 + g.k0 : g.p0 + g.d0;
    const uint32_t cols = (g.out1 - 1) * g.s1 + g.k1 > g.p1 + g.d1 ? (g.out1 - 1) * g.s1 + g.k1 : g.p1 + g.d1;
    if (fits) {
      std::vector<int16_t> frame(size_t(rows) * cols * cp, 0);
      for (uint32_t i0 = 0; i0 < g.d0; ++i0)
        for (uint32_t i1 = 0; i1 < g.d1; ++i1)
          for (uint32_t ch = 0; ch < c.channels; ++ch)
            frame[((size_t(i0) + g.p0) * cols + i1 + g.p1) * cp + ch] =
                int16_t(x[(size_t(i0) * g.d1 + i1) * c.channels + ch]);
      std::fill(out.begin(), out.end(), 12345);
      EXPECT_EQ(conv2d_dot(frame.data(), rows, cols, packed, g, out.data()), dot);
      if (dot) {
        EXPECT_EQ(out, plain(x, w, c, g, nullptr));
      }
    }
  }
  }
}

TEST_F(EveryPath, EachSampleTakesTheWidestProductsItsValuesAndWeightsAllow) {
  std::ifstream in(std::string(OVRIX_TEST_DATA_DIR) + "/conv_path_cases.txt");
  const std::map<std::string, Isa> isas{{"generic", Isa::generic}, {"avx2", Isa::avx2}, {"avx512vnni", Isa::avx512vnni}};
  const std::map<std::string, ConvPath> want_path{
      {"plain", ConvPath::plain}, {"pairs", ConvPath::pairs}, {"quads", ConvPath::quads}};
  size_t rows = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream s(line);
    std::string isa, path;
    int32_t lo = 0, hi = 0, w_max = 0;
    s >> isa >> lo >> hi >> w_max >> path;
    ASSERT_TRUE(isas.count(isa) && want_path.count(path)) << line;
    ++rows;
    if (isas.at(isa) > best_isa()) continue;
    use_isa(isas.at(isa));
    // 1 x 1 kernel, 4 channels, 8 filters: one weight w_max, one -w_max clamped to 8 bits when it is
    // -128 (so that max 128 means a weight of 128 alone), the others small.
    std::vector<int32_t> w(32, 3);
    w[5] = w_max;
    w[17] = w_max == -128 ? -128 : -std::min(w_max < 0 ? -w_max : w_max, 127);
    EXPECT_EQ(conv_path(pack_filters(w.data(), 1, 1, 4, 8), lo, hi), want_path.at(path)) << line;
  }
  EXPECT_GE(rows, 20u);
}

TEST(ConvKernels, WeightsBeyondSixteenBitsLeaveTheDotProductsOut) {
  const std::vector<int32_t> w{40000, 1, -2, 3};
  const PackedFilters packed = pack_filters(w.data(), 1, 1, 2, 2);
  EXPECT_TRUE(packed.pairs.empty());
  const std::vector<int32_t> x{1, 2, 3, 4};  // (1, 2, 2)
  Sweep g;
  g.d1 = g.out1 = 2;
  std::vector<int32_t> out(4);
  conv2d(x.data(), packed, g, out.data());
  EXPECT_EQ(out, (std::vector<int32_t>{40000 - 4, 1 + 6, 3 * 40000 - 8, 3 + 12}));
}

TEST(ConvKernels, PairsHoldTwoChannelsPerFilterInBlocks) {
  // k 1, 3 channels, 9 filters: blocks of 16, channel pairs (0, 1) and (2, zero).
  std::vector<int32_t> w(27);
  for (size_t i = 0; i < w.size(); ++i) w[i] = int32_t(i);  // w[c][f] = 9 c + f
  const PackedFilters p = pack_filters(w.data(), 1, 1, 3, 9);
  ASSERT_EQ(p.pair_block, 16u);
  ASSERT_EQ(p.pairs.size(), 2u * 16 * 2);
  EXPECT_EQ(p.pairs[0], 0);       // pair 0, filter 0: (w[0][0], w[1][0])
  EXPECT_EQ(p.pairs[1], 9);
  EXPECT_EQ(p.pairs[2 * 8], 8);   // filter 8
  EXPECT_EQ(p.pairs[2 * 8 + 1], 17);
  EXPECT_EQ(p.pairs[2 * 9], 0);   // filter 9: padding
  EXPECT_EQ(p.pairs[32 + 2 * 4], 22);  // pair 1, filter 4: (w[2][4], 0)
  EXPECT_EQ(p.pairs[32 + 2 * 4 + 1], 0);
}

}  // namespace
}  // namespace ovrix::ops::kernel
