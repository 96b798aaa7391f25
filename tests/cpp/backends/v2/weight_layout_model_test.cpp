// The CNP weight formats against a model of the weight SRAM built the other way round: every
// weight is placed by its own closed-form address (100-bit word, bit) and the 100-bit words are then
// carried in their three- or four-word containers. Pseudo-random weights, several filter or channel
// ranges of one tensor (the shares of several NPs), every kernel size at 8 and 4 bits.
#include <gtest/gtest.h>

#include <bitset>
#include <ostream>
#include <string>
#include <vector>

#include "backends/v2/cnp_weights.h"
#include "engine/dma.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using testing::make_weights;

// A weight SRAM image in 100-bit words.
class Sram {
 public:
  explicit Sram(size_t words) : words_(words) {}

  // value's n low bits at bit `bit` of 100-bit word `word`, least significant first.
  void put(size_t word, uint32_t bit, uint32_t value, uint32_t n) {
    for (uint32_t t = 0; t < n; ++t) words_.at(word).set(bit + t, (value >> t) & 1u);
  }
  // A bit of a stream of 64-bit halves: half h is bits 0-49 (h even) or 50-99 (h odd) of word h / 2.
  void put_half(size_t half, uint32_t pos, uint32_t value, uint32_t n) {
    for (uint32_t t = 0; t < n; ++t) {
      ASSERT_LT(pos + t, 50u);
      words_.at(half / 2).set((half % 2) * 50 + pos + t, (value >> t) & 1u);
    }
  }

  // Three-word containers: bits 0-95 as 12 little-endian bytes; bits 96-99 are not carried.
  std::vector<uint32_t> three_word_containers() const {
    std::vector<uint32_t> out(3 * words_.size(), 0);
    for (size_t w = 0; w < words_.size(); ++w)
      for (uint32_t b = 0; b < 100; ++b)
        if (words_[w][b]) {
          EXPECT_LT(b, 96u) << "bit " << b << " of word " << w << " is not carried";
          if (b < 96) out[3 * w + b / 32] |= 1u << (b % 32);
        }
    return out;
  }
  // Four-word containers: bits 0-49 in the first 64-bit half, bits 50-99 in bits 0-49 of the second.
  std::vector<uint32_t> four_word_containers() const {
    std::vector<uint32_t> out(4 * words_.size(), 0);
    for (size_t w = 0; w < words_.size(); ++w)
      for (uint32_t b = 0; b < 100; ++b)
        if (words_[w][b]) {
          const uint32_t pos = b % 50;
          out[4 * w + 2 * (b / 50) + pos / 32] |= 1u << (pos % 32);
        }
    return out;
  }

 private:
  std::vector<std::bitset<100>> words_;
};

// 8-bit blocks that need the XL header are padded with zero words to a multiple of 16.
std::vector<uint32_t> xl_padded(std::vector<uint32_t> words) {
  if (dma::config_block_size_needs_xl(static_cast<uint32_t>(words.size()))) words.resize((words.size() + 15) / 16 * 16, 0);
  return words;
}

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

int8_t random_weight(uint32_t i, uint32_t j, uint32_t c, uint32_t f) {
  uint32_t x = 0x9E3779B9u ^ (i * 0x85EBCA6Bu) ^ (j * 0xC2B2AE35u) ^ (c * 0x27D4EB2Fu) ^ (f * 0x165667B1u);
  x ^= x >> 15;
  x *= 0x2C1B3C6Du;
  x ^= x >> 12;
  return static_cast<int8_t>(x);
}

// Weights of one of the 16 values of a signed nibble.
int8_t random_nibble(uint32_t i, uint32_t j, uint32_t c, uint32_t f) {
  return static_cast<int8_t>(random_weight(i, j, c, f) % 8);
}

struct Share {
  uint32_t kernel;
  uint32_t channels;  // input channels of a standard convolution; the tensor's channels of a depthwise one
  uint32_t total;     // filters of the tensor (standard)
  uint32_t first;
  uint32_t count;
};

std::string describe(const Share& s) {
  return "K" + std::to_string(s.kernel) + " C" + std::to_string(s.channels) + " of " + std::to_string(s.total) +
         " from " + std::to_string(s.first) + " count " + std::to_string(s.count);
}

