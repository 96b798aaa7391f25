#include "mapping/np_split.h"

#include <gtest/gtest.h>

#include <random>

#include "support/golden.h"
#include "support/mapping_fakes.h"

namespace ovrix {
namespace {

using hw::Type;
using mapping_testing::FakeChecker;
using mapping_testing::FakeDevice;
using mapping_testing::make_layer;
using mapping_testing::shape3;

class AxisSplit : public ::testing::TestWithParam<golden::Case> {};

TEST_P(AxisSplit, PiecesAndPieceSize) {
  const golden::Case& c = GetParam();
  ASSERT_EQ(c.fields.size(), 2u);
  const auto in = golden::words(c[0]), out = golden::words(c[1]);
  const Split s(in.at(0), in.at(1), in.at(2));
  EXPECT_EQ(s.pieces, out.at(0));
  EXPECT_EQ(s.piece, out.at(1));
  EXPECT_EQ(s.valid(), out[0] != 0 && out[1] != 0);
  if (s.valid()) {
    EXPECT_EQ(s.total, in[0]);
    EXPECT_EQ(s.max, in[1]);
    EXPECT_EQ(s.align, in[2]);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, AxisSplit, ::testing::ValuesIn(golden::cases("mapping/axis_splits.txt")), golden::line_name);

TEST(SplitCandidates, FactorPairsAndTriplets) {
  EXPECT_EQ(factor_pairs(12), (std::set<std::pair<uint32_t, uint32_t>>{{4, 3}, {6, 2}, {12, 1}}));
  EXPECT_TRUE(factor_pairs(0).empty());
  EXPECT_EQ(factor_pairs(1), (std::set<std::pair<uint32_t, uint32_t>>{{1, 1}}));
  // Every a <= b <= c with a * b * c = n, checked against a brute-force count.
  for (uint32_t n = 1; n <= 200; ++n) {
    std::set<SplitsNumChunks> expected;
    for (uint32_t a = 1; a <= n; ++a)
      for (uint32_t b = a; a * b <= n; ++b)
        if (n % (a * b) == 0 && n / (a * b) >= b) expected.insert({a, b, n / (a * b)});
    EXPECT_EQ(SplitsNumChunks::factor_triplets(n), expected) << n;
  }
}

TEST(SplitCandidates, WidthFirstThenHeightThenNeurons) {
  using C = SplitsNumChunks;
  EXPECT_EQ(C::get_splits_number(4), (std::vector<C>{{4, 1, 1}, {2, 2, 1}, {2, 1, 2}, {1, 4, 1}, {1, 2, 2}, {1, 1, 4}}));
  EXPECT_EQ(C::get_splits_number(1), (std::vector<C>{{1, 1, 1}}));
  EXPECT_TRUE(C::get_splits_number(0).empty());
  EXPECT_EQ(C::get_splits_number(12).size(), 18u);
}

// ---- the search against a plain scan of every candidate ----

struct ReferenceAxis {
  bool ok;
  uint64_t count, piece;
};

ReferenceAxis reference_cut(const Split& s, uint64_t c, bool neurons, bool follow_temporal, uint64_t first_cut = 0) {
  if (c < s.pieces || c > s.total) return {false, 0, 0};
  uint64_t piece = (s.total + c - 1) / c;
  if (neurons && c == 1) return {true, 1, piece};
  if (c > 1 && s.align >= 2) {
    piece = (piece + s.align - 1) / s.align * s.align;
    if (piece > s.max) {
      piece -= s.align;
      c = (s.total + piece - 1) / piece;
    }
  }
  if ((c - 1) * piece >= s.total) return {false, 0, 0};
  // The first piece shortened by the pooling: the others must still reach the end.
  if (c > 1 && first_cut != 0 && first_cut < piece && c * piece - first_cut < s.total) return {false, 0, 0};
  if (neurons && follow_temporal) {
    const uint64_t last = s.total - (c - 1) * piece;
    if (s.align == 0 || last % s.align != 0) return {false, 0, 0};
  }
  return {true, c, piece};
}

uint64_t reference_window(uint64_t count, uint64_t piece, uint32_t before, uint32_t after) {
  if (count == 1) return piece;
  if (count == 2) return std::max(before, after) + piece;
  return before + after + piece;
}

// The search exactly as one would write it first: every count from the product of the numbers of
// pieces to the product of the totals, every ordering of its factors.
SplitSearchResult reference_search(const CompatibilityChecker& checker, const SplitSearchInput& in, const Split& height,
                                   const Split& width, const Split& neurons) {
  const uint64_t lo = uint64_t(width.pieces) * height.pieces * neurons.pieces;
  const uint64_t hi = uint64_t(width.total) * height.total * neurons.total;
  for (uint64_t n = lo; n <= hi; ++n) {
    for (const SplitsNumChunks& c : SplitsNumChunks::get_splits_number(uint32_t(n))) {
      if (c.height > 1 && !in.height_split_allowed) continue;
      const auto w = reference_cut(width, c.width, false, false, in.first_width_cut);
      const auto h = reference_cut(height, c.height, false, false, in.first_height_cut);
      const auto k = reference_cut(neurons, c.neurons, true, in.channels_follow_neurons && in.temporal);
      if (!w.ok || !h.ok || !k.ok) continue;
      const uint32_t ww = uint32_t(reference_window(w.count, w.piece, in.border_width_before, in.border_width_after));
      const uint32_t wh = uint32_t(reference_window(h.count, h.piece, in.border_height_before, in.border_height_after));
      const uint32_t ch = in.channels_follow_neurons ? uint32_t(k.piece) : in.channels;
      SramFit fit = SramFit::None;
      if (checker.is_sram_input_fit_dual_buffer(in.type, wh, ww, ch, in.fifo_size, in.input_bits, in.pksram_shift))
        fit = SramFit::DualBuffer;
      else if (!in.dual_buffer_only &&
               checker.is_sram_input_fit_single_buffer(in.type, wh, ww, ch, in.fifo_size, in.input_bits,
                                                       in.pksram_shift))
        fit = SramFit::SingleBuffer;
      if (fit == SramFit::None) continue;
      SplitSearchResult r;
      r.found = true;
      r.fit = fit;
      r.width = width;
      r.width.pieces = uint32_t(w.count);
      r.width.piece = uint32_t(w.piece);
      r.height = height;
      r.height.pieces = uint32_t(h.count);
      r.height.piece = uint32_t(h.piece);
      r.neurons = neurons;
      r.neurons.pieces = uint32_t(k.count);
      r.neurons.piece = uint32_t(k.piece);
      return r;
    }
  }
  return {};
}

struct CheckerFixture {
  CheckerFixture()
      : device(hw_versions::Proteo_v2, Mesh(IpVersion::v2, {}, {}, std::nullopt, {}, {})),
        limits(compute_hardware_constraints(IpVersion::v2, SramSize_v2)),
        checker(device, limits) {}
  FakeDevice device;
  HardwareConstraints limits;
  FakeChecker checker;
};

TEST(SplitSearch, SameWinnerAsAPlainScan) {
  std::mt19937 rng(12345);
  auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  CheckerFixture f;
  int found = 0;
  for (int trial = 0; trial < 700; ++trial) {
    const uint32_t align = pick(0, 4), neuron_align = pick(0, 1) ? 4 : pick(0, 2);
    const Split width(pick(1, 14), pick(1, 9), align);
    const Split height(pick(1, 12), pick(1, 9), align);
    const Split neurons(pick(1, 12), pick(1, 9), neuron_align);
    if (!width.valid() || !height.valid() || !neurons.valid()) continue;
    SplitSearchInput in;
    in.channels = pick(1, 4);
    in.border_width_before = pick(0, 2);
    in.border_width_after = pick(0, 2);
    in.border_height_before = pick(0, 2);
    in.border_height_after = pick(0, 2);
    in.type = Type::CNP1;
    in.dual_buffer_only = pick(0, 1);
    in.channels_follow_neurons = pick(0, 1);
    in.height_split_allowed = pick(0, 3) != 0;
    in.temporal = pick(0, 1);
    in.first_width_cut = pick(0, 2) == 0 ? pick(1, 3) : 0;
    in.first_height_cut = pick(0, 2) == 0 ? pick(1, 3) : 0;
    // Larger inputs never fit where smaller ones do not (what the finest-cut early stop relies on).
    const uint64_t dual_limit = pick(1, 200), single_limit = dual_limit + pick(0, 200);
    f.checker.dual = [=](Type, uint32_t h, uint32_t w, uint32_t c) { return uint64_t(h) * w * c <= dual_limit; };
    f.checker.single = [=](Type, uint32_t h, uint32_t w, uint32_t c) { return uint64_t(h) * w * c <= single_limit; };
    const SplitSearchResult expected = reference_search(f.checker, in, height, width, neurons);
    const SplitSearchResult got = search_split(f.checker, in, height, width, neurons);
    ASSERT_EQ(got.found, expected.found) << "trial " << trial;
    if (!expected.found) continue;
    ++found;
    EXPECT_EQ(got.fit, expected.fit) << "trial " << trial;
    EXPECT_EQ(got.width, expected.width) << "trial " << trial;
    EXPECT_EQ(got.height, expected.height) << "trial " << trial;
    EXPECT_EQ(got.neurons, expected.neurons) << "trial " << trial;
  }
  EXPECT_GT(found, 150);  // the comparison covered many winners, not only refusals
}

TEST(SplitSearch, ALayerThatCanNeverFitIsRefusedAtOnce) {
  CheckerFixture f;
  f.checker.dual = [](Type, uint32_t, uint32_t, uint32_t) { return false; };
  f.checker.single = [](Type, uint32_t, uint32_t, uint32_t) { return false; };
  SplitSearchInput in;
  in.channels = 2048;
  in.type = Type::CNP1;
  const SplitSearchResult r =
      search_split(f.checker, in, Split(4096, 256, 1), Split(4096, 64, 1), Split(2048, 512, 1));
  EXPECT_FALSE(r.found);
  // The fewest pieces, then the finest cut: two questions, not one per candidate.
  EXPECT_EQ(f.checker.dual_calls, 2);
  EXPECT_EQ(f.checker.single_calls, 2);
}

// ---- the splitters ----

std::shared_ptr<mapping_testing::FakeLayer> conv(uint32_t w, uint32_t h, uint32_t c, int filters, int kernel = 3,
                                         LayerType type = LayerType::Conv2D) {
  return make_layer("conv", type, {{"kernel_size", kernel}, {"filters", filters}}, shape3(w, h, c));
}

struct Piece {
  uint32_t x, y, w, h, wx, wy, ww, wh, start, filters, channels;
};

std::vector<Piece> pieces_of(const std::vector<hw::Component>& components) {
  std::vector<Piece> out;
  for (const auto& c : components) {
    const auto& np = *c.np;
    out.push_back({np.spatial_partition.x, np.spatial_partition.y, np.spatial_partition.shape[0],
                   np.spatial_partition.shape[1], np.input_window.x, np.input_window.y, np.input_window.shape[0],
                   np.input_window.shape[1], np.start_neuron, np.filters, np.spatial_partition.shape[2]});
  }
  return out;
}

bool operator==(const Piece& a, const Piece& b) {
  return std::tie(a.x, a.y, a.w, a.h, a.wx, a.wy, a.ww, a.wh, a.start, a.filters, a.channels) ==
         std::tie(b.x, b.y, b.w, b.h, b.wx, b.wy, b.ww, b.wh, b.start, b.filters, b.channels);
}
std::ostream& operator<<(std::ostream& os, const Piece& p) {
  return os << "{" << p.x << "," << p.y << " " << p.w << "x" << p.h << " win " << p.wx << "," << p.wy << " " << p.ww
            << "x" << p.wh << " n" << p.start << "+" << p.filters << " c" << p.channels << "}";
}

TEST(SplitConv, OneNpWhenEverythingFits) {
  CheckerFixture f;
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> asked;
  f.checker.dual = [&asked](Type, uint32_t h, uint32_t w, uint32_t c) {
    asked.emplace_back(h, w, c);
    return true;
  };
  const auto layer = conv(20, 10, 3, 16);
  const auto [components, status] = split_conv_layer(*layer, f.checker, 256, 64, 512, Type::CNP1, false);
  ASSERT_FALSE(status.failed) << status.to_string();
  ASSERT_EQ(components.size(), 1u);
  EXPECT_EQ(components[0].type, Type::CNP1);
  EXPECT_EQ(components[0].ident, hw::Ident());
  EXPECT_FALSE(components[0].np->single_buffer);
  EXPECT_EQ(pieces_of(components), (std::vector<Piece>{{0, 0, 20, 10, 0, 0, 20, 10, 0, 16, 3}}));
  EXPECT_EQ(asked, (std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>{{10, 20, 3}}));
}

TEST(SplitConv, WidthPiecesAndWindows) {
  CheckerFixture f;
  // Width 10 in pieces of at most 4: pieces of 4, 4 and 2 with one border column on each inner side.
  const auto layer = conv(10, 5, 2, 6);
  const auto [components, status] = split_conv_layer(*layer, f.checker, 256, 4, 512, Type::CNP1, false);
  ASSERT_FALSE(status.failed) << status.to_string();
  EXPECT_EQ(pieces_of(components), (std::vector<Piece>{{0, 0, 4, 5, 0, 0, 5, 5, 0, 6, 2},
                                                       {4, 0, 4, 5, 3, 0, 6, 5, 0, 6, 2},
                                                       {8, 0, 2, 5, 7, 0, 3, 5, 0, 6, 2}}));
}

TEST(SplitConv, WidthMajorNeuronsFastest) {
  CheckerFixture f;
  // Fits only with at most 2 columns and 2 rows per window and 3 filters per NP.
  f.checker.dual = [](Type, uint32_t h, uint32_t w, uint32_t) { return h <= 2 && w <= 2; };
  f.checker.single = f.checker.dual;
  f.checker.weights = [](uint32_t filters) { return filters <= 3; };
  const auto layer = conv(4, 2, 1, 5, 1);
  const auto [components, status] = split_conv_layer(*layer, f.checker, 256, 64, 512, Type::CNP2, false);
  ASSERT_FALSE(status.failed) << status.to_string();
  EXPECT_EQ(pieces_of(components), (std::vector<Piece>{{0, 0, 2, 2, 0, 0, 2, 2, 0, 3, 1},
                                                       {0, 0, 2, 2, 0, 0, 2, 2, 3, 2, 1},
                                                       {2, 0, 2, 2, 2, 0, 2, 2, 0, 3, 1},
                                                       {2, 0, 2, 2, 2, 0, 2, 2, 3, 2, 1}}));
  for (const auto& c : components) EXPECT_EQ(c.type, Type::CNP2);
}

TEST(SplitConv, SingleBufferAndDualBufferOnly) {
  CheckerFixture f;
  f.checker.dual = [](Type, uint32_t, uint32_t w, uint32_t) { return w <= 5; };
  f.checker.single = [](Type, uint32_t, uint32_t w, uint32_t) { return w <= 10; };
  const auto layer = conv(10, 1, 1, 1, 1);
  const auto single = split_conv_layer(*layer, f.checker, 256, 64, 512, Type::CNP1, false);
  ASSERT_EQ(single.first.size(), 1u);
  EXPECT_TRUE(single.first[0].np->single_buffer);
  const auto dual = split_conv_layer(*layer, f.checker, 256, 64, 512, Type::CNP1, true);
  ASSERT_EQ(dual.first.size(), 2u);
  EXPECT_FALSE(dual.first[0].np->single_buffer);
}

TEST(SplitConv, WeightsDecideTheNeuronPieces) {
  CheckerFixture f;
  std::vector<uint32_t> asked;
  f.checker.weights = [&asked](uint32_t filters) {
    asked.push_back(filters);
    return filters <= 3;
  };
  const auto layer = conv(4, 4, 1, 10, 1);
  const auto [components, status] = split_conv_layer(*layer, f.checker, 256, 64, 512, Type::CNP1, false);
  ASSERT_FALSE(status.failed);
  std::vector<uint32_t> filters;
  for (const auto& c : components) filters.push_back(c.np->filters);
  EXPECT_EQ(filters, (std::vector<uint32_t>{3, 3, 3, 1}));
  EXPECT_EQ(asked, (std::vector<uint32_t>{10, 5, 4, 3}));
}

TEST(SplitConv, Refusals) {
  CheckerFixture f;
  struct Case {
    const char* what;
    std::function<std::pair<std::vector<hw::Component>, MappingStatus>()> run;
    const char* message;
  };
  const auto layer = conv(8, 8, 4, 8);
  const auto no_filters = conv(8, 8, 4, 0);
  const Case cases[] = {
      {"height", [&] { return split_conv_layer(*layer, f.checker, 0, 64, 512, Type::CNP1, false); },
       "Cannot split by height."},
      {"width", [&] { return split_conv_layer(*layer, f.checker, 256, 0, 512, Type::CNP1, false); },
       "Cannot split by width."},
      {"filters", [&] { return split_conv_layer(*layer, f.checker, 256, 64, 0, Type::CNP1, false); },
       "Cannot split by neurons."},
      {"no filters", [&] { return split_conv_layer(*no_filters, f.checker, 256, 64, 512, Type::CNP1, false); },
       "Cannot split by neurons."},
  };
  for (const Case& c : cases) {
    const auto [components, status] = c.run();
    EXPECT_TRUE(components.empty()) << c.what;
    EXPECT_TRUE(status.failed) << c.what;
    EXPECT_EQ(status.layer_name, "conv") << c.what;
    EXPECT_EQ(status.message, c.message) << c.what;
  }
  f.checker.weights = [](uint32_t) { return false; };
  EXPECT_EQ(split_conv_layer(*layer, f.checker, 256, 64, 512, Type::CNP1, false).second.message,
            "Cannot split to fit weights in ram.");
  f.checker.weights = [](uint32_t) { return true; };
  f.checker.dual = [](Type, uint32_t, uint32_t, uint32_t) { return false; };
  f.checker.single = [](Type, uint32_t, uint32_t, uint32_t) { return false; };
  EXPECT_EQ(split_conv_layer(*layer, f.checker, 256, 64, 512, Type::CNP1, false).second.message,
            "Cannot split to fit inputs in ram.");
}

TEST(SplitConv, MaxPoolingAlignsAndShortensTheFirstPiece) {
  CheckerFixture f;
  auto layer = make_layer("conv", LayerType::Conv2D,
                          {{"kernel_size", 1}, {"filters", 1}, {"pool_type", 1}, {"pool_size", 4}}, shape3(10, 1, 1));
  PoolingCalculatedParams pool;
  pool.padding.x_before = 1;
  layer->set_pooling(PoolType::Max, pool);
  // Width 10 with pieces of at most 8 aligned on 4: two pieces of 8, the first one column shorter.
  const auto [components, status] = split_conv_layer(*layer, f.checker, 256, 8, 512, Type::CNP1, false);
  ASSERT_FALSE(status.failed) << status.to_string();
  EXPECT_EQ(pieces_of(components), (std::vector<Piece>{{0, 0, 7, 1, 0, 0, 7, 1, 0, 1, 1},
                                                       {7, 0, 3, 1, 7, 0, 3, 1, 0, 1, 1}}));
  // A pool size the maximum cannot hold refuses the height first.
  layer->fake_params().values()["pool_size"] = 9;
  EXPECT_EQ(split_conv_layer(*layer, f.checker, 8, 8, 512, Type::CNP1, false).second.message, "Cannot split by height.");
}

// The first of several pieces gives up the pooling's leading columns (rows), so the pieces of an axis
// cover total + cut - (pieces * piece) fewer places than a plain cut: a split whose pieces would
// then stop short of the axis's end is not taken.
struct PooledAxisRow {
  uint32_t total, max, pool, cut;
  std::vector<uint32_t> spans;  // empty: refused
};
std::ostream& operator<<(std::ostream& os, const PooledAxisRow& r) {
  return os << r.total << " in pieces of at most " << r.max << " aligned on " << r.pool << ", first cut " << r.cut;
}

class PooledAxisCover : public ::testing::TestWithParam<PooledAxisRow> {};

TEST_P(PooledAxisCover, PiecesCoverTheWholeAxis) {
  const PooledAxisRow& r = GetParam();
  CheckerFixture f;
  for (const bool along_width : {true, false}) {
    auto layer = make_layer("conv", LayerType::Conv2D,
                            {{"kernel_size", 1}, {"filters", 1}, {"pool_type", 1}, {"pool_size", int(r.pool)}},
                            along_width ? shape3(r.total, 1, 1) : shape3(1, r.total, 1));
    PoolingCalculatedParams pool;
    (along_width ? pool.padding.x_before : pool.padding.y_before) = r.cut;
    layer->set_pooling(PoolType::Max, pool);
    const auto [components, status] = along_width
                                          ? split_conv_layer(*layer, f.checker, 256, r.max, 512, Type::CNP1, false)
                                          : split_conv_layer(*layer, f.checker, r.max, 256, 512, Type::CNP1, false);
    if (r.spans.empty()) {
      EXPECT_EQ(status.to_string(), "Cannot map layer 'conv'. Cannot split to fit inputs in ram.") << along_width;
      continue;
    }
    ASSERT_FALSE(status.failed) << status.to_string();
    std::vector<uint32_t> spans;
    uint32_t next = 0;
    for (const auto& c : components) {
      const NpSpace& p = c.np->spatial_partition;
      EXPECT_EQ(along_width ? p.x : p.y, next) << along_width;
      spans.push_back(p.shape[along_width ? 0 : 1]);
      next += spans.back();
    }
    EXPECT_EQ(spans, r.spans) << along_width;
    EXPECT_EQ(next, r.total) << along_width;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PooledAxisCover,
    ::testing::Values(PooledAxisRow{10, 8, 4, 1, {7, 3}},       // room to spare: two pieces
                      PooledAxisRow{16, 8, 4, 0, {8, 8}},       // no pooling cut: the plain halves
                      PooledAxisRow{126, 64, 3, 1, {32, 33, 33, 28}},  // 62 + 63 would miss the last column
                      PooledAxisRow{16, 8, 4, 1, {}},           // 7 + 8 misses one; 8-wide thirds leave none
                      PooledAxisRow{20, 8, 4, 3, {5, 8, 7}}));  // 5 + 8 + 8 = 21 >= 20

TEST(SplitConv, ZeroChannelsCannotMakeAShape) {
  CheckerFixture f;
  const auto layer = conv(4, 4, 0, 2);
  try {
    split_conv_layer(*layer, f.checker, 256, 64, 512, Type::CNP1, false);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot have a shape with dimension 2 set to 0");
  }
}

TEST(SplitDepthwise, ChannelsFollowNeuronsAndTemporalAlignment) {
  CheckerFixture f;
  f.checker.dual = [](Type, uint32_t, uint32_t, uint32_t c) { return c <= 4; };
  f.checker.single = f.checker.dual;
  const auto dw = make_layer("dw", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, shape3(4, 4, 10));
  const auto [components, status] = split_depthwise_conv_layer(*dw, f.checker, 256, 64, 512, Type::CNP1, false);
  ASSERT_FALSE(status.failed);
  std::vector<std::pair<uint32_t, uint32_t>> parts;  // (filters, channels)
  for (const auto& c : components) parts.emplace_back(c.np->filters, c.np->spatial_partition.shape[2]);
  EXPECT_EQ(parts, (std::vector<std::pair<uint32_t, uint32_t>>{{4, 4}, {4, 4}, {2, 2}}));

  // On the temporal NPs channels are cut in fours and the last piece must be a multiple of 4 too.
  const auto tdw = make_layer("tdw", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}}, shape3(4, 4, 12));
  const auto temporal = split_depthwise_conv_layer(*tdw, f.checker, 256, 64, 512, Type::TNP_B, false);
  ASSERT_FALSE(temporal.second.failed);
  EXPECT_EQ(temporal.first.size(), 3u);
  const auto odd = make_layer("odd", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}}, shape3(4, 4, 10));
  EXPECT_EQ(split_depthwise_conv_layer(*odd, f.checker, 256, 64, 512, Type::TNP_B, false).second.message,
            "Cannot split to fit inputs in ram.");
  EXPECT_EQ(split_depthwise_conv_layer(*tdw, f.checker, 256, 64, 3, Type::TNP_B, false).second.message,
            "Cannot split by neurons.");
}

