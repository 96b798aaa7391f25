#include "backends/v2/cnp_weights.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/dma.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::bits_at;
using testing::byte_at;
using testing::make_weights;
using testing::signed_message;

// Restores the XL threshold after a test that lowers it.
class XlThreshold {
 public:
  explicit XlThreshold(uint32_t words) { dma::set_xl_threshold(words); }
  ~XlThreshold() { dma::set_xl_threshold(dma::max_normal_block_words); }
};

// A distinct, never-zero byte per weight of a small tensor.
int8_t tag(uint32_t i, uint32_t j, uint32_t c, uint32_t f) { return static_cast<int8_t>(1 + i + 7 * j + 49 * c + 13 * f); }

// ---- Sizes and targets

struct ChContCase {
  uint32_t kernel;
  uint32_t filters;
  uint8_t bits;
  uint32_t words;
};

class Conv2dChContTest : public ::testing::TestWithParam<ChContCase> {};

TEST_P(Conv2dChContTest, HundredBitWords) {
  const auto& c = GetParam();
  EXPECT_EQ(conv2d_ch_cont_100b_size(c.kernel, c.filters, c.bits), c.words);
  EXPECT_EQ(conv2d_cnp_formatted_weight_100b_size(c.kernel, c.filters, 3, c.bits), 3 * c.words);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Conv2dChContTest,
    ::testing::Values(ChContCase{3, 1, 8, 6}, ChContCase{1, 1, 8, 2}, ChContCase{7, 1, 8, 56}, ChContCase{1, 25, 8, 4},
                      ChContCase{1, 24, 8, 2}, ChContCase{1, 48, 8, 4}, ChContCase{3, 10, 8, 12},
                      ChContCase{4, 8, 8, 12}, ChContCase{5, 9, 8, 40}, ChContCase{7, 16, 8, 112},
                      // 4-bit weights
                      ChContCase{1, 24, 4, 1}, ChContCase{1, 25, 4, 2}, ChContCase{3, 9, 4, 6}, ChContCase{5, 8, 4, 8},
                      ChContCase{5, 9, 4, 16}, ChContCase{7, 8, 4, 21}, ChContCase{7, 1, 4, 21}));

TEST(Conv2dSizes, ThirtyTwoBitWords) {
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(3, 10, 2, 8), 72u);   // 12 words of 96 bits per channel
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(7, 8, 1, 8), 224u);   // four-word containers
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(3, 8, 2, 4), 24u);    // 3 words per channel × 4
  EXPECT_EQ(conv2d_cnp_formatted_4bit_weight_32b_size(5, 9, 1), 64u);
  EXPECT_EQ(conv2d_cnp_formatted_4bit_weight_100b_size(7, 8, 2), 42u);
  const XlThreshold xl(17);
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(3, 8, 1, 8), 32u);    // 18 words need the XL header
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(1, 8, 2, 8), 12u);
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(3, 8, 1, 4), 12u);    // 4-bit blocks are not rounded
}

TEST(Conv2dSizes, UnknownKernels) {
  EXPECT_THAT([] { conv2d_ch_cont_100b_size(2, 8, 8); }, ThrowsMessage<std::runtime_error>("ch_cont_size: Unexpected kernel size."));
  EXPECT_THAT([] { conv2d_ch_cont_100b_size(4, 8, 4); }, ThrowsMessage<std::runtime_error>("Unsupported kernel size."));
  EXPECT_THAT([] { conv2d_cnp_formatted_weight_32b_size(6, 8, 1, 8); }, ThrowsMessage<std::runtime_error>("ch_cont_size: Unexpected kernel size."));
}

struct TargetCase {
  uint32_t kernel;
  uint8_t bits;
  uint32_t conv2d;
  uint32_t depthwise;  // 99: refused
};

class DmaTargetTest : public ::testing::TestWithParam<TargetCase> {};

