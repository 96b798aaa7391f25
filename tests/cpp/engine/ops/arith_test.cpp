#include "engine/impl/ops/arith.h"

#include <gtest/gtest.h>

#include "engine/image_patches.h"

namespace ovrix {
namespace {

struct ShiftCase {
  int64_t v;
  int s;
  int64_t floor, round;
};

class ShiftTest : public ::testing::TestWithParam<ShiftCase> {};

TEST_P(ShiftTest, FloorAndRoundHalfUp) {
  const auto& c = GetParam();
  EXPECT_EQ(arith::shift_floor(c.v, c.s), c.floor);
  EXPECT_EQ(arith::shift_round(c.v, c.s), c.round);
}

INSTANTIATE_TEST_SUITE_P(
    Arith, ShiftTest,
    ::testing::Values(ShiftCase{5, -1, 2, 3}, ShiftCase{-5, -1, -3, -2}, ShiftCase{6, -2, 1, 2},
                      ShiftCase{-6, -2, -2, -1}, ShiftCase{3, 2, 12, 12},                          // left
                      ShiftCase{1, 31, 2147483647, 2147483647},                                      // saturates
                      ShiftCase{-1, 31, -2147483648LL, -2147483648LL}, ShiftCase{-1, 40, -2147483648LL, -2147483648LL},
                      ShiftCase{0, 100, 0, 0},                                                       // zero stays
                      ShiftCase{3, -200, 0, 0}, ShiftCase{-3, -200, -1, 0},                          // far right
                      ShiftCase{(int64_t{1} << 47) - 1, -48, 0, 0},                                  // big products
                      ShiftCase{int64_t{1} << 47, -48, 0, 1}, ShiftCase{int64_t{1} << 40, 1, 2147483647, 2147483647}));

TEST(Arith, ScaleShiftSaturatesTheProduct) {
  EXPECT_EQ(arith::scale_shift(2147483647, 65535, 0), 2147483647);
  EXPECT_EQ(arith::scale_shift(-2147483647 - 1, 65535, -16), -2147450880);
  EXPECT_EQ(arith::scale_shift(100, 3, -2), 75);
  EXPECT_EQ(arith::scale_shift(-101, 1, -1), -50);
}

TEST(Arith, BiasAndReluMaximum) {
  EXPECT_EQ(arith::bias_term(-3, 4), -48);
  EXPECT_EQ(arith::bias_term(127, 31), 2147483647);
  EXPECT_EQ(arith::relu_max(255, 0), 255);
  EXPECT_EQ(arith::relu_max(255, 31), 2147483647);
  EXPECT_EQ(arith::relu(-4, 10), 0);
  EXPECT_EQ(arith::relu(14, 10), 10);
  EXPECT_EQ(arith::add_bias(2147483647, 10), 2147483647);
}

TEST(Arith, AverageRoundsHalfUpAndFloorsNegatives) {
  EXPECT_EQ(arith::average_round(3, 2), 2);    // 1.5
  EXPECT_EQ(arith::average_round(-3, 2), -1);  // -1.5
  EXPECT_EQ(arith::average_round(-4, 3), -1);  // -1.33
  EXPECT_EQ(arith::average_round(-5, 3), -2);  // -1.67
  EXPECT_EQ(arith::average_round(7, 7), 1);
}

TEST(Arith, LookupIndexClampsToTheTable) {
  EXPECT_EQ(arith::lut_index(-5000), 0);
  EXPECT_EQ(arith::lut_index(-1), 1023);
  EXPECT_EQ(arith::lut_index(0), 1024);
  EXPECT_EQ(arith::lut_index(1023), 2047);
  EXPECT_EQ(arith::lut_index(99999), 2047);
}

TEST(Arith, AccumulatorWraps) {
  uint32_t acc = arith::mac(0, 2147483647, 1);
  acc = arith::mac(acc, 1, 1);
  EXPECT_EQ(arith::as_signed(acc), -2147483647 - 1);
}

TEST(Arith, PredictValueIsOneRoundingOfTheExactValue) {
  EXPECT_EQ(arith::predict_value(3, 5, -1), 7.5f);
  EXPECT_EQ(arith::predict_value(7, 1, 0, 2), 3.5f);
  EXPECT_EQ(arith::predict_value(16777217, 1, 0), 16777216.0f);
}

struct PatchCase {
  int32_t k0, k1, s0, s1;
  Padding padding;
  Shape shape;
  int32_t pb0, pa0, pb1, pa1;
  uint32_t out0, out1;
};

class ImagePatchesTest : public ::testing::TestWithParam<PatchCase> {};

TEST_P(ImagePatchesTest, Fields) {
  const auto& c = GetParam();
  const ImagePatches ip(c.k0, c.k1, c.s0, c.s1, c.padding, c.shape);
  EXPECT_EQ(ip.pad0_before, c.pb0);
  EXPECT_EQ(ip.pad0_after, c.pa0);
  EXPECT_EQ(ip.pad1_before, c.pb1);
  EXPECT_EQ(ip.pad1_after, c.pa1);
  EXPECT_EQ(ip.out0, c.out0);
  EXPECT_EQ(ip.out1, c.out1);
  EXPECT_EQ(ip.stride0, c.s0);
  EXPECT_EQ(ip.stride1, c.s1);
}

INSTANTIATE_TEST_SUITE_P(
    Geometry, ImagePatchesTest,
    ::testing::Values(PatchCase{3, 3, 1, 1, Padding::Same, Shape{5, 7, 2}, 1, 1, 1, 1, 5, 7},
                      PatchCase{3, 3, 2, 2, Padding::Same, Shape{6, 5, 1}, 0, 1, 1, 1, 3, 3},       // odd unit after
                      PatchCase{3, 3, 2, 2, Padding::SameUpper, Shape{6, 5, 1}, 1, 0, 1, 1, 3, 3},  // odd unit before
                      PatchCase{4, 2, 1, 1, Padding::Same, Shape{4, 4, 1}, 1, 2, 0, 1, 4, 4},
                      PatchCase{3, 5, 1, 2, Padding::Valid, Shape{7, 9, 3}, 0, 0, 0, 0, 5, 3},
                      PatchCase{5, 5, 1, 1, Padding::Valid, Shape{5, 5, 3}, 0, 0, 0, 0, 1, 1},      // kernel = input
                      PatchCase{7, 7, 1, 1, Padding::Same, Shape{1, 1, 3}, 3, 3, 3, 3, 1, 1},       // 1x1 input
                      PatchCase{1, 1, 2, 2, Padding::Same, Shape{5, 5, 3}, 0, 0, 0, 0, 3, 3},
                      PatchCase{3, 3, 1, 1, Padding::Same, Shape{2, 6, 4, 3}, 1, 1, 1, 1, 6, 4},    // samples first
                      PatchCase{-1, 2, 1, 2, Padding::Same, Shape{9, 4, 1}, 0, 0, 0, 0, 1, 2},      // global axis
                      PatchCase{2, 2, 2, 2, Padding::Valid, Shape{5, 5}, 0, 0, 0, 0, 2, 2}));

TEST(ImagePatchesRefusals, BadArguments) {
  EXPECT_THROW(ImagePatches(3, 3, 1, 1, Padding::Valid, Shape{2, 2, 1}), std::invalid_argument);
  EXPECT_THROW(ImagePatches(0, 3, 1, 1, Padding::Same, Shape{4, 4, 1}), std::invalid_argument);
  EXPECT_THROW(ImagePatches(3, 3, 0, 1, Padding::Same, Shape{4, 4, 1}), std::invalid_argument);
  EXPECT_THROW(ImagePatches(3, 3, 1, 128, Padding::Same, Shape{4, 4, 1}), std::invalid_argument);
  EXPECT_THROW(ImagePatches(3, 3, 1, 1, static_cast<Padding>(7), Shape{4, 4, 1}), std::invalid_argument);
  EXPECT_THROW(ImagePatches(3, 3, 1, 1, Padding::Same, Shape{}), std::invalid_argument);
}

}  // namespace
}  // namespace ovrix