TEST(SplitTransposed, HeightMustFitOneNp) {
  CheckerFixture f;
  const auto t = make_layer("t", LayerType::Conv2DTranspose, {{"kernel_size", 4}, {"filters", 8}}, shape3(40, 20, 2));
  // Checked before the width, which would be refused too.
  EXPECT_EQ(split_transposed_conv2d_layer(*t, f.checker, 10, 0, 512, false).second.message,
            "Split by height is not supported.");
  EXPECT_EQ(split_transposed_conv2d_layer(*t, f.checker, 20, 0, 512, false).second.message, "Cannot split by width.");
  const auto [components, status] = split_transposed_conv2d_layer(*t, f.checker, 20, 16, 512, false);
  ASSERT_FALSE(status.failed);
  // Borders 1 before and kernel - 3 after; all on CNP1.
  EXPECT_EQ(pieces_of(components), (std::vector<Piece>{{0, 0, 14, 20, 0, 0, 15, 20, 0, 8, 2},
                                                       {14, 0, 14, 20, 13, 0, 16, 20, 0, 8, 2},
                                                       {28, 0, 12, 20, 27, 0, 13, 20, 0, 8, 2}}));
  for (const auto& c : components) EXPECT_EQ(c.type, Type::CNP1);

  const auto tdw = make_layer("tdw", LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 2}}, shape3(8, 8, 6));
  const auto dw = split_transposed_dwconv2d_layer(*tdw, f.checker, 20, 16, 4, false);
  ASSERT_FALSE(dw.second.failed);
  std::vector<uint32_t> windows;
  for (const auto& c : dw.first) windows.push_back(c.np->input_window.shape[0]);
  EXPECT_EQ(windows, (std::vector<uint32_t>{8, 8}));  // a kernel of 2 adds no trailing border
  EXPECT_EQ(dw.first[1].np->spatial_partition.shape[2], 3u);
}