TEST_P(DmaTargetTest, PerKernelAndWidth) {
  const auto& c = GetParam();
  if (c.conv2d == 99)
    EXPECT_THAT([&] { conv2d_dma_target(c.kernel, c.bits); }, ThrowsMessage<std::runtime_error>("cnp_weight_format: Unexpected kernel size."));
  else
    EXPECT_EQ(conv2d_dma_target(c.kernel, c.bits), c.conv2d);
  if (c.depthwise == 99)
    EXPECT_THAT([&] { dwc_dma_target(c.kernel, c.bits); }, ThrowsMessage<std::runtime_error>("cnp_weight_format: Unexpected kernel size."));
  else
    EXPECT_EQ(dwc_dma_target(c.kernel, c.bits), c.depthwise);
}

INSTANTIATE_TEST_SUITE_P(Targets, DmaTargetTest,
                         ::testing::Values(TargetCase{1, 8, 1, 99}, TargetCase{3, 8, 1, 1}, TargetCase{4, 8, 1, 1},
                                           TargetCase{5, 8, 1, 1}, TargetCase{7, 8, 0, 1}, TargetCase{2, 8, 99, 99},
                                           TargetCase{7, 4, 0, 0}, TargetCase{2, 4, 0, 0}, TargetCase{3, 4, 0, 0}));

TEST(DepthwiseSizes, PerKernel) {
  EXPECT_EQ(dwc_ch_cont_100b_size(3, 5, 8), 5u);
  EXPECT_EQ(dwc_ch_cont_100b_size(4, 5, 8), 10u);
  EXPECT_EQ(dwc_ch_cont_100b_size(5, 5, 8), 15u);
  EXPECT_EQ(dwc_ch_cont_100b_size(7, 5, 8), 35u);
  EXPECT_EQ(dwc_ch_cont_100b_size(3, 5, 4), 3u);
  EXPECT_EQ(dwc_ch_cont_100b_size(5, 5, 4), 8u);
  EXPECT_EQ(dwc_ch_cont_100b_size(7, 5, 4), 18u);
  EXPECT_EQ(dwc_4bit_ch_cont_100b_size(3, 4), 2u);
  EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(5, 2, 8), 18u);
  EXPECT_EQ(dwc_cnp_formatted_4bit_weight_32b_size(3, 3), 16u);
  EXPECT_EQ(dwc_cnp_formatted_4bit_weight_32b_size(5, 3), 32u);
  EXPECT_EQ(dwc_cnp_formatted_4bit_weight_32b_size(7, 8), 112u);
  EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(7, 1, 4), 16u);
  EXPECT_THAT([] { dwc_ch_cont_100b_size(1, 5, 8); }, ThrowsMessage<std::runtime_error>("ch_cont_size: Unexpected kernel size."));
  EXPECT_THAT([] { dwc_ch_cont_100b_size(4, 5, 4); }, ThrowsMessage<std::runtime_error>("Invalid kernel size."));
  EXPECT_THAT([] { dwc_cnp_formatted_4bit_weight_32b_size(1, 5); }, ThrowsMessage<std::runtime_error>("Invalid kernel size."));
  const XlThreshold xl(17);
  EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(5, 2, 8), 32u);
}

// ---- Standard convolution, 8-bit weights

TEST(Conv2dWeights8, Kernel3TwoGroupsLeaveEmptySlotsZero) {
  const auto w = make_weights(3, 2, 10, tag);
  const auto words = format_conv2d_cnp_weights(*w, 0, 10, 8);
  ASSERT_EQ(words.size(), 72u);  // 36 words per channel
  for (uint32_t c = 0; c < 2; ++c)
    for (uint32_t f = 0; f < 10; ++f)
      for (uint32_t j = 0; j < 3; ++j)
        for (uint32_t i = 0; i < 3; ++i) {
          // channel, group of 8 filters (18 words), row of 24 bytes, 3 bytes per filter
          const size_t b = c * 144 + (f / 8) * 72 + j * 24 + (f % 8) * 3 + i;
          EXPECT_EQ(byte_at(words, b), static_cast<uint8_t>(tag(i, j, c, f))) << c << f << j << i;
        }
  for (uint32_t c = 0; c < 2; ++c)
    for (uint32_t j = 0; j < 3; ++j)
      for (size_t b = 6; b < 24; ++b) EXPECT_EQ(byte_at(words, c * 144 + 72 + j * 24 + b), 0) << c << j << b;
}

