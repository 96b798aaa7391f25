// Every CNP weight layout against golden words (tests/data/v1/cnp_weight_layouts.txt): standard 1-, 2-
// and 4-bit weights for every kernel width, separable depthwise and pointwise weights, and the values
// and shapes the layouts refuse.
#include <gtest/gtest.h>

#include "backends/v1/cnp_sizes.h"
#include "backends/v1/cnp_weights.h"
#include "support/message_of.h"
#include "support/v1_table.h"
#include "support/v1_tensors.h"

namespace ovrix::v1 {
namespace {

using testing::Case;
using testing::num;
using testing::values;

// kind bits k C F first count fill
std::vector<uint32_t> format(const Case& c, TensorType type = TensorType::int8) {
  const std::string& kind = c.in.at(0);
  const int bits = static_cast<int>(num(c.in[1]));
  const auto k = static_cast<uint32_t>(num(c.in[2])), channels = static_cast<uint32_t>(num(c.in[3])),
             filters = static_cast<uint32_t>(num(c.in[4])), first = static_cast<uint32_t>(num(c.in[5])),
             count = static_cast<uint32_t>(num(c.in[6]));
  const std::vector<int> fill = values(c.in.at(7));
  if (kind == "std") {
    const auto w = testing::filled(type, Shape{filters, channels, k, k}, fill);
    return bits == 4 ? format_4bits_std_cnp_weights(*w, first, count)
                     : format_std_cnp_weights(*w, bits == 2, first, count);
  }
  if (kind == "dw") return format_sep_cnp_dw_weights(*testing::filled(type, Shape{1, channels, k, k}, fill), bits);
  if (kind == "pw")
    return format_sep_cnp_pw_weights(*testing::filled(type, Shape{filters, channels}, fill), bits, first, count);
  ADD_FAILURE() << "unknown kind " << kind;
  return {};
}

// The size function of the layout, for the same case.
uint32_t size_of(const Case& c) {
  const int bits = static_cast<int>(num(c.in[1]));
  const auto k = static_cast<uint32_t>(num(c.in[2])), channels = static_cast<uint32_t>(num(c.in[3])),
             count = static_cast<uint32_t>(num(c.in[6]));
  if (c.in[0] == "std") return get_std_cnp_sram_size(k, channels, count, bits);
  if (c.in[0] == "pw") return channels * 2 * get_nb_words_per_pw_channel(count, bits);
  return get_dw_weights_sram_size(static_cast<int>(k), channels, bits);
}

TEST(V1WeightLayouts, GoldenWords) {
  for (const Case& c : testing::read_table("cnp_weight_layouts.txt")) {
    SCOPED_TRACE(c.where());
    if (c.fails()) {
      EXPECT_EQ(test_support::message_of([&] { format(c); }), c.error);
      continue;
    }
    const std::vector<uint32_t> words = format(c);
    EXPECT_EQ(words, testing::sparse_words(c.out));
    // The standard and pointwise formatters fill exactly what the sizing reserves; the depthwise block
    // is reserved rounded up to 16 words.
    if (c.in[0] == "dw")
      EXPECT_EQ(size_of(c), (words.size() + 15) / 16 * 16);
    else
      EXPECT_EQ(size_of(c), words.size());
  }
}

TEST(V1WeightLayouts, OnlySignedByteTensors) {
  const auto w = testing::filled(TensorType::int16, Shape{1, 1, 3, 3}, {1});
  EXPECT_EQ(test_support::message_of([&] { format_std_cnp_weights(*w, false, 0, 1); }),
            "Wrong requested type a for a tensor of type int16");
  EXPECT_EQ(test_support::message_of([&] { format_sep_cnp_dw_weights(*w, 2); }),
            "Wrong requested type a for a tensor of type int16");
}

TEST(V1WeightLayouts, SquareKernelsOnly) {
  const auto w = testing::filled(TensorType::int8, Shape{1, 1, 3, 5}, {1});
  EXPECT_EQ(test_support::message_of([&] { format_std_cnp_weights(*w, false, 0, 1); }),
            "CNP: width and height must be equal.");
  EXPECT_EQ(test_support::message_of([&] { format_4bits_std_cnp_weights(*w, 0, 1); }),
            "CNP: width and height must be equal.");
}

TEST(V1WeightLayouts, ReadsThroughStrides) {
  // The same logical weights in both layouts give the same words, the 1x1 4-bit path included.
  for (const uint32_t k : {1u, 3u}) {
    const auto reversed = testing::filled(TensorType::int4, Shape{5, 3, k, k}, {1, -7, 0, 4, -2});
    const auto row_major = testing::filled(TensorType::int4, Shape{5, 3, k, k}, {1, -7, 0, 4, -2},
                                           Dense::Layout::RowMajor);
    EXPECT_EQ(format_4bits_std_cnp_weights(*reversed, 1, 4), format_4bits_std_cnp_weights(*row_major, 1, 4));
  }
}

TEST(V1WeightLayouts, IntN) {
  EXPECT_EQ(int32_to_intN<2>(-2), 2u);
  EXPECT_EQ(int32_to_intN<2>(-1), 3u);
  EXPECT_EQ(int32_to_intN<2>(1), 1u);
  EXPECT_EQ(int32_to_intN<4>(-8), 8u);
  EXPECT_EQ(int32_to_intN<4>(7), 7u);
  EXPECT_EQ(test_support::message_of([] { int32_to_intN<2>(2); }), "2 cannot fit in a 2-bit signed integer");
  EXPECT_EQ(test_support::message_of([] { int32_to_intN<4>(8); }), "8 cannot fit in a 4-bit signed integer");
  EXPECT_EQ(test_support::message_of([] { int32_to_intN<4>(-9); }), "-9 cannot fit in a 4-bit signed integer");
}

}  // namespace
}  // namespace ovrix::v1