TEST(SplitConv, AddInputReservesInputWords) {
  const auto add = make_layer("add", LayerType::Add);
  const auto c = conv(4, 4, 4, 4);
  EXPECT_EQ(v2::get_add_pksram_shift(*c), 0u);
  mapping_testing::connect(add, c);
  EXPECT_EQ(v2::get_add_pksram_shift(*c), 512u);
  CheckerFixture f;
  uint32_t reserved = 0;
  struct Spy : FakeChecker {
    using FakeChecker::FakeChecker;
    uint32_t* seen = nullptr;
    bool is_sram_input_fit_dual_buffer(Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                       uint32_t shift) const override {
      *seen = shift;
      return true;
    }
  } spy(f.device, f.limits);
  spy.seen = &reserved;
  split_conv_layer(*c, spy, 256, 64, 512, Type::CNP1, false);
  EXPECT_EQ(reserved, 512u);
}

// ---- per-NP geometry ----

TEST(NpSplitGeometry, PooledRangesOfTwoPartitions) {
  const Shape input = shape3(8, 8, 4);
  const PaddingParams none;
  const NpSplit left(input, NpSpace(0, 0, shape3(4, 4, 4)), NpSpace(0, 0, shape3(5, 5, 4)), 3, 1, none, 2, 2, none);
  EXPECT_EQ(left.input_y, 0u);
  EXPECT_EQ(left.width, 4u);
  EXPECT_EQ(left.channels, 4u);
  EXPECT_EQ(left.window_width, 5u);
  EXPECT_EQ(left.first_pooled_row, 0u);
  EXPECT_EQ(left.first_pooled_col, 0u);
  EXPECT_EQ(left.pooled_rows, 2u);
  EXPECT_EQ(left.pooled_cols, 2u);

  const NpSplit right(input, NpSpace(4, 0, shape3(4, 4, 4)), NpSpace(3, 0, shape3(5, 5, 4)), 3, 1, none, 2, 2, none);
  EXPECT_EQ(right.offset_x, -1);
  EXPECT_EQ(right.offset_y, 0);
  EXPECT_EQ(right.input_x, 3u);
  EXPECT_EQ(right.first_pooled_col, 1u);
  EXPECT_EQ(right.pooled_cols, 3u);

  PaddingParams conv_pad;
  conv_pad.x_before = 1;
  conv_pad.y_before = 3;
  const NpSplit phased(input, NpSpace(4, 2, shape3(4, 4, 4)), NpSpace(3, 1, shape3(6, 6, 4)), 3, 2, conv_pad, 2, 2,
                       none);
  EXPECT_EQ(phased.stride_phase_x, 1u);  // (4 + 1) mod 2
  EXPECT_EQ(phased.stride_phase_y, 1u);  // (2 + 3) mod 2
}