TEST(Conv2dWeights8, Kernel3FilterRangeOfOneNp) {
  const auto w = make_weights(3, 1, 20, tag);
  const auto words = format_conv2d_cnp_weights(*w, 12, 3, 8);
  ASSERT_EQ(words.size(), 18u);
  EXPECT_EQ(byte_at(words, 0), static_cast<uint8_t>(tag(0, 0, 0, 12)));
  EXPECT_EQ(byte_at(words, 8), static_cast<uint8_t>(tag(2, 0, 0, 14)));
  EXPECT_EQ(byte_at(words, 9), 0);
  EXPECT_EQ(byte_at(words, 24 + 3), static_cast<uint8_t>(tag(0, 1, 0, 13)));
  EXPECT_THROW(format_conv2d_cnp_weights(*w, 18, 3, 8), std::invalid_argument);
}

TEST(Conv2dWeights8, Kernel1TwentyFourFiltersInTwoWords) {
  const auto w = make_weights(1, 2, 25, tag);
  const auto words = format_conv2d_cnp_weights(*w, 0, 25, 8);
  ASSERT_EQ(words.size(), 24u);  // 4 words of 96 bits per channel
  for (uint32_t c = 0; c < 2; ++c) {
    for (uint32_t f = 0; f < 25; ++f) EXPECT_EQ(byte_at(words, c * 48 + f), static_cast<uint8_t>(tag(0, 0, c, f)));
    for (uint32_t b = 25; b < 48; ++b) EXPECT_EQ(byte_at(words, c * 48 + b), 0);
  }
}

TEST(Conv2dWeights8, Kernel4RowsOf32BytesAndFourZeros) {
  const auto w = make_weights(4, 1, 8, tag);
  const auto words = format_conv2d_cnp_weights(*w, 0, 8, 8);
  ASSERT_EQ(words.size(), 36u);
  for (uint32_t j = 0; j < 4; ++j) {
    for (uint32_t f = 0; f < 8; ++f)
      for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(byte_at(words, j * 36 + f * 4 + i), static_cast<uint8_t>(tag(i, j, 0, f)));
    for (uint32_t b = 32; b < 36; ++b) EXPECT_EQ(byte_at(words, j * 36 + b), 0);
  }
}

TEST(Conv2dWeights8, Kernel5FilterRowsOfSixBytes) {
  const auto w = make_weights(5, 1, 3, tag);
  const auto words = format_conv2d_cnp_weights(*w, 0, 3, 8);
  ASSERT_EQ(words.size(), 60u);
  for (uint32_t j = 0; j < 5; ++j)
    for (uint32_t f = 0; f < 3; ++f) {
      for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(byte_at(words, j * 48 + f * 6 + i), static_cast<uint8_t>(tag(i, j, 0, f)));
      EXPECT_EQ(byte_at(words, j * 48 + f * 6 + 5), 0);
    }
}