void PrintTo(const Share& s, std::ostream* os) { *os << describe(s); }

// ---- Standard convolution, 8-bit weights: filter f of the NP is slot s of group g.

// 100-bit words of one input channel, and where weight i of kernel row j of slot s of group g lies.
uint32_t conv8_channel_words(uint32_t k, uint32_t filters) {
  switch (k) {
    case 1: return 2 * ceil_div(filters, 24);   // 24 filters in two words
    case 3: return 6 * ceil_div(filters, 8);    // rows of 24 bytes, two words each
    case 4: return 12 * ceil_div(filters, 8);   // rows of 32 bytes and 4 zero bytes, three words
    case 5: return 20 * ceil_div(filters, 8);   // rows of 8 × 6 bytes, four words
    default: return 56 * ceil_div(filters, 8);  // one word per filter row
  }
}

void place_conv8(Sram* sram, uint32_t k, size_t base, uint32_t f, uint32_t i, uint32_t j, int8_t value) {
  const auto v = static_cast<uint8_t>(value);
  if (k == 1) {
    sram->put(base + 2 * (f / 24) + (f % 24) / 12, 8 * (f % 12), v, 8);
    return;
  }
  const uint32_t g = f / 8, s = f % 8;
  if (k == 7) {
    sram->put(base + 56 * g + 8 * j + s, 8 * i, v, 8);
    return;
  }
  const uint32_t filter_bytes = k == 5 ? 6 : k;  // K 5: five weights and a zero byte
  const uint32_t row_words = k == 3 ? 2 : k == 4 ? 3 : 4;
  const uint32_t group_words = row_words * k;
  const uint32_t byte = filter_bytes * s + i;
  sram->put(base + group_words * g + row_words * j + byte / 12, 8 * (byte % 12), v, 8);
}

class Conv2dWeights8Model : public ::testing::TestWithParam<Share> {};

TEST_P(Conv2dWeights8Model, MatchesTheSramModel) {
  const Share& s = GetParam();
  const auto w = make_weights(s.kernel, s.channels, s.total, random_weight);
  const uint32_t per_channel = conv8_channel_words(s.kernel, s.count);
  Sram sram(size_t{per_channel} * s.channels);
  for (uint32_t c = 0; c < s.channels; ++c)
    for (uint32_t f = 0; f < s.count; ++f)
      for (uint32_t j = 0; j < s.kernel; ++j)
        for (uint32_t i = 0; i < s.kernel; ++i)
          place_conv8(&sram, s.kernel, size_t{c} * per_channel, f, i, j, random_weight(i, j, c, s.first + f));
  const auto expected =
      xl_padded(s.kernel == 7 ? sram.four_word_containers() : sram.three_word_containers());
  EXPECT_EQ(format_conv2d_cnp_weights(*w, s.first, s.count, 8), expected) << describe(s);
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(s.kernel, s.count, s.channels, 8), expected.size()) << describe(s);
  EXPECT_EQ(conv2d_cnp_formatted_weight_100b_size(s.kernel, s.count, s.channels, 8), per_channel * s.channels);
  EXPECT_EQ(conv2d_dma_target(s.kernel, 8), s.kernel == 7 ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Shares, Conv2dWeights8Model,
    ::testing::Values(Share{1, 3, 53, 0, 53}, Share{1, 2, 53, 5, 24}, Share{1, 2, 53, 30, 23}, Share{1, 1, 53, 52, 1},
                      Share{3, 3, 21, 0, 21}, Share{3, 2, 21, 13, 8}, Share{3, 2, 21, 20, 1},
                      Share{4, 2, 19, 0, 19}, Share{4, 1, 19, 3, 9}, Share{5, 2, 19, 0, 19}, Share{5, 3, 19, 11, 7},
                      Share{7, 2, 17, 0, 17}, Share{7, 1, 17, 9, 8}, Share{7, 3, 17, 16, 1},
                      // big enough for the XL header: rounded up to 16 words with zeros
                      Share{3, 120, 12, 0, 12}, Share{7, 7, 24, 0, 24}));

