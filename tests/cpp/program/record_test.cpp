#include "program/record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace ovrix::program {
namespace {

constexpr hw::Ident kNp{1, 2, 3, 0};
constexpr size_t kMax = NpTrack::max_words;

// The XL rule belongs to the DMA header code; the tests read it instead of assuming a size.
uint32_t smallest_xl_payload() {
  for (uint32_t n = 1; n <= kMax; ++n)
    if (dma::config_block_size_needs_xl(n)) return n;
  return 0;
}
uint32_t largest_plain_payload() {
  uint32_t n = 0;
  while (n + 1 <= kMax - 2 && !dma::config_block_size_needs_xl(n + 1)) ++n;
  return n;
}

std::vector<uint32_t> header(dma::Target target, uint32_t size, uint16_t parameter, bool xl,
                             const hw::Ident& np = kNp) {
  std::vector<uint32_t> h(dma::config_header_words);
  dma::format_config_header(h.data(), np, target, size, parameter, xl);
  return h;
}

std::vector<uint32_t> payload(uint32_t n, uint32_t first = 1) {
  std::vector<uint32_t> w(n);
  for (uint32_t i = 0; i < n; ++i) w[i] = first + i;
  return w;
}

// Fills the track with plain blocks up to exactly `target` words.
void fill_to(NpTrack& track, size_t target) {
  const size_t max_plain = largest_plain_payload();
  ASSERT_GE(max_plain, 2u);
  while (track.size() < target) {
    const size_t rem = target - track.size();
    ASSERT_GE(rem, 2u);
    size_t n = std::min(max_plain, rem - 2);
    if (rem - 2 - n == 1) --n;  // never leave a single word, no block is that short
    ASSERT_TRUE(track.append(kNp, dma::Target::Weights, 0, payload(static_cast<uint32_t>(n)), false, true));
  }
  ASSERT_EQ(track.size(), target);
}

TEST(NpTrack, EmptyPayloadIsAHeaderWithSizeZero) {
  ASSERT_FALSE(dma::config_block_size_needs_xl(0));
  NpTrack track;
  ASSERT_TRUE(track.append(kNp, dma::Target::NpRegisters, 7, {}, false, true));
  EXPECT_EQ(track.words(), header(dma::Target::NpRegisters, 0, 7, false));
}

TEST(NpTrack, BlocksFollowEachOtherWithTheirOwnHeaders) {
  NpTrack track;
  ASSERT_TRUE(track.append(kNp, dma::Target::NpRegisters, 0, payload(3, 10), false, true));
  ASSERT_TRUE(track.append(hw::Ident(4, 5, 6), dma::Target::Variables, 0x1234, payload(2, 20), false, false));
  std::vector<uint32_t> expected = header(dma::Target::NpRegisters, 3, 0, false);
  for (uint32_t w : payload(3, 10)) expected.push_back(w);
  for (uint32_t w : header(dma::Target::Variables, 0, 0x1234, false, hw::Ident(4, 5, 6))) expected.push_back(w);
  for (uint32_t w : payload(2, 20)) expected.push_back(w);
  EXPECT_EQ(track.words(), expected);
}

TEST(NpTrack, HoldsExactly65535Words) {
  NpTrack full;
  fill_to(full, kMax - 2);
  EXPECT_TRUE(full.append(kNp, dma::Target::Weights, 0, {}, false, true));
  EXPECT_EQ(full.size(), kMax);

  NpTrack almost;
  fill_to(almost, kMax - 1);
  const auto before = almost.words();
  EXPECT_FALSE(almost.append(kNp, dma::Target::Weights, 0, {}, false, true));
  EXPECT_FALSE(almost.append(kNp, dma::Target::Weights, 0, {}, true, true));
  EXPECT_EQ(almost.words(), before);
}

TEST(NpTrack, LargestPlainBlockFillsTheTrackToTheLastWord) {
  const uint32_t m = largest_plain_payload();
  NpTrack track;
  fill_to(track, kMax - 2 - m);
  ASSERT_TRUE(track.append(kNp, dma::Target::Weights, 0, payload(m), false, true));
  EXPECT_EQ(track.size(), kMax);
  EXPECT_EQ(track.words().back(), m);  // the payload's last word, no padding
}

TEST(NpTrack, XlBlockIsPaddedToSixteenWords) {
  const uint32_t n = smallest_xl_payload();
  if (n == 0 || n + 2 + 15 > kMax) GTEST_SKIP() << "no payload needs the XL header";
  const uint32_t padded = (n + 15) & ~15u;
  for (bool with_size : {true, false}) {
    NpTrack track;
    EXPECT_FALSE(track.append(kNp, dma::Target::Weights, 0, payload(n), false, with_size));
    EXPECT_TRUE(track.empty());
    ASSERT_TRUE(track.append(kNp, dma::Target::Weights, 5, payload(n), true, with_size));
    std::vector<uint32_t> expected = header(dma::Target::Weights, with_size ? padded : 0, 5, true);
    for (uint32_t w : payload(n)) expected.push_back(w);
    expected.resize(2 + padded, 0);
    EXPECT_EQ(track.words(), expected) << "with_size " << with_size;
  }
}

// Lowers the XL threshold for one test and puts the engine's value back.
class XlThreshold {
 public:
  explicit XlThreshold(uint32_t words) { dma::set_xl_threshold(words); }
  ~XlThreshold() { dma::set_xl_threshold(dma::max_normal_block_words); }
};

TEST(NpTrack, SeventeenWordXlBlockTakesThirtyFourWords) {
  const XlThreshold xl(16);  // blocks of more than 16 words need the XL header
  for (bool with_size : {true, false}) {
    NpTrack track;
    ASSERT_TRUE(track.append(kNp, dma::Target::Weights, 0, payload(17), true, with_size));
    ASSERT_EQ(track.size(), 2u + 17 + 15);
    const dma::ConfigHeader h = dma::parse_config_header(track.words().data());
    EXPECT_TRUE(h.xl);
    EXPECT_EQ(h.size, with_size ? 32u : 0u);
    EXPECT_EQ(track.words()[2 + 16], 17u);
    for (size_t i = 2 + 17; i < track.size(); ++i) EXPECT_EQ(track.words()[i], 0u) << i;
  }
}

TEST(NpTrack, ThirtyThreeWordsFillA65500WordTrack) {
  ASSERT_FALSE(dma::config_block_size_needs_xl(33));
  NpTrack track;
  fill_to(track, 65500);
  ASSERT_TRUE(track.append(kNp, dma::Target::Weights, 0, payload(33), false, true));
  EXPECT_EQ(track.size(), kMax);
}

// Every block of a record, read back from its header: where it goes, what it is, how long it is.
struct ExpectedBlock {
  size_t track;
  hw::Ident np;
  dma::Target target;
  uint16_t parameter;
  uint32_t payload;  // words given
  bool with_size;
  bool append_to_last;
  bool xl;
};

// Blocks of every placement, with and without their size, plain and XL (beyond 16 words).
std::vector<ExpectedBlock> mixed_blocks() {
  return {
      {0, hw::Ident(1, 0, 0), dma::Target::NpRegisters, 0, 16, true, true, false},
      {0, hw::Ident(1, 0, 1), dma::Target::InputShift, 3, 0, true, true, false},
      {1, hw::Ident(1, 0, 1), dma::Target::Weights, 0, 40, true, true, true},  // XL: a track of its own
      {1, hw::Ident(2, 3, 0), dma::Target::Variables, 0xFFFF, 5, false, true, false},
      {2, hw::Ident(0, 0, 0, 127), dma::Target::SkipDmaRegisters, 0x40, 1, true, false, false},
      {4, hw::Ident(9, 9, 9), dma::Target::LookUpTable, 1, 20, false, false, true},  // XL after an empty track 3
  };
}

TEST(Record, DmaHeaderOfEveryBlock) {
  const XlThreshold xl(16);
  const std::vector<ExpectedBlock> blocks = mixed_blocks();
  auto record = new_record({});
  for (const auto& b : blocks)
    record->add_np_track(b.np, b.target, b.parameter, payload(b.payload, 0x100),
                         {.with_size = b.with_size, .append_to_last = b.append_to_last});

  // The XL block recorded without append_to_last left the track opened for it empty.
  ASSERT_EQ(record->tracks().size(), 5u);
  EXPECT_TRUE(record->tracks()[3].empty());
  std::vector<size_t> cursor(record->tracks().size(), 0);
  for (const auto& b : blocks) {
    const size_t t = b.track;
    const auto& words = record->tracks()[t].words();
    ASSERT_LT(cursor[t] + 1, words.size());
    const dma::ConfigHeader h = dma::parse_config_header(words.data() + cursor[t]);
    const uint32_t padded = b.xl ? (b.payload + 15) & ~15u : b.payload;
    EXPECT_EQ(h.ident, b.np);
    EXPECT_EQ(h.target, b.target);
    EXPECT_EQ(h.parameter, b.parameter);
    EXPECT_EQ(h.xl, b.xl);
    EXPECT_EQ(h.size, b.with_size ? padded : 0u);
    if (b.payload) {
      EXPECT_EQ(words[cursor[t] + 2], 0x100u);
    }
    cursor[t] += 2 + padded;
  }
  for (size_t t = 0; t < cursor.size(); ++t) EXPECT_EQ(cursor[t], record->tracks()[t].size()) << "track " << t;
}

TEST(Record, PlacementFlagsAsArgumentsRecordTheSameTracks) {
  const XlThreshold xl(16);
  auto placed = new_record({});
  auto copied = new_record({});
  auto taken = new_record({});
  for (const auto& b : mixed_blocks()) {
    const std::vector<uint32_t> words = payload(b.payload, 0x100);
    placed->add_np_track(b.np, b.target, b.parameter, words, {.with_size = b.with_size, .append_to_last = b.append_to_last});
    copied->add_np_track(b.np, b.target, b.parameter, words, b.with_size, b.append_to_last);
    taken->add_np_track(b.np, b.target, b.parameter, payload(b.payload, 0x100), b.with_size, b.append_to_last);
  }
  ASSERT_EQ(placed->tracks().size(), 5u);
  for (const auto* other : {copied.get(), taken.get()}) {
    ASSERT_EQ(other->tracks().size(), placed->tracks().size());
    for (size_t t = 0; t < placed->tracks().size(); ++t) EXPECT_EQ(other->tracks()[t].words(), placed->tracks()[t].words()) << t;
  }
}

TEST(Record, HeaderErrorsPassThroughAndLeaveTheTrackAsItWas) {
  auto record = new_record({});
  record->add_np_track(kNp, dma::Target::NpRegisters, 0, payload(2));
  EXPECT_THROW(record->add_np_track(hw::Ident(0, 0, 0, 200), dma::Target::NpRegisters, 0, payload(2)),
               std::invalid_argument);
  EXPECT_EQ(record->tracks()[0].size(), 4u);
}

TEST(Record, NewRecordIsEmpty) {
  const HwVersion v(0xBC, 0xA2, 1, 0);
  auto record = new_record(v);
  EXPECT_TRUE(record->tracks().empty());
  EXPECT_EQ(record->fnp2_filters_track(), nullptr);
  EXPECT_EQ(record->hw_version(), v);
}

TEST(Record, AppendToLastChoosesTheTrack) {
  auto apart = new_record({});
  apart->add_np_track(kNp, dma::Target::NpRegisters, 0, payload(4), {.append_to_last = false});
  apart->add_np_track(kNp, dma::Target::Variables, 0, payload(4), {.append_to_last = false});
  EXPECT_EQ(apart->tracks().size(), 2u);

  auto together = new_record({});
  together->add_np_track(kNp, dma::Target::NpRegisters, 0, payload(4));  // no track yet: opens one
  together->add_np_track(kNp, dma::Target::Variables, 0, payload(4));
  ASSERT_EQ(together->tracks().size(), 1u);
  EXPECT_EQ(together->tracks()[0].size(), 12u);
}

TEST(Record, FullTrackSpillsIntoANewTrack) {
  const uint32_t m = largest_plain_payload();
  auto record = new_record({});
  size_t blocks = 0;
  while (record->tracks().size() < 2) {
    record->add_np_track(kNp, dma::Target::Weights, 0, payload(m));
    ++blocks;
  }
  // The first track took every block it could hold; the one that did not fit opened the second.
  const size_t first = record->tracks()[0].size();
  EXPECT_EQ(first, (blocks - 1) * (2 + m));
  EXPECT_GT(first + 2 + m, kMax);
  EXPECT_EQ(record->tracks()[1].size(), 2u + m);
}

TEST(Record, XlBlockAlwaysStartsATrackAndLaterBlocksFollowIt) {
  const uint32_t n = smallest_xl_payload();
  if (n == 0 || n + 2 + 15 > kMax) GTEST_SKIP() << "no payload needs the XL header";
  auto record = new_record({});
  record->add_np_track(kNp, dma::Target::NpRegisters, 0, payload(3));
  record->add_np_track(kNp, dma::Target::Weights, 0, payload(n));
  record->add_np_track(kNp, dma::Target::Variables, 0, payload(2));
  ASSERT_EQ(record->tracks().size(), 2u);
  EXPECT_EQ(record->tracks()[0].size(), 5u);
  const uint32_t padded = (n + 15) & ~15u;
  EXPECT_EQ(record->tracks()[1].size(), 2u + padded + 4u);
  const auto& words = record->tracks()[1].words();
  EXPECT_EQ(std::vector<uint32_t>(words.begin(), words.begin() + 2), header(dma::Target::Weights, padded, 0, true));
  EXPECT_EQ(std::vector<uint32_t>(words.begin() + 2 + padded, words.begin() + 4 + padded),
            header(dma::Target::Variables, 2, 0, false));
}

TEST(Record, XlBlockLeavesAnEmptyTrackBehindIt) {
  const uint32_t n = smallest_xl_payload();
  if (n == 0 || n + 2 + 15 > kMax) GTEST_SKIP() << "no payload needs the XL header";
  for (bool append_to_last : {false, true}) {
    auto record = new_record({});
    record->add_np_track(kNp, dma::Target::Weights, 0, payload(n), {.append_to_last = append_to_last});
    ASSERT_EQ(record->tracks().size(), 2u);
    EXPECT_TRUE(record->tracks()[0].empty());
    EXPECT_FALSE(record->tracks()[1].empty());
  }
}

TEST(Record, BlockTooLongForAnyTrackFails) {
  // 65533 payload words fit an empty track only when they need no padding.
  const bool fits = !dma::config_block_size_needs_xl(kMax - 2);
  auto ok = new_record({});
  if (fits) {
    ok->add_np_track(kNp, dma::Target::Weights, 0, payload(kMax - 2), {.append_to_last = false});
    EXPECT_EQ(ok->tracks().back().size(), kMax);
  }

  auto record = new_record({});
  try {
    record->add_np_track(kNp, dma::Target::Weights, 0, payload(kMax - 1), {.append_to_last = false});
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Error generating NP program.");
  }
  // Both tracks opened by the failed call stay, empty.
  ASSERT_EQ(record->tracks().size(), 2u);
  EXPECT_TRUE(record->tracks()[0].empty());
  EXPECT_TRUE(record->tracks()[1].empty());
}

TEST(Record, Fnp2FiltersTrackKeepsTheLastList) {
  auto record = new_record({});
  record->add_fnp2_filters_track(kNp, {1, 2, 3});
  record->add_fnp2_filters_track(hw::Ident(7, 8, 9), {4});
  ASSERT_NE(record->fnp2_filters_track(), nullptr);
  EXPECT_EQ(record->fnp2_filters_track()->np, hw::Ident(7, 8, 9));
  EXPECT_EQ(record->fnp2_filters_track()->words, std::vector<uint32_t>{4});
  EXPECT_TRUE(record->tracks().empty());

  auto empty = new_record({});
  empty->add_fnp2_filters_track(kNp, {});
  ASSERT_NE(empty->fnp2_filters_track(), nullptr);
  EXPECT_TRUE(empty->fnp2_filters_track()->words.empty());
}

}  // namespace
}  // namespace ovrix::program
