#include "backends/v2/shift_lut.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::make_vector;
using testing::overflow_message;
using testing::signed_message;

TEST(InputShift, ShiftsFourToAWordInBlocksOfEight) {
  const auto three = make_vector<uint8_t>(TensorType::uint8, {1, 2, 7});
  EXPECT_EQ(format_input_shift(*three, 0, 0), (std::vector<uint32_t>{0x00070201, 0}));
  const auto ten = make_vector<uint8_t>(TensorType::uint8, {1, 2, 3, 4, 5, 6, 7, 0, 1, 2});
  EXPECT_EQ(format_input_shift(*ten), (std::vector<uint32_t>{0x04030201, 0x00070605, 0x00000201, 0}));
  EXPECT_EQ(format_input_shift(*ten, 3, 2), (std::vector<uint32_t>{0x00000504, 0}));
  const auto narrow = make_vector<uint8_t>(TensorType::uint4, {15});
  EXPECT_EQ(format_input_shift(*narrow), (std::vector<uint32_t>{0x0F, 0}));
}

TEST(InputShift, RefusesARangeBeyondTheTensor) {
  const auto ten = make_vector<uint8_t>(TensorType::uint8, std::vector<uint8_t>(10, 1));
  EXPECT_THROW(format_input_shift(*ten, 8, 3), std::invalid_argument);
  EXPECT_THROW(format_input_shift(*ten, 11, 0), std::invalid_argument);
  EXPECT_THROW(format_input_shift(*ten, 0, 11), std::invalid_argument);
  const auto wrong = make_vector<int8_t>(TensorType::int8, {1});
  EXPECT_THAT([&] { format_input_shift(*wrong); }, ThrowsMessage<std::runtime_error>("Wrong requested type h for a tensor of type int8"));
}

// A count of 0 stands for the tensor's whole element count, not for the rest of it after `first`.
struct ShiftRangeCase {
  uint32_t first;
  uint32_t count;
  std::vector<uint32_t> words;  // empty: refused
};

class InputShiftRangeTest : public ::testing::TestWithParam<ShiftRangeCase> {};

TEST_P(InputShiftRangeTest, WholeCountOrRefused) {
  const auto& c = GetParam();
  const auto ten = make_vector<uint8_t>(TensorType::uint8, {1, 2, 3, 4, 5, 6, 7, 0, 1, 2});
  if (c.words.empty())
    EXPECT_THROW(format_input_shift(*ten, c.first, c.count), std::invalid_argument) << c.first << " " << c.count;
  else
    EXPECT_EQ(format_input_shift(*ten, c.first, c.count), c.words) << c.first << " " << c.count;
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, InputShiftRangeTest,
    ::testing::Values(ShiftRangeCase{0, 0, {0x04030201, 0x00070605, 0x00000201, 0}},
                      ShiftRangeCase{0, 10, {0x04030201, 0x00070605, 0x00000201, 0}},
                      ShiftRangeCase{8, 2, {0x00000201, 0}}, ShiftRangeCase{9, 1, {0x00000002, 0}},
                      ShiftRangeCase{1, 0, {}}, ShiftRangeCase{8, 0, {}}, ShiftRangeCase{10, 0, {}},
                      ShiftRangeCase{9, 2, {}}));

struct MergeCase {
  uint8_t a, b;
  int8_t o;
  uint8_t byte;
};

class MergeShiftTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeShiftTest, Byte) {
  const auto& c = GetParam();
  EXPECT_EQ(merge_shift_byte(c.a, c.b, c.o), c.byte);
}

INSTANTIATE_TEST_SUITE_P(Bytes, MergeShiftTest,
                         ::testing::Values(MergeCase{2, 5, -3, 0xA3}, MergeCase{5, 2, -8, 0x53}, MergeCase{3, 0, 0, 0x33},
                                           MergeCase{0, 0, -4, 0xC0}, MergeCase{4, 4, -1, 0xB0},
                                           MergeCase{15, 0, -12, 0x3F}, MergeCase{0, 15, -15, 0x8F}));

TEST(MergeShift, RefusesWhatDoesNotFit) {
  EXPECT_THAT([] { merge_shift_byte(3, 0, 1); }, ThrowsMessage<std::runtime_error>(signed_message(4, 3)));
  EXPECT_THAT([] { merge_shift_byte(0, 0, -5); }, ThrowsMessage<std::runtime_error>(signed_message(-5, 3)));
  // A difference of 16 would carry into the output-shift bits: refused as an overflow.
  EXPECT_THAT([] { merge_shift_byte(16, 0, -13); }, ThrowsMessage<std::runtime_error>(overflow_message(16, 4)));
}