TEST(Conv2dWeights8, Kernel7OneHundredBitWordPerFilterRow) {
  // Weight 6 of each row crosses the 50/50 split of the 100-bit word.
  const auto w = make_weights(7, 1, 2, [](uint32_t i, uint32_t j, uint32_t, uint32_t f) {
    return i == 6 ? static_cast<int8_t>(0xB7 - j - 16 * f) : tag(i, j, 0, f);
  });
  const auto words = format_conv2d_cnp_weights(*w, 0, 2, 8);
  ASSERT_EQ(words.size(), 224u);
  for (uint32_t j = 0; j < 7; ++j)
    for (uint32_t f = 0; f < 2; ++f) {
      const size_t base = j * 128 + f * 16;
      for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(byte_at(words, base + i), static_cast<uint8_t>(tag(i, j, 0, f)));
      const auto last = static_cast<uint8_t>(0xB7 - j - 16 * f);
      EXPECT_EQ(byte_at(words, base + 6), last & 0x3);
      EXPECT_EQ(byte_at(words, base + 7), 0);
      EXPECT_EQ(byte_at(words, base + 8), last >> 2);
      for (uint32_t b = 9; b < 16; ++b) EXPECT_EQ(byte_at(words, base + b), 0);
    }
  // The 6 empty filter slots of the group stay zero.
  for (uint32_t b = 32; b < 128; ++b) EXPECT_EQ(byte_at(words, b), 0);
}

TEST(Conv2dWeights8, Kernel3GoldenWords) {
  // One filter, one channel, weights 1..9 by (i, j): row j holds W[0..2, j] in bytes 24j..24j+2.
  const auto w = make_weights(3, 1, 1, [](uint32_t i, uint32_t j, uint32_t, uint32_t) { return 1 + i + 3 * j; });
  const auto words = format_conv2d_cnp_weights(*w, 0, 1, 8);
  std::vector<uint32_t> expected(18, 0);
  expected[0] = 0x00030201;
  expected[6] = 0x00060504;
  expected[12] = 0x00090807;
  EXPECT_EQ(words, expected);
}

TEST(Conv2dWeights8, NegativeWeightsAreTheirBytes) {
  const auto w = make_weights(1, 1, 2, [](uint32_t, uint32_t, uint32_t, uint32_t f) { return f == 0 ? -1 : -128; });
  const auto words = format_conv2d_cnp_weights(*w, 0, 2, 8);
  EXPECT_EQ(words[0], 0x000080FFu);
}

TEST(Conv2dWeights8, XlBlocksAreRoundedWithZeros) {
  const XlThreshold xl(17);
  const auto w = make_weights(3, 1, 8, tag);
  const auto words = format_conv2d_cnp_weights(*w, 0, 8, 8);
  ASSERT_EQ(words.size(), 32u);
  for (size_t k = 18; k < 32; ++k) EXPECT_EQ(words[k], 0u);
}

TEST(Conv2dWeights8, RefusesOtherTensorsAndKernels) {
  const auto unsigned_weights = make_weights(3, 1, 1, tag, TensorType::uint8);
  EXPECT_THAT([&] { format_conv2d_cnp_weights(*unsigned_weights, 0, 1, 8); }, ThrowsMessage<std::runtime_error>("Wrong requested type a for a tensor of type uint8"));
  const auto k2 = make_weights(2, 1, 1, tag);
  EXPECT_THAT([&] { format_conv2d_cnp_weights(*k2, 0, 1, 8); }, ThrowsMessage<std::runtime_error>("cnp_weight_format: Unexpected kernel size."));
  EXPECT_THAT([&] { format_conv2d_cnp_weights(*k2, 0, 1, 4); }, ThrowsMessage<std::runtime_error>("Unsupported kernel size."));
  const auto flat = testing::make_vector<int8_t>(TensorType::int8, {1, 2, 3});
  EXPECT_THROW(format_conv2d_cnp_weights(*flat, 0, 1, 8), std::invalid_argument);
}

// ---- Standard convolution, 4-bit weights

