#include "backends/v2/np_registers.h"

#include <gtest/gtest.h>

#include "backends/v2/default_regs.h"
#include "v2/test_util.h"

namespace ovrix::v2 {
namespace {

using testing::overflow_message;
using testing::signed_message;
using testing::throws_with;

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
  EXPECT_TRUE(throws_with<std::runtime_error>([] { signed_field_value(-5, 3); }, signed_message(-5, 3)));
  EXPECT_TRUE(throws_with<std::runtime_error>([] { signed_field_value(4, 3); }, signed_message(4, 3)));
  EXPECT_TRUE(throws_with<std::runtime_error>([] { signed_field_value(32, 6); }, signed_message(32, 6)));
}

TEST(OneHotId, FourBitField) {
  EXPECT_EQ(one_hot_id(0), 1u);
  EXPECT_EQ(one_hot_id(3), 8u);
  EXPECT_TRUE(throws_with<std::runtime_error>([] { one_hot_id(4); }, overflow_message(16, 4)));
  EXPECT_THROW(one_hot_id(200), std::runtime_error);
}

TEST(WriteField, WritesOnlyItsBitsOfItsWord) {
  RegisterBlock regs(NP_REGISTER_WORDS, 0xFFFFFFFF);
  write_field(&regs, REG8_II_OFFSET, 0);
  EXPECT_EQ(regs[8], 0xFFFF8FFFu);
  write_field(&regs, REG4_NP_NUM, 0x12);
  EXPECT_EQ(regs[3], 0xFF12FFFFu);
  EXPECT_EQ(read_field(regs, REG4_NP_NUM), 0x12u);
  EXPECT_TRUE(throws_with<std::runtime_error>([&] { write_field(&regs, REG5_CPKSRAM_SIZE, 65536); },
                                              overflow_message(65536, 16)));
  EXPECT_EQ(regs[4], 0xFFFFFFFFu);
  RegisterBlock short_block(3, 0);
  EXPECT_THROW(write_field(&short_block, REG8_II_SIZE, 1), std::out_of_range);
}

// Every named field, by word and bits, so that a moved field fails here.
struct FieldLayout {
  const char* name;
  RegField field;
  uint32_t word;
  uint32_t offset;
  uint32_t width;
};

class FieldLayoutTest : public ::testing::TestWithParam<FieldLayout> {};

TEST_P(FieldLayoutTest, WordAndBits) {
  const auto& c = GetParam();
  EXPECT_EQ(c.field.word, c.word) << c.name;
  EXPECT_EQ(c.field.bits.offset, c.offset) << c.name;
  EXPECT_EQ(c.field.bits.width, c.width) << c.name;
}

#define LAYOUT(f, w, o, n) FieldLayout{#f, f, w, o, n}
INSTANTIATE_TEST_SUITE_P(
    NamedFields, FieldLayoutTest,
    ::testing::Values(LAYOUT(REG4_NP_NUM, 3, 16, 8), LAYOUT(REG4_IB_CH_GRP_EN, 3, 10, 1),
                      LAYOUT(REG5_CPKSRAM_SIZE, 4, 0, 16), LAYOUT(REG8_II_SIZE, 8, 0, 11),
                      LAYOUT(REG8_II_OFFSET, 8, 12, 3), LAYOUT(REG8_JJ_SIZE, 8, 16, 11),
                      LAYOUT(REG8_JJ_OFFSET, 8, 28, 3), LAYOUT(REG9_I_ORIG_CUT, 9, 0, 12),
                      LAYOUT(REG9_I_CONV_STRD_OFFSET, 9, 12, 1), LAYOUT(REG11_CHCONT_SIZE, 11, 12, 18),
                      LAYOUT(CNP2_TF_TOTAL, 21, 0, 11), LAYOUT(CNP3_CH_ORIG_CUT, 22, 0, 12),
                      LAYOUT(CNP3_CH_SIZE_CUT, 22, 16, 10), LAYOUT(CNP8_CPK_CHCONT_SIZE, 28, 16, 16),
                      LAYOUT(W28_ROW_WORDS, 28, 0, 14), LAYOUT(W29_FILTER_GROUPS, 29, 16, 8),
                      LAYOUT(PR1_FNP_MODE, 32, 1, 1), LAYOUT(PR1_IB_CH_GRP_EN, 32, 10, 1),
                      LAYOUT(PR1_SP_MAXPOOLING, 32, 11, 1), LAYOUT(PR1_I_ORIG_CUT, 33, 0, 12),
                      LAYOUT(PR1_J_ORIG_CUT, 33, 16, 12), LAYOUT(PR1_I_SIZE_CUT, 34, 0, 11),
                      LAYOUT(PR1_J_SIZE_CUT, 34, 16, 11), LAYOUT(PR1_CH_SIZE, 35, 0, 18),
                      LAYOUT(PR1_SEPARABLE, 35, 15, 1), LAYOUT(PR1_PKSRAM_SIZE, 40, 0, 16),
                      LAYOUT(PR1_CH_ORIG_CUT, 42, 0, 12), LAYOUT(PR1_CH_SIZE_CUT, 42, 16, 10)));
#undef LAYOUT

TEST(VariableFields, Layout) {
  EXPECT_EQ(VARS_W1_BIAS.offset, 8u);
  EXPECT_EQ(VARS_W1_BIAS.width, 8u);
  EXPECT_EQ(VARS_W1_BIAS_SHIFT.offset, 16u);
  EXPECT_EQ(VARS_W1_BIAS_SHIFT.width, 5u);
  EXPECT_EQ(VARS_W1_OUT_SHIFT.offset, 21u);
  EXPECT_EQ(VARS_W1_OUT_SHIFT.width, 6u);
  EXPECT_EQ(VARS_W1_MAX_SHIFT.offset, 27u);
  EXPECT_EQ(VARS_W1_MAX_SHIFT.width, 5u);
}

// ---- Default NP registers

struct DefaultCase {
  uint8_t id;
  uint32_t number;
  bool registers_only;
  bool is_add;
  uint32_t word3;
  uint32_t word56;
};

class DefaultRegsTest : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(DefaultRegsTest, WholeBlock) {
  const auto& c = GetParam();
  const RegisterBlock regs = default_np_regs(c.id, c.number, c.registers_only, c.is_add);
  RegisterBlock expected(64, 0);
  expected[1] = 0x20;
  expected[2] = 0x8;
  expected[3] = c.word3;
  expected[5] = 0x00130100;
  expected[6] = 0x08040000;
  expected[12] = 0x52000000;
  expected[13] = 0x10;
  expected[37] = 0xFF000000;
  expected[56] = c.word56;
  expected[57] = 0x40;
  EXPECT_EQ(regs, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, DefaultRegsTest,
    ::testing::Values(DefaultCase{0, 255, false, false, 0xFF000000, 0x00800000},
                      DefaultCase{1, 0, false, true, 0x00000000, 0x00800008},
                      DefaultCase{2, 7, false, false, 0x07000000, 0x01800100},
                      DefaultCase{3, 1, false, true, 0x01000000, 0x01800108},
                      DefaultCase{0, 256, true, false, 0xFE000000, 0x00800000},   // number ignored
                      DefaultCase{0, 3, true, false, 0xFE000000, 0x00800000}));

TEST(DefaultRegs, RefusesANumberAbove255) {
  EXPECT_TRUE(throws_with<std::runtime_error>([] { default_np_regs(0, 256, false, false); }, overflow_message(256, 8)));
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
