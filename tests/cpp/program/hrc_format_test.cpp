#include "program/hrc_format.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/tensor.h"

namespace ovrix {
namespace {

using ::testing::ThrowsMessage;


// A weight that tells where it came from.
int8_t weight(uint32_t row, uint32_t col, uint32_t ch, uint32_t filter) {
  return static_cast<int8_t>((filter * 37 + ch * 101 + row * 11 + col * 3 + 1) & 0xFF);
}

// Weights (row, column, channel, filter) in the row-major layout, or stored reversed.
std::unique_ptr<Dense> weights(uint32_t k, uint32_t c, uint32_t f, bool reversed = false,
                               TensorType type = TensorType::int8) {
  const Shape shape = reversed ? Shape{f, c, k, k} : Shape{k, k, c, f};
  auto t = Dense::create(type, shape, reversed ? Dense::Layout::Reversed : Dense::Layout::RowMajor);
  if (type != TensorType::int8 && type != TensorType::int4) return t;
  for (uint32_t r = 0; r < k; ++r)
    for (uint32_t col = 0; col < k; ++col)
      for (uint32_t ch = 0; ch < c; ++ch)
        for (uint32_t filter = 0; filter < f; ++filter) {
          if (reversed)
            t->at_mut<int8_t>({filter, ch, col, r}) = weight(r, col, ch, filter);
          else
            t->at_mut<int8_t>({r, col, ch, filter}) = weight(r, col, ch, filter);
        }
  return t;
}

// Byte j of the line at `offset` of an SRAM.
int8_t line_byte(const std::vector<uint32_t>& sram, uint32_t offset, uint32_t j) {
  return static_cast<int8_t>((sram.at(offset + j / 4) >> (8 * (j % 4))) & 0xFF);
}

// Checks one line: weights [first, first + count) of the filter's row-major kernel in that line.
void expect_line(const std::vector<uint32_t>& sram, uint32_t offset, uint32_t k, uint32_t ch, uint32_t filter,
                 uint32_t first, uint32_t count) {
  for (uint32_t j = 0; j < 9; ++j) {
    const int8_t expected = j < count ? weight((first + j) / k, (first + j) % k, ch, filter) : 0;
    EXPECT_EQ(line_byte(sram, offset, j), expected) << "offset " << offset << " byte " << j;
  }
  EXPECT_EQ(sram.at(offset + 2) >> 8, 0u) << "bits above the ninth weight stay 0";
}

struct SizeCase {
  const char* name;
  uint32_t k, c, f;
  size_t r, g, b;
};

class HrcSramSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(HrcSramSizes, DependOnKernelChannelsAndFilters) {
  const auto& p = GetParam();
  const auto srams = format_hrc_weights(*weights(p.k, p.c, p.f));
  ASSERT_EQ(srams.size(), 3u);
  EXPECT_EQ(srams[0].size(), p.r);
  EXPECT_EQ(srams[1].size(), p.g);
  EXPECT_EQ(srams[2].size(), p.b);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, HrcSramSizes,
    ::testing::Values(SizeCase{"K3F192", 3, 1, 192, 576, 0, 0}, SizeCase{"K3F193", 3, 1, 193, 576, 3, 0},
                      SizeCase{"K3F575", 3, 1, 575, 576, 576, 573}, SizeCase{"K3C3F2", 3, 3, 2, 6, 6, 6},
                      SizeCase{"K4F3", 4, 1, 3, 9, 9, 0}, SizeCase{"K5F2", 5, 1, 2, 6, 6, 6},
                      SizeCase{"K7F1", 7, 1, 1, 6, 6, 6}, SizeCase{"K16F1", 16, 1, 1, 30, 30, 27},
                      SizeCase{"K1C3F4", 1, 3, 4, 12, 12, 12}, SizeCase{"K5C3F1", 5, 3, 1, 9, 9, 9}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HrcWeights, Kernel3WrapsIntoTheNextSram) {
  const auto srams = format_hrc_weights(*weights(3, 1, 193));
  expect_line(srams[0], 0, 3, 0, 0, 0, 9);
  expect_line(srams[0], 573, 3, 0, 191, 0, 9);
  expect_line(srams[1], 0, 3, 0, 192, 0, 9);
}

TEST(HrcWeights, Kernel3RefusesMoreThan575Lines) {
  EXPECT_THAT([] { format_hrc_weights(*weights(3, 1, 576)); }, ThrowsMessage<std::exception>("Too many lines on HRC weight formatting with the 3-kernel."));
}

TEST(HrcWeights, ThreeChannelsGoToTheirOwnSram) {
  const auto srams = format_hrc_weights(*weights(3, 3, 2));
  for (uint32_t ch = 0; ch < 3; ++ch) {
    expect_line(srams[ch], 0, 3, ch, 0, 0, 9);
    expect_line(srams[ch], 3, 3, ch, 1, 0, 9);
  }
}

TEST(HrcWeights, Kernel4SplitsAFilterNineAndSeven) {
  const auto srams = format_hrc_weights(*weights(4, 1, 2));
  expect_line(srams[0], 0, 4, 0, 0, 0, 9);
  expect_line(srams[1], 0, 4, 0, 0, 9, 7);
  expect_line(srams[0], 3, 4, 0, 1, 0, 9);
  expect_line(srams[1], 3, 4, 0, 1, 9, 7);
}

TEST(HrcWeights, Kernel5And7UseTheThreeSramsAtOneOffset) {
  const auto k5 = format_hrc_weights(*weights(5, 1, 2));
  for (uint32_t f = 0; f < 2; ++f) {
    expect_line(k5[0], 3 * f, 5, 0, f, 0, 9);
    expect_line(k5[1], 3 * f, 5, 0, f, 9, 9);
    expect_line(k5[2], 3 * f, 5, 0, f, 18, 7);
  }
  const auto k7 = format_hrc_weights(*weights(7, 1, 1));
  expect_line(k7[0], 0, 7, 0, 0, 0, 9);
  expect_line(k7[1], 0, 7, 0, 0, 9, 9);
  expect_line(k7[2], 0, 7, 0, 0, 18, 9);
  expect_line(k7[0], 3, 7, 0, 0, 27, 9);
  expect_line(k7[1], 3, 7, 0, 0, 36, 9);
  expect_line(k7[2], 3, 7, 0, 0, 45, 4);
}

TEST(HrcWeights, Kernel1WithThreeChannelsHasOneWeightPerLine) {
  const auto srams = format_hrc_weights(*weights(1, 3, 2));
  EXPECT_EQ(srams[2][3], static_cast<uint8_t>(weight(0, 0, 2, 1)));
  EXPECT_EQ(srams[2][4], 0u);
}

TEST(HrcWeights, NegativeWeightIsItsTwosComplementByte) {
  auto t = Dense::create(TensorType::int8, Shape{3, 3, 1, 1});
  t->at_mut<int8_t>({1, 1, 0, 0}) = -1;  // weight 4 of the line: word 1, bits 0..7
  const auto srams = format_hrc_weights(*t);
  EXPECT_EQ(srams[0], (std::vector<uint32_t>{0, 0xFF, 0}));
}

TEST(HrcWeights, ReversedLayoutReadsTheSameWeights) {
  EXPECT_EQ(format_hrc_weights(*weights(5, 1, 3, true)), format_hrc_weights(*weights(5, 1, 3)));
  EXPECT_EQ(format_hrc_weights(*weights(3, 3, 2, true)), format_hrc_weights(*weights(3, 3, 2)));
}

TEST(HrcWeights, RefusesWhatItCannotLayOut) {
  EXPECT_THAT([] { format_hrc_weights(*weights(1, 1, 2)); }, ThrowsMessage<std::exception>("Wrong kernel_size at HRC recording."));
  EXPECT_THAT([] { format_hrc_weights(*weights(6, 1, 2)); }, ThrowsMessage<std::exception>("Wrong kernel_size at HRC recording."));
  EXPECT_THAT([] { format_hrc_weights(*weights(3, 2, 2)); }, ThrowsMessage<std::exception>("HRC weights must have 1 or 3 channels, not 2."));
  EXPECT_THAT([] { format_hrc_weights(*weights(3, 1, 2, false, TensorType::uint8)); }, ThrowsMessage<std::exception>("Wrong requested type a for a tensor of type uint8"));
  EXPECT_NO_THROW(format_hrc_weights(*weights(3, 1, 2, false, TensorType::int4)));
}

// One filter's activation variables.
struct Activation {
  int8_t output_shift = 0;
  uint8_t output_scale = 0;
  std::optional<uint8_t> max_value_shift, max_value;
  uint8_t bias_shift = 0;
  int8_t bias = 0;
};

std::unique_ptr<Dense> s8(int8_t v) { return Dense::copy(reinterpret_cast<const char*>(&v), 1, TensorType::int8, Shape{1}); }
std::unique_ptr<Dense> u8(uint8_t v) { return Dense::copy(reinterpret_cast<const char*>(&v), 1, TensorType::uint8, Shape{1}); }

std::vector<uint32_t> activations(const Activation& a) {
  auto mvs = a.max_value_shift ? u8(*a.max_value_shift) : nullptr;
  auto mv = a.max_value ? u8(*a.max_value) : nullptr;
  return format_hrc_activations(*s8(a.output_shift), *u8(a.output_scale), mvs.get(), mv.get(), *u8(a.bias_shift),
                                *s8(a.bias));
}

TEST(HrcActivations, PacksTwoWordsPerFilter) {
  EXPECT_EQ(activations({-1, 200, std::nullopt, std::nullopt, 3, -2}), (std::vector<uint32_t>{0x0000323F, 0x000FE180}));
  EXPECT_EQ(activations({-1, 200, 31, 255, 3, -2}), (std::vector<uint32_t>{0x000FF23F, 0x000FE1FF}));
}

TEST(HrcActivations, SeveralFiltersInOrder) {
  const std::vector<int8_t> shift{1, -32}, bias{5, -128};
  const std::vector<uint8_t> scale{2, 3}, bshift{0, 31};
  auto make8 = [](const auto& v, TensorType t) {
    return Dense::copy(reinterpret_cast<const char*>(v.data()), v.size(), t, Shape{static_cast<uint32_t>(v.size())});
  };
  const auto words = format_hrc_activations(*make8(shift, TensorType::int8), *make8(scale, TensorType::uint8), nullptr,
                                            nullptr, *make8(bshift, TensorType::uint4), *make8(bias, TensorType::int8));
  EXPECT_EQ(words, (std::vector<uint32_t>{0x81, 0x5000, 0x20 | 3 << 6, 31u << 7 | 0x80u << 12}));
}

struct ActivationFault {
  const char* name;
  Activation a;
  const char* message;
};

class HrcActivationFaults : public ::testing::TestWithParam<ActivationFault> {};

TEST_P(HrcActivationFaults, AreRefused) {
  EXPECT_THAT([&] { activations(GetParam().a); }, ThrowsMessage<std::exception>(GetParam().message));
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, HrcActivationFaults,
    ::testing::Values(ActivationFault{"ShiftHigh", {32, 0, std::nullopt, std::nullopt, 0, 0},
                                      "32 cannot fit in a 6-bit signed integer"},
                      ActivationFault{"ShiftLow", {-33, 0, std::nullopt, std::nullopt, 0, 0},
                                      "-33 cannot fit in a 6-bit signed integer"},
                      ActivationFault{"MaxValueShift", {0, 0, 32, 1, 0, 0}, "32 cannot fit in a 5-bit unsigned integer"},
                      ActivationFault{"BiasShift", {0, 0, std::nullopt, std::nullopt, 40, 0},
                                      "40 cannot fit in a 5-bit unsigned integer"},
                      // The checks run in order: the shift is reported first.
                      ActivationFault{"ShiftBeforeBiasShift", {40, 0, 40, 0, 40, 0},
                                      "40 cannot fit in a 6-bit signed integer"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HrcActivations, VariableOfTheWrongTypeIsRefused) {
  EXPECT_THAT([] { format_hrc_activations(*u8(0), *u8(0), nullptr, nullptr, *u8(0), *s8(0)); }, ThrowsMessage<std::exception>("Wrong requested type a for a tensor of type uint8"));
}

TEST(HrcActivations, ShortVariableIsRefused) {
  const std::vector<int8_t> two{1, 2};
  auto bias = Dense::copy(reinterpret_cast<const char*>(two.data()), 2, TensorType::int8, Shape{2});
  EXPECT_THAT([&] { format_hrc_activations(*s8(0), *u8(0), nullptr, nullptr, *u8(0), *bias); }, ThrowsMessage<std::exception>("HRC variable 'output_shift' has 1 values for 2 filters."));
}

std::vector<uint32_t> lut(uint8_t scale, int8_t bias, uint8_t bias_shift, int8_t shift, int8_t act_shift,
                          uint8_t act_scale) {
  return format_hrc_lut_variables(*u8(scale), *s8(bias), *u8(bias_shift), *s8(shift), *s8(act_shift), *u8(act_scale));
}

TEST(HrcLutVariables, PacksTwoWordsPerFilter) {
  EXPECT_EQ(lut(1, 1, 17, -32, 31, 255), (std::vector<uint32_t>{0x00010101, 0x001FEFC1}));
  EXPECT_EQ(lut(0, -1, 15, 0, -1, 0), (std::vector<uint32_t>{0x000FFF00, 0x1F80}));
}

TEST(HrcLutVariables, RefusesOutOfRangeValuesInOrder) {
  EXPECT_THAT([] { lut(0, 0, 40, 0, 0, 0); }, ThrowsMessage<std::exception>("2 cannot fit in a 1-bit unsigned integer"));
  EXPECT_THAT([] { lut(0, 0, 40, 40, 40, 0); }, ThrowsMessage<std::exception>("2 cannot fit in a 1-bit unsigned integer"));
  EXPECT_THAT([] { lut(0, 0, 0, 32, 0, 0); }, ThrowsMessage<std::exception>("32 cannot fit in a 6-bit signed integer"));
  EXPECT_THAT([] { lut(0, 0, 0, 0, -33, 0); }, ThrowsMessage<std::exception>("-33 cannot fit in a 6-bit signed integer"));
}

}  // namespace
}  // namespace ovrix