// ---- Standard convolution, 4-bit weights: nibbles in halves of 48 (K 1, 3) or 50 (K 5, 7) bits.

uint32_t conv4_channel_words(uint32_t k, uint32_t filters) {
  switch (k) {
    case 1: return ceil_div(filters, 24);
    case 3: return 3 * ceil_div(filters, 8);
    case 5: return 8 * ceil_div(filters, 8);
    default: return 21 * ceil_div(filters, 8);
  }
}

void place_conv4(Sram* sram, uint32_t k, size_t base, uint32_t f, uint32_t i, uint32_t j, int8_t value) {
  const uint32_t nibble = static_cast<uint8_t>(value) & 0xFu;
  if (k == 1) {
    sram->put_half(2 * base + f / 12, 4 * (f % 12), nibble, 4);
    return;
  }
  const uint32_t g = f / 8, s = f % 8;
  if (k == 7) {
    // Kernel row j takes three words, holding the filter rows of slots 0-2, 3-5 and 6-7.
    sram->put(base + 21 * g + 3 * j + s / 3, 28 * (s % 3) + 4 * i, nibble, 4);
    return;
  }
  const size_t group_half = 2 * (base + (k == 3 ? 3 : 8) * g);
  const uint32_t bit = 4 * ((j * 8 + s) * k + i);  // position in the group's stream
  const uint32_t usable = k == 3 ? 48 : 50;
  for (uint32_t t = 0; t < 4; ++t)
    sram->put_half(group_half + (bit + t) / usable, (bit + t) % usable, nibble >> t, 1);
}

class Conv2dWeights4Model : public ::testing::TestWithParam<Share> {};

TEST_P(Conv2dWeights4Model, MatchesTheSramModel) {
  const Share& s = GetParam();
  const auto w = make_weights(s.kernel, s.channels, s.total, random_weight);
  const uint32_t per_channel = conv4_channel_words(s.kernel, s.count);
  Sram sram(size_t{per_channel} * s.channels);
  for (uint32_t c = 0; c < s.channels; ++c)
    for (uint32_t f = 0; f < s.count; ++f)
      for (uint32_t j = 0; j < s.kernel; ++j)
        for (uint32_t i = 0; i < s.kernel; ++i)
          place_conv4(&sram, s.kernel, size_t{c} * per_channel, f, i, j, random_weight(i, j, c, s.first + f));
  const auto expected = sram.four_word_containers();  // never rounded
  EXPECT_EQ(format_conv2d_cnp_weights(*w, s.first, s.count, 4), expected) << describe(s);
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(s.kernel, s.count, s.channels, 4), expected.size()) << describe(s);
  EXPECT_EQ(conv2d_ch_cont_100b_size(s.kernel, s.count, 4), per_channel);
  EXPECT_EQ(conv2d_dma_target(s.kernel, 4), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Shares, Conv2dWeights4Model,
    ::testing::Values(Share{1, 3, 53, 0, 53}, Share{1, 2, 53, 7, 25}, Share{1, 1, 53, 52, 1}, Share{3, 3, 21, 0, 21},
                      Share{3, 2, 21, 5, 9}, Share{5, 2, 19, 0, 19}, Share{5, 3, 19, 11, 7}, Share{5, 1, 19, 18, 1},
                      Share{7, 2, 17, 0, 17}, Share{7, 1, 17, 9, 8}, Share{7, 2, 17, 14, 3},
                      Share{3, 400, 8, 0, 8}));

// ---- Depthwise convolution: channels first .. first + count - 1 of a (K, K, 1, C) tensor.

// Byte of weight i of kernel row j of the n-th channel of the NP, in the 12-byte containers.
uint32_t dw8_byte(uint32_t k, uint32_t n, uint32_t i, uint32_t j) {
  switch (k) {
    case 3: return 12 * n + 3 * j + i;                     // 9 weights in one word
    case 4: return 24 * n + 6 * j + i;                     // rows of 4 weights and 2 zeros
    case 5: return 30 * n + 6 * j + i;                     // rows of 5 weights and 1 zero; next channel at once
    default: return 84 * n + 12 * j + (i < 4 ? i : i + 2);  // weights 0-3, 2 zeros, weights 4-6, 3 zeros
  }
}

