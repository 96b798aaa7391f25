// A payload handed over to a record (add_np_track with a vector it may take) gives exactly the words of
// a copied one, whether the track takes the vector over or copies it.
#include <gtest/gtest.h>

#include <vector>

#include "program/record.h"

namespace ovrix::program {
namespace {

constexpr hw::Ident kNp{1, 2, 3, 0};

std::vector<uint32_t> payload(uint32_t n, size_t headroom) {
  std::vector<uint32_t> w;
  w.reserve(n + headroom);
  for (uint32_t i = 0; i < n; ++i) w.push_back(0x1000 + i);
  return w;
}

// The tracks of a record given, after a small block, one block of n words: copied, and handed over.
std::pair<std::vector<NpTrack>, std::vector<NpTrack>> both_ways(uint32_t n, size_t headroom, bool append_to_last) {
  const HwVersion version{};
  auto copied = new_record(version), moved = new_record(version);
  for (auto* r : {copied.get(), moved.get()})
    r->add_np_track(kNp, dma::Target::NpRegisters, 0, std::vector<uint32_t>{7, 8, 9});
  const std::vector<uint32_t> kept = payload(n, headroom);  // an lvalue: the copying overload
  copied->add_np_track(kNp, dma::Target::Weights, 5, kept, {.append_to_last = append_to_last});
  std::vector<uint32_t> given = payload(n, headroom);
  const uint32_t* storage = given.data();
  moved->add_np_track(kNp, dma::Target::Weights, 5, std::move(given), {.append_to_last = append_to_last});
  // A block that starts a track with room to spare becomes that track: no copy.
  if (!append_to_last && headroom >= dma::config_header_words + 15) {
    EXPECT_EQ(moved->tracks().back().words().data(), storage);
  }
  return {copied->tracks(), moved->tracks()};
}

TEST(RecordMove, HandedOverBlocksGiveTheWordsOfCopiedOnes) {
  // Plain and XL sizes; appended to the registers' track or starting one; with and without room for the
  // header and padding.
  for (uint32_t n : {1u, 17u, 4095u, 4096u, 4100u, 20000u})
    for (size_t headroom : {size_t{0}, size_t{1}, size_t{17}})
      for (bool append_to_last : {true, false}) {
        SCOPED_TRACE(testing::Message() << n << " words, headroom " << headroom << ", append " << append_to_last);
        const auto [copied, moved] = both_ways(n, headroom, append_to_last);
        ASSERT_EQ(copied.size(), moved.size());
        for (size_t t = 0; t < copied.size(); ++t) EXPECT_EQ(copied[t].words(), moved[t].words());
      }
}

}  // namespace
}  // namespace ovrix::program