TEST(MergeShift, ChannelRangeFourToAWord) {
  const auto a = make_vector<uint8_t>(TensorType::uint8, {0, 2, 5, 3, 0, 1});
  const auto b = make_vector<uint8_t>(TensorType::uint8, {0, 5, 2, 0, 0, 1});
  const auto o = make_vector<int8_t>(TensorType::int8, {0, -3, -8, 0, -4, 0});
  EXPECT_EQ(format_merge_layer_shift(a, b, o, 1, 5), (std::vector<uint32_t>{0xC03353A3, 0x00000090}));
  EXPECT_EQ(format_merge_layer_shift(a, b, o, 2, 0), (std::vector<uint32_t>{}));
  EXPECT_THROW(format_merge_layer_shift(a, nullptr, o, 0, 1), std::invalid_argument);
  EXPECT_THAT([&] { format_merge_layer_shift(a, b, o, 4, 3); }, ThrowsMessage<std::runtime_error>("Coordinates are out-of-range (linear index 6, tensor size 6)"));
  EXPECT_THAT([&] { format_merge_layer_shift(a, b, a, 0, 1); }, ThrowsMessage<std::runtime_error>("Wrong requested type a for a tensor of type uint8"));
}

struct LutCase {
  int32_t value;
  uint32_t code;
};

class LutEntryTest : public ::testing::TestWithParam<LutCase> {};

TEST_P(LutEntryTest, FourteenBitTwosComplement) { EXPECT_EQ(lut_entry(GetParam().value), GetParam().code); }

INSTANTIATE_TEST_SUITE_P(Entries, LutEntryTest,
                         ::testing::Values(LutCase{-1, 0x3FFF}, LutCase{8191, 0x1FFF}, LutCase{-8192, 0x2000},
                                           LutCase{0, 0}, LutCase{1, 1}));

std::vector<int32_t> table(size_t n) {
  std::vector<int32_t> v(n);
  for (size_t k = 0; k < n; ++k) v[k] = static_cast<int32_t>(k) * 8 - 8192;
  return v;
}

TEST(CnpLut, TwoEntriesPerWord) {
  const auto lut = make_vector<int32_t>(TensorType::int32, table(2048));
  const auto words = format_lut_values_for_cnp(lut.get());
  ASSERT_EQ(words.size(), 1024u);
  EXPECT_EQ(words[0], 0x20082000u);  // -8192, -8184
  EXPECT_EQ(words[512], (uint32_t{8} << 16) | 0u);
  EXPECT_EQ(words[1023], (uint32_t{8184} << 16) | 8176u);
  for (uint32_t w : words) EXPECT_EQ(w & 0xC000C000u, 0u);
}

TEST(CnpLut, SizeAndRange) {
  const auto odd = make_vector<int32_t>(TensorType::int32, table(2049));
  EXPECT_EQ(format_lut_values_for_cnp(odd.get()).size(), 1024u);  // the odd last entry is ignored
  for (size_t n : {2047u, 2050u, 1u}) {
    const auto wrong = make_vector<int32_t>(TensorType::int32, table(n));
    EXPECT_THAT([&] { format_lut_values_for_cnp(wrong.get()); }, ThrowsMessage<std::runtime_error>("Wrong size for LUT."));
  }
  auto values = table(2048);
  values[77] = 8192;
  const auto big = make_vector<int32_t>(TensorType::int32, values);
  EXPECT_THAT([&] { format_lut_values_for_cnp(big.get()); }, ThrowsMessage<std::runtime_error>(signed_message(8192, 14)));
  const auto floats = make_vector<float>(TensorType::float32, std::vector<float>(2048, 0.f));
  EXPECT_THAT([&] { format_lut_values_for_cnp(floats.get()); }, ThrowsMessage<std::runtime_error>("Wrong requested type i for a tensor of type float32"));
  EXPECT_THROW(format_lut_values_for_cnp(nullptr), std::invalid_argument);
}

TEST(HrcLut, OneEntryPerWord) {
  const auto lut = make_vector<int32_t>(TensorType::int32, table(2048));
  const auto words = format_lut_values_for_hrc(lut.get());
  ASSERT_EQ(words.size(), 2048u);
  EXPECT_EQ(words[0], 0x2000u);
  EXPECT_EQ(words[1023], 0x3FF8u);  // -8
  EXPECT_EQ(words[2047], 8184u);
  const auto odd = make_vector<int32_t>(TensorType::int32, table(2049));
  EXPECT_THAT([&] { format_lut_values_for_hrc(odd.get()); }, ThrowsMessage<std::runtime_error>("Wrong size for LUT."));
}

}  // namespace
}  // namespace ovrix::v2
