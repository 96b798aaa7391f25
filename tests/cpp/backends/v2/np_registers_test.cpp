#include "backends/v2/np_registers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/v2/default_regs.h"
#include <sstream>

#include "support/golden.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::overflow_message;
using testing::signed_message;

struct SignedCase {
  int32_t value;
  uint32_t width;
  uint32_t code;
};

class SignedFieldTest : public ::testing::TestWithParam<SignedCase> {};

TEST_P(SignedFieldTest, TwosComplementCode) {
  EXPECT_EQ(signed_field_value(GetParam().value, GetParam().width), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Codes, SignedFieldTest,
                         ::testing::Values(SignedCase{-4, 3, 0b100}, SignedCase{3, 3, 0b011}, SignedCase{-1, 3, 0b111},
                                           SignedCase{-32, 6, 0b100000}, SignedCase{31, 6, 0b011111},
                                           SignedCase{-8192, 14, 0x2000}, SignedCase{-1, 14, 0x3FFF},
                                           SignedCase{-8, 4, 0x8}, SignedCase{7, 4, 0x7}));

TEST(SignedField, RefusesValuesOutsideTheRange) {
  EXPECT_THAT([] { signed_field_value(-5, 3); }, ThrowsMessage<std::runtime_error>(signed_message(-5, 3)));
  EXPECT_THAT([] { signed_field_value(4, 3); }, ThrowsMessage<std::runtime_error>(signed_message(4, 3)));
  EXPECT_THAT([] { signed_field_value(32, 6); }, ThrowsMessage<std::runtime_error>(signed_message(32, 6)));
}

TEST(OneHotId, FourBitField) {
  EXPECT_EQ(one_hot_id(0), 1u);
  EXPECT_EQ(one_hot_id(3), 8u);
  EXPECT_THAT([] { one_hot_id(4); }, ThrowsMessage<std::runtime_error>(overflow_message(16, 4)));
  EXPECT_THROW(one_hot_id(200), std::runtime_error);
}

TEST(WriteField, WritesOnlyItsBitsOfItsWord) {
  RegisterBlock regs(NP_REGISTER_WORDS, 0xFFFFFFFF);
  write_field(&regs, REG8_II_OFFSET, 0);
  EXPECT_EQ(regs[8], 0xFFFF8FFFu);
  write_field(&regs, REG4_NP_NUM, 0x12);
  EXPECT_EQ(regs[3], 0xFF12FFFFu);
  EXPECT_EQ(read_field(regs, REG4_NP_NUM), 0x12u);
  EXPECT_THAT([&] { write_field(&regs, REG5_CPKSRAM_SIZE, 65536); }, ThrowsMessage<std::runtime_error>(overflow_message(65536, 16)));
  EXPECT_EQ(regs[4], 0xFFFFFFFFu);
  RegisterBlock short_block(3, 0);
  EXPECT_THROW(write_field(&short_block, REG8_II_SIZE, 1), std::out_of_range);
}

// ---- Default NP registers

// The default block of an NP: id | number | registers only | Add | the words that are not 0 (index=value).
class DefaultRegsTest : public ::testing::TestWithParam<golden::Case> {};

TEST_P(DefaultRegsTest, WholeBlock) {
  const golden::Case& c = GetParam();
  ASSERT_EQ(c.fields.size(), 5u);
  RegisterBlock expected(64, 0);
  std::stringstream words(c[4]);
  for (std::string word; words >> word;) expected.at(std::stoul(word)) = std::stoul(word.substr(word.find('=') + 1), nullptr, 0);
  EXPECT_EQ(default_np_regs(golden::number(c[0]), golden::number(c[1]), golden::number(c[2]), golden::number(c[3])), expected);
}

INSTANTIATE_TEST_SUITE_P(Blocks, DefaultRegsTest, ::testing::ValuesIn(golden::cases("v2/default_np_regs.txt")), golden::line_name);

TEST(DefaultRegs, RefusesANumberAbove255) {
  EXPECT_THAT([] { default_np_regs(0, 256, false, false); }, ThrowsMessage<std::runtime_error>(overflow_message(256, 8)));
}

TEST(DefaultRegs, InputBufferSpikes) {
  RegisterBlock regs = default_np_regs(0, 1, false, false);
  set_ib_spikes(&regs);
  EXPECT_EQ(regs[2], 0x88u);
  set_ib_spikes(&regs);
  EXPECT_EQ(regs[2], 0x88u);
}

}  // namespace
}  // namespace ovrix::v2