TEST(Conv2dWeights4, Kernel1TwelveNibblesPerHalf) {
  const auto w = make_weights(1, 2, 25, [](uint32_t, uint32_t, uint32_t c, uint32_t f) { return (f + c) % 16 - 8; });
  const auto words = format_conv2d_4bit_weights(*w, 0, 25);
  ASSERT_EQ(words.size(), 16u);  // 2 words of 100 bits per channel
  for (uint32_t c = 0; c < 2; ++c)
    for (uint32_t f = 0; f < 25; ++f) {
      const size_t half = c * 4 + f / 12;
      const uint32_t expected = static_cast<uint32_t>((f + c) % 16 - 8) & 0xF;
      EXPECT_EQ(bits_at(words, half * 64 + (f % 12) * 4, 4), expected) << c << " " << f;
    }
  // Bits 48-63 of every half stay clear.
  for (size_t half = 0; half < 8; ++half) EXPECT_EQ(bits_at(words, half * 64 + 48, 16), 0u);
}

TEST(Conv2dWeights4, Kernel3GoldenGroup) {
  // Filter 0 only: nibbles 0-2 of each kernel row; a row of 8 filter slots is 96 bits, two halves.
  const auto w = make_weights(3, 1, 1, [](uint32_t i, uint32_t j, uint32_t, uint32_t) { return 1 + i + 3 * j; });
  const auto words = format_conv2d_4bit_weights(*w, 0, 1);
  std::vector<uint32_t> expected(12, 0);
  expected[0] = 0x321;  // row 0 in half 0
  expected[4] = 0x654;  // row 1 starts at half 2
  expected[8] = 0x987;  // row 2 at half 4
  EXPECT_EQ(words, expected);
}

TEST(Conv2dWeights4, Kernel3SlotsPastTheLastFilterAreZero) {
  const auto w = make_weights(3, 1, 12, [](uint32_t, uint32_t, uint32_t, uint32_t) { return -1; });
  const auto words = format_conv2d_4bit_weights(*w, 2, 9);
  ASSERT_EQ(words.size(), 24u);
  // Second group: filter 10 only, nibbles 0-2 of each row.
  for (uint32_t j = 0; j < 3; ++j) {
    EXPECT_EQ(bits_at(words, 12 * 32 + j * 128, 12), 0xFFFu);
    EXPECT_EQ(bits_at(words, 12 * 32 + j * 128 + 12, 36), 0u);
    EXPECT_EQ(bits_at(words, 12 * 32 + j * 128 + 64, 48), 0u);
  }
  // First group: all 8 slots.
  EXPECT_EQ(bits_at(words, 0, 32), 0xFFFFFFFFu);
  EXPECT_EQ(bits_at(words, 32, 16), 0xFFFFu);
  EXPECT_EQ(bits_at(words, 48, 16), 0u);
}

TEST(Conv2dWeights4, Kernel5NibblesStraddleHalves) {
  // Nibble 12 of the stream starts at bit 48 of half 0 (only two bits left): 0xB splits into 11 and 10.
  const auto w = make_weights(5, 1, 3, [](uint32_t i, uint32_t j, uint32_t, uint32_t f) {
    return (j == 0 && f == 2 && i == 2) ? static_cast<int8_t>(0xFB) : static_cast<int8_t>(0);
  });
  const auto words = format_conv2d_4bit_weights(*w, 0, 3);
  ASSERT_EQ(words.size(), 32u);
  EXPECT_EQ(words[1], 0x3u << 16);  // half 0 bits 48-49
  EXPECT_EQ(words[2], 0x2u);        // half 1 bits 0-1
  for (size_t k = 0; k < words.size(); ++k) {
    if (k != 1 && k != 2) {
      EXPECT_EQ(words[k], 0u) << k;
    }
  }
}