TEST(NpSplitGeometry, ZeroStridesGiveZeroes) {
  const NpSplit s(shape3(8, 8, 1), NpSpace(3, 3, shape3(2, 2, 1)), NpSpace(2, 2, shape3(4, 4, 1)), 3, 0,
                  PaddingParams{}, 0, 0, PaddingParams{});
  EXPECT_EQ(s.stride_phase_x, 0u);
  EXPECT_EQ(s.first_pooled_row, 0u);
  EXPECT_EQ(s.icont_size(), 4u);
}

TEST(NpSplitGeometry, TransposedValuesAndContainerSizes) {
  const TransposedCnpSplit t(NpSpace(3, 2, shape3(5, 4, 2)), NpSpace(2, 2, shape3(7, 4, 2)));
  EXPECT_EQ(t.stride_phase_x, 0u);
  EXPECT_EQ(t.stride_phase_y, 0u);
  EXPECT_EQ(t.offset_x, -1);
  EXPECT_EQ(t.first_pooled_row, 4u);
  EXPECT_EQ(t.first_pooled_col, 6u);
  EXPECT_EQ(t.pooled_rows, 8u);
  EXPECT_EQ(t.pooled_cols, 10u);
  EXPECT_EQ(t.icont_size(), 12u);
  const NpSplit s(shape3(8, 8, 1), NpSpace(0, 0, shape3(5, 1, 1)), NpSpace(0, 0, shape3(5, 1, 1)), 1, 1,
                  PaddingParams{}, 1, 1, PaddingParams{});
  EXPECT_EQ(s.icont_size(), 8u);
}

}  // namespace
}  // namespace ovrix