class DepthwiseWeights8Model : public ::testing::TestWithParam<Share> {};

TEST_P(DepthwiseWeights8Model, MatchesTheSramModel) {
  const Share& s = GetParam();
  const auto w = make_weights(s.kernel, 1, s.channels, random_weight);
  const uint32_t words_100b = s.count * (s.kernel == 3 ? 1 : s.kernel == 4 ? 2 : s.kernel == 5 ? 3 : 7);
  std::vector<uint32_t> expected(3 * size_t{words_100b}, 0);
  for (uint32_t n = 0; n < s.count; ++n)
    for (uint32_t j = 0; j < s.kernel; ++j)
      for (uint32_t i = 0; i < s.kernel; ++i) {
        const uint32_t b = dw8_byte(s.kernel, n, i, j);
        expected.at(b / 4) |= uint32_t{static_cast<uint8_t>(random_weight(i, j, 0, s.first + n))} << (8 * (b % 4));
      }
  expected = xl_padded(expected);
  EXPECT_EQ(format_depthwise_conv_cnp_weights(*w, s.first, s.count, 8), expected) << describe(s);
  EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(s.kernel, s.count, 8), expected.size()) << describe(s);
  EXPECT_EQ(dwc_ch_cont_100b_size(s.kernel, s.count, 8), words_100b);
  EXPECT_EQ(dwc_dma_target(s.kernel, 8), 1u);
}

INSTANTIATE_TEST_SUITE_P(Shares, DepthwiseWeights8Model,
                         ::testing::Values(Share{3, 19, 0, 0, 19}, Share{3, 19, 0, 4, 5}, Share{4, 19, 0, 0, 19},
                                           Share{4, 19, 0, 18, 1}, Share{5, 19, 0, 0, 19}, Share{5, 19, 0, 7, 2},
                                           Share{7, 19, 0, 0, 19}, Share{7, 19, 0, 11, 3},
                                           Share{5, 500, 0, 0, 500}));

// 4-bit: 50-bit halves; K 3: a channel per half; K 5: two rows per half, three halves; K 7: a row per
// half.
class DepthwiseWeights4Model : public ::testing::TestWithParam<Share> {};

TEST_P(DepthwiseWeights4Model, MatchesTheSramModel) {
  const Share& s = GetParam();
  const auto w = make_weights(s.kernel, 1, s.channels, random_nibble);
  const uint32_t halves = s.kernel == 3 ? 1 : s.kernel == 5 ? 3 : 7;
  std::vector<uint32_t> expected(2 * size_t{halves} * s.count, 0);
  for (uint32_t n = 0; n < s.count; ++n)
    for (uint32_t j = 0; j < s.kernel; ++j)
      for (uint32_t i = 0; i < s.kernel; ++i) {
        const uint32_t rows_per_half = s.kernel == 3 ? 3 : s.kernel == 5 ? 2 : 1;
        const size_t half = size_t{halves} * n + j / rows_per_half;
        const uint32_t pos = 4 * (s.kernel * (j % rows_per_half) + i);
        ASSERT_LE(pos + 4, 50u);
        const uint32_t nibble = static_cast<uint8_t>(random_nibble(i, j, 0, s.first + n)) & 0xFu;
        expected.at(2 * half + pos / 32) |= nibble << (pos % 32);  // a nibble never crosses a 32-bit word
      }
  EXPECT_EQ(format_depthwise_conv_cnp_weights(*w, s.first, s.count, 4), expected) << describe(s);
  EXPECT_EQ(dwc_cnp_formatted_4bit_weight_32b_size(s.kernel, s.count), (expected.size() + 15) / 16 * 16);
  EXPECT_EQ(dwc_dma_target(s.kernel, 4), 0u);
}

INSTANTIATE_TEST_SUITE_P(Shares, DepthwiseWeights4Model,
                         ::testing::Values(Share{3, 19, 0, 0, 19}, Share{3, 19, 0, 6, 3}, Share{5, 19, 0, 0, 19},
                                           Share{5, 19, 0, 17, 2}, Share{7, 19, 0, 0, 19}, Share{7, 19, 0, 9, 4}));

}  // namespace
}  // namespace ovrix::v2