TEST(Conv2dWeights4, Kernel7ThreeFilterRowsPerWord) {
  // Every nibble 0x7: a filter row is 28 bits; rows 0-2, 3-5 and 6-7 each start a 100-bit word.
  const auto w = make_weights(7, 1, 8, [](uint32_t, uint32_t, uint32_t, uint32_t) { return 7; });
  const auto words = format_conv2d_4bit_weights(*w, 0, 8);
  ASSERT_EQ(words.size(), 84u);
  for (uint32_t j = 0; j < 7; ++j) {
    const size_t word = j * 12;  // three 100-bit words per kernel row
    // rows 0-2: 84 bits, half 0 full (50 bits), 34 bits of half 1
    EXPECT_EQ(bits_at(words, word * 32, 32), 0x77777777u);
    EXPECT_EQ(bits_at(words, word * 32 + 32, 18), 0x37777u & 0x3FFFFu);
    EXPECT_EQ(bits_at(words, word * 32 + 50, 14), 0u);
    EXPECT_EQ(bits_at(words, word * 32 + 64 + 34, 30), 0u);
    // rows 6-7: 56 bits, half 4 full, 6 bits of half 5
    EXPECT_EQ(bits_at(words, (word + 8) * 32 + 64, 6), 0x1Du);  // 0b01 then 0b0111
    EXPECT_EQ(bits_at(words, (word + 8) * 32 + 70, 58), 0u);
  }
}

// ---- Depthwise convolution, 8-bit weights

TEST(DepthwiseWeights8, Kernel5ChannelsThirtyBytesApart) {
  const auto w = make_weights(5, 1, 2, [](uint32_t i, uint32_t j, uint32_t, uint32_t c) { return 1 + i + 5 * j + 25 * c; });
  const auto words = format_depthwise_conv_cnp_weights(*w, 0, 2, 8);
  ASSERT_EQ(words.size(), 18u);
  for (uint32_t c = 0; c < 2; ++c)
    for (uint32_t j = 0; j < 5; ++j) {
      for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(byte_at(words, c * 30 + j * 6 + i), 1 + i + 5 * j + 25 * c);
      EXPECT_EQ(byte_at(words, c * 30 + j * 6 + 5), 0);
    }
  EXPECT_EQ(byte_at(words, 30), 26);  // byte 6 of the third 96-bit word
  for (size_t b = 60; b < 72; ++b) EXPECT_EQ(byte_at(words, b), 0);
}

TEST(DepthwiseWeights8, Kernel3NineBytesPerWord) {
  const auto w = make_weights(3, 1, 4, [](uint32_t i, uint32_t j, uint32_t, uint32_t c) { return 1 + i + 3 * j + 9 * c; });
  const auto words = format_depthwise_conv_cnp_weights(*w, 1, 2, 8);
  ASSERT_EQ(words.size(), 6u);
  EXPECT_EQ(words[0], 0x0D0C0B0Au);
  EXPECT_EQ(words[1], 0x11100F0Eu);
  EXPECT_EQ(words[2], 0x00000012u);
  EXPECT_EQ(words[3], 0x16151413u);
  EXPECT_EQ(words[5], 0x0000001Bu);
}

TEST(DepthwiseWeights8, Kernel4TwoRowsPerWord) {
  const auto w = make_weights(4, 1, 1, [](uint32_t i, uint32_t j, uint32_t, uint32_t) { return 1 + i + 4 * j; });
  const auto words = format_depthwise_conv_cnp_weights(*w, 0, 1, 8);
  EXPECT_EQ(words, (std::vector<uint32_t>{0x04030201, 0x06050000, 0x00000807, 0x0C0B0A09, 0x0E0D0000, 0x0000100F}));
}

TEST(DepthwiseWeights8, Kernel7RowOfTwelveBytes) {
  const auto w = make_weights(7, 1, 1, [](uint32_t i, uint32_t j, uint32_t, uint32_t) { return 1 + i + 7 * j; });
  const auto words = format_depthwise_conv_cnp_weights(*w, 0, 1, 8);
  ASSERT_EQ(words.size(), 21u);
  for (uint32_t j = 0; j < 7; ++j) {
    EXPECT_EQ(words[3 * j], 0x04030201u + 0x07070707u * j);
    EXPECT_EQ(words[3 * j + 1], 0x06050000u + 0x07070000u * j);
    EXPECT_EQ(words[3 * j + 2], 0x00000007u + 0x00000007u * j);
  }
}