namespace ovrix {
namespace {

TEST(SplitConv, MoreNpsThanAnyMeshIsRefusedWithoutListingThem) {
  CheckerFixture f;
  // Only a 3 x 3 window of one channel fits: 4096 x 4096 pieces, far beyond 32-bit candidate counts
  // once the neurons are cut too.
  f.checker.dual = [](Type, uint32_t h, uint32_t w, uint32_t c) { return uint64_t(h) * w * c <= 9; };
  f.checker.single = f.checker.dual;
  const auto huge = make_layer("huge", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, shape3(4096, 4096, 512));
  const auto [components, status] = split_depthwise_conv_layer(*huge, f.checker, 256, 64, 512, Type::CNP1, false);
  EXPECT_TRUE(components.empty());
  EXPECT_EQ(status.to_string(),
            "Cannot map layer 'huge'. The layer would need 8589934592 NPs, more than a mesh can have.");
}

}  // namespace
}  // namespace ovrix

namespace ovrix {
namespace {

TEST(SplitConv, ADemandBeyondTheSupplyIsRefusedBeforeItsComponentsAreBuilt) {
  CheckerFixture f;
  f.checker.dual = [](Type, uint32_t h, uint32_t w, uint32_t c) { return uint64_t(h) * w * c <= 16; };
  f.checker.single = f.checker.dual;
  const auto layer = make_layer("many", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, shape3(40, 30, 2));
  uint64_t demand = 0;
  const auto all = split_depthwise_conv_layer(*layer, f.checker, 256, 64, 512, Type::CNP1, false,
                                              max_split_nps, &demand);
  ASSERT_FALSE(all.second.failed);
  ASSERT_GT(all.first.size(), 100u);
  EXPECT_EQ(demand, all.first.size());

  uint64_t refused_demand = 0;
  const auto [none, status] = split_depthwise_conv_layer(*layer, f.checker, 256, 64, 512, Type::CNP1, false,
                                                         all.first.size() - 1, &refused_demand);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(refused_demand, all.first.size());
  EXPECT_EQ(status.to_string(),
            "Cannot map layer 'many'. Not enough hardware components of type CNP1 available. " +
                std::to_string(all.first.size()) + " are needed but " + std::to_string(all.first.size() - 1) +
                " are available.");
  // Exactly enough NPs: the components are listed.
  EXPECT_EQ(split_depthwise_conv_layer(*layer, f.checker, 256, 64, 512, Type::CNP1, false, all.first.size())
                .first.size(),
            all.first.size());
}

}  // namespace
}  // namespace ovrix
