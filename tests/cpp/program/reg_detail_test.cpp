#include "program/reg_detail.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "mapping/host_hooks.h"

namespace ovrix {
namespace {

struct FieldCase {
  uint32_t start;
  RegDetail field;
  uint32_t value;
  uint32_t expected;
};

class SetFieldTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(SetFieldTest, WritesOnlyTheField) {
  const auto& c = GetParam();
  uint32_t word = c.start;
  set_field(&word, c.field, c.value);
  EXPECT_EQ(word, c.expected);
  EXPECT_EQ(get_field(word, c.field), c.value);
}

INSTANTIATE_TEST_SUITE_P(Fields, SetFieldTest,
                         ::testing::Values(FieldCase{0, {0, 8}, 0xFF, 0xFF},                    // all ones
                                           FieldCase{0xFFFFFFFF, {4, 4}, 0, 0xFFFFFF0F},        // clearing
                                           FieldCase{0, {0, 32}, 0xDEADBEEF, 0xDEADBEEF},       // whole word
                                           FieldCase{0, {31, 1}, 1, 0x80000000},                // top bit
                                           FieldCase{0x12345678, {8, 8}, 0xAB, 0x1234AB78},     // middle byte
                                           FieldCase{0x5, {0, 0}, 0, 0x5}));                    // zero width

TEST(SetField, RefusesValuesWiderThanTheField) {
  uint32_t word = 0x1234;
  try {
    set_field(&word, {0, 4}, 16);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Attempted to write value 16 into a 4-bit field, which will cause an overflow.");
  }
  EXPECT_EQ(word, 0x1234u);
  EXPECT_THROW(set_field(&word, {0, 0}, 1), std::runtime_error);
}

TEST(SetField, NamesValueAndWidthInTheOverflowMessage) {
  uint32_t word = 0;
  try {
    set_field(&word, {3, 8}, 300);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Attempted to write value 300 into a 8-bit field, which will cause an overflow.");
  }
  EXPECT_EQ(word, 0u);
}

TEST(SetField, FieldPastBit31LosesItsUpperBits) {
  uint32_t word = 0x0000000F;
  set_field(&word, {28, 8}, 0xAB);
  EXPECT_EQ(word, 0xB000000Fu);
  // The offset is taken modulo 32.
  word = 0;
  set_field(&word, {36, 4}, 0x9);
  EXPECT_EQ(word, 0x90u);
}

TEST(Panic, FormatsAndCutsAt256Characters) {
  try {
    panic("%d cannot fit in a %d-bit signed integer", 300, 8);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "300 cannot fit in a 8-bit signed integer");
  }
  std::string long_text(300, 'x');
  try {
    panic("%s", long_text.c_str());
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), long_text.substr(0, 256));
  }
}

TEST(HostHooks, ClockNeverGoesBackwards) {
  const int64_t a = time_ms();
  msleep(2);
  const int64_t b = time_ms();
  EXPECT_GE(b - a, 2);
}

}  // namespace
}  // namespace ovrix