// ---- Depthwise convolution, 4-bit weights

TEST(DepthwiseWeights4, Kernel3OneHalfPerChannel) {
  const auto w = make_weights(3, 1, 3, [](uint32_t i, uint32_t j, uint32_t, uint32_t c) {
    return static_cast<int8_t>((i + 3 * j + c) % 16) - 8;
  });
  const auto words = format_depthwise_conv_cnp_4bit_weights(*w, 0, 3);
  ASSERT_EQ(words.size(), 6u);
  EXPECT_EQ(dwc_cnp_formatted_4bit_weight_32b_size(3, 3), 16u);
  for (uint32_t c = 0; c < 3; ++c)
    for (uint32_t n = 0; n < 9; ++n)
      EXPECT_EQ(bits_at(words, c * 64 + 4 * n, 4), static_cast<uint32_t>(((n + c) % 16) - 8) & 0xF) << c << n;
  // The third channel lies in the first half of the second 100-bit word.
  EXPECT_NE(words[4], 0u);
  EXPECT_EQ(bits_at(words, 36, 28), 0u);
}

TEST(DepthwiseWeights4, Kernel5RowsThatDoNotFitMoveToTheNextHalf) {
  const auto w = make_weights(5, 1, 1, [](uint32_t, uint32_t j, uint32_t, uint32_t) { return j + 1; });
  const auto words = format_depthwise_conv_cnp_4bit_weights(*w, 0, 1);
  ASSERT_EQ(words.size(), 6u);
  EXPECT_EQ(bits_at(words, 0, 20), 0x11111u);
  EXPECT_EQ(bits_at(words, 20, 20), 0x22222u);
  EXPECT_EQ(bits_at(words, 40, 24), 0u);
  EXPECT_EQ(bits_at(words, 64, 20), 0x33333u);
  EXPECT_EQ(bits_at(words, 84, 20), 0x44444u);
  EXPECT_EQ(bits_at(words, 128, 20), 0x55555u);
}

TEST(DepthwiseWeights4, Kernel7OneRowPerHalf) {
  const auto w = make_weights(7, 1, 2, [](uint32_t, uint32_t j, uint32_t, uint32_t c) { return c == 1 ? -1 : j; });
  const auto words = format_depthwise_conv_cnp_4bit_weights(*w, 0, 2);
  ASSERT_EQ(words.size(), 28u);
  for (uint32_t j = 0; j < 7; ++j) EXPECT_EQ(bits_at(words, j * 64, 28), 0x1111111u * j);
  for (uint32_t j = 0; j < 7; ++j) EXPECT_EQ(bits_at(words, (7 + j) * 64, 32), 0x0FFFFFFFu);
}

TEST(DepthwiseWeights4, RefusesWeightsOutsideFourBits) {
  const auto w = make_weights(3, 1, 1, [](uint32_t i, uint32_t, uint32_t, uint32_t) { return i == 1 ? 8 : 0; });
  EXPECT_THAT([&] { format_depthwise_conv_cnp_weights(*w, 0, 1, 4); }, ThrowsMessage<std::runtime_error>(signed_message(8, 4)));
  const auto low = make_weights(3, 1, 1, [](uint32_t, uint32_t, uint32_t, uint32_t) { return -8; });
  EXPECT_NO_THROW(format_depthwise_conv_cnp_weights(*low, 0, 1, 4));
  const auto k4 = make_weights(4, 1, 1, tag);
  EXPECT_THAT([&] { format_depthwise_conv_cnp_weights(*k4, 0, 1, 4); }, ThrowsMessage<std::runtime_error>("Invalid kernel size."));
  EXPECT_THROW(format_depthwise_conv_cnp_weights(*k4, 1, 1, 8), std::invalid_argument);
}

}  // namespace
}  // namespace ovrix::v2
