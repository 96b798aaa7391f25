// Kernels of ovrix::ops on small hand-computed cases; the NumPy reference covers random shapes from
// Python (tests/python/test_nn.py).
#include "engine/ops.h"
#include "support/message_of.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace ovrix {
namespace {

template <class T>
std::shared_ptr<Dense> tensor(TensorType type, Shape shape, const std::vector<T>& values,
                              Dense::Layout layout = Dense::Layout::RowMajor) {
  return std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T),
                                            type, shape, layout));
}

std::shared_ptr<Dense> i32(Shape shape, const std::vector<int32_t>& v) { return tensor(TensorType::int32, shape, v); }
std::shared_ptr<Dense> i8(Shape shape, const std::vector<int8_t>& v) { return tensor(TensorType::int8, shape, v); }
std::shared_ptr<Dense> u8(Shape shape, const std::vector<uint8_t>& v) { return tensor(TensorType::uint8, shape, v); }

template <class T>
std::vector<T> values(const Dense& d) {
  const T* p = d.data_as<T>();
  return std::vector<T>(p, p + d.size());
}

void expect_shape(const Dense& d, Shape s) { EXPECT_TRUE(d.shape() == s); }

using test_support::message_of;

TEST(Ops, ShiftsBroadcastPerChannel) {
  auto a = i32({2, 3}, {1, 2, 3, -4, -5, -6});
  auto l = ops::lshift(*a, *u8({3}, {0, 1, 2}), 32);
  EXPECT_EQ(values<int32_t>(*l), (std::vector<int32_t>{1, 4, 12, -4, -10, -24}));
  auto s = ops::shift(*a, *i8({3}, {-1, -1, 1}), 32);
  EXPECT_EQ(values<int32_t>(*s), (std::vector<int32_t>{0, 1, 6, -2, -3, -12}));
  auto r = ops::shift_out(*a, *i8({1}, {-1}), 32);
  EXPECT_EQ(values<int32_t>(*r), (std::vector<int32_t>{1, 1, 2, -2, -2, -3}));
  auto sat = ops::lshift(*a, *u8({1}, {3}), 4);  // 8, 16, 24 saturate to 7; -32.. to -8
  EXPECT_EQ(values<int32_t>(*sat), (std::vector<int32_t>{7, 7, 7, -8, -8, -8}));
}

TEST(Ops, MatmulWrapsThenSaturates) {
  auto a = i32({1, 2}, {2147483647, 1});
  auto b = i32({2, 1}, {1, 1});
  EXPECT_EQ(values<int32_t>(*ops::matmul(*a, *b, 32, false)), (std::vector<int32_t>{-2147483647 - 1}));
  auto m = i32({2, 3}, {1, 2, 3, 4, 5, 6});
  auto t = i32({2, 3}, {1, 0, 1, 0, 1, 0});  // (N, K) given transposed
  auto r = ops::matmul(*m, *t, 32, true);
  expect_shape(*r, {2, 2});
  EXPECT_EQ(values<int32_t>(*r), (std::vector<int32_t>{4, 2, 10, 5}));
}

TEST(Ops, ScaleOutClampsToTheRequestedRange) {
  auto a = i32({4}, {-10, 3, 100, 1000});
  auto s = u8({1}, {3});
  auto c = i8({1}, {-2});  // x 3 / 4, rounding half up
  EXPECT_EQ(values<int32_t>(*ops::scale_out(*a, *s, *c, 32, 1)), (std::vector<int32_t>{-7, 2, 75, 750}));
  EXPECT_EQ(values<int32_t>(*ops::scale_out(*a, *s, *c, 8, 0)), (std::vector<int32_t>{0, 2, 75, 255}));
  EXPECT_EQ(values<int32_t>(*ops::scale_out(*a, *s, *c, 8, 1)), (std::vector<int32_t>{-7, 2, 75, 127}));
  auto wide = tensor<uint16_t>(TensorType::uint16, {1}, {1000});
  EXPECT_EQ(values<int32_t>(*ops::scale_out(*a, *wide, *i8({1}, {0}), 32, 1))[3], 1000000);
}

TEST(Ops, Conv2dSumsTheWindowAndReadsZeroOutside) {
  // 3x3 input of one channel, 3x3 kernel of ones, Same padding: sums of the neighbourhoods.
  auto x = i32({3, 3, 1}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  auto w = i8({3, 3, 1, 1}, std::vector<int8_t>(9, 1));
  auto r = ops::conv2d_v2(*x, 1, 1, 1, 1, 3, 3, *w, 32);
  EXPECT_EQ(values<int32_t>(*r), (std::vector<int32_t>{12, 21, 16, 27, 45, 33, 24, 39, 28}));
  // Stride 2 along axis 0 only, two filters (the second negated).
  std::vector<int8_t> two(18);
  for (int i = 0; i < 9; ++i) two[2 * i] = 1, two[2 * i + 1] = -1;
  auto r2 = ops::conv2d_v2(*x, 2, 1, 1, 1, 2, 3, *i8({3, 3, 1, 2}, two), 32);
  expect_shape(*r2, {2, 3, 2});
  EXPECT_EQ(values<int32_t>(*r2), (std::vector<int32_t>{12, -12, 21, -21, 16, -16, 24, -24, 39, -39, 28, -28}));
}

TEST(Ops, DepthwiseAndTransposedConvolutions) {
  auto x = i32({2, 2, 2}, {1, 10, 2, 20, 3, 30, 4, 40});
  auto w = i8({1, 1, 1, 2}, {2, -1});
  EXPECT_EQ(values<int32_t>(*ops::depthwise_conv2d(*x, 1, 1, 0, 0, 2, 2, *w)),
            (std::vector<int32_t>{2, -10, 4, -20, 6, -30, 8, -40}));
  // Transposed, kernel 3 stride 2 padding 0, one channel: x[i] spreads to 2i .. 2i + 2, cut to 2n.
  auto xt = i32({2, 1, 1}, {1, 10});
  auto wt = i8({3, 1, 1, 1}, {1, 2, 3});
  auto t = ops::conv2d_transpose(*xt, *wt, 2, 0, 0, 4, 1);
  EXPECT_EQ(values<int32_t>(*t), (std::vector<int32_t>{1, 2, 3 + 10, 20}));
  auto td = ops::depthwise_conv2d_transpose(*xt, *wt, 2, 1, 0, 4, 1);  // padding 1 drops the first output
  EXPECT_EQ(values<int32_t>(*td), (std::vector<int32_t>{2, 13, 20, 30}));
}

TEST(Ops, InputConvolutionWithLinearizedFilters) {
  auto w = i8({2, 1, 2, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});  // (k0, k1, C, F)
  auto lin = ops::linearize_filters(*w);
  expect_shape(*lin, {3, 4});
  EXPECT_EQ(values<int8_t>(*lin), (std::vector<int8_t>{1, 4, 7, 10, 2, 5, 8, 11, 3, 6, 9, 12}));
  // One 1x1 image of two channels, padding one row after with the values (5, 6).
  auto x = u8({1, 1, 2}, {1, 2});
  auto t = u8({2}, {5, 6});
  auto r = ops::input_conv2d(*x, *t, 1, 1, 0, 0, 0, 1, 1, 1, 2, 1, *lin);
  // filter 0: 1*1 + 4*2 + 7*5 + 10*6
  EXPECT_EQ(values<int32_t>(*r), (std::vector<int32_t>{104, 118, 132}));
  EXPECT_THROW(ops::input_conv2d(*x, *t, 1, 1, 0, 0, 0, 0, 1, 1, 2, 1, *lin), std::invalid_argument);
}

TEST(Ops, MaxPoolingSkipsPaddingUnlessAskedToCountItAsZero) {
  auto x = i32({2, 2, 1}, {-5, -2, -7, -1});
  auto skip = ops::max_pooling(x, 3, 3, false, 2, 2, 1, 1, 1, 1, 1, 1, 32);
  EXPECT_EQ(values<int32_t>(*skip), (std::vector<int32_t>{-1, -1, -1, -1}));
  auto zero = ops::max_pooling(x, 3, 3, true, 2, 2, 1, 1, 1, 1, 1, 1, 32);
  EXPECT_EQ(values<int32_t>(*zero), (std::vector<int32_t>{0, 0, 0, 0}));
  auto global = ops::max_pooling(x, -1, -1, false, 1, 1, 1, 1, 0, 0, 0, 0, 32);
  EXPECT_EQ(values<int32_t>(*global), (std::vector<int32_t>{-1}));
  EXPECT_THROW(ops::max_pooling(x, 2, 2, false, 3, 1, 1, 1, 0, 0, 0, 0, 32), std::invalid_argument);
}

TEST(Ops, GlobalAveragePoolingPerSample) {
  auto a = i32({2, 1, 2, 1}, {1, 2, -1, -2});
  auto r = ops::global_average_pooling(a, 32);
  expect_shape(*r, {2, 1, 1, 1});
  EXPECT_EQ(values<int32_t>(*r), (std::vector<int32_t>{2, -1}));
}

TEST(Ops, FifoAndTemporalProduct) {
  auto q = i8({3, 2}, {1, 2, 3, 4, 5, 6});
  ops::fifo_op(*q, *i8({2}, {7, 8}));
  EXPECT_EQ(values<int8_t>(*q), (std::vector<int8_t>{7, 8, 1, 2, 3, 4}));
  auto a = i32({3, 2}, {1, 2, 3, 4, 5, 6});
  auto b = i8({3, 2}, {1, 0, 0, 1, 2, -1});
  auto r = ops::depthwise_like_conv(*a, *b, 32);
  expect_shape(*r, {2});
  EXPECT_EQ(values<int32_t>(*r), (std::vector<int32_t>{1 + 10, 4 - 6}));
}

TEST(Ops, FifoUpdatesAReversedLayoutTensorInPlace) {
  // Logical (3, 2) FIFO stored with dimension 0 fastest.
  auto q = tensor<int8_t>(TensorType::int8, {3, 2}, {1, 3, 5, 2, 4, 6}, Dense::Layout::Reversed);
  ops::fifo_op(*q, *i8({2}, {7, 8}));
  EXPECT_EQ(values<int8_t>(*q), (std::vector<int8_t>{7, 1, 3, 8, 2, 4}));
}

TEST(Ops, StateUpdateWritesTheNewStateBack) {
  auto a = i32({2}, {3, 4});
  auto b = i8({1, 2}, {1, 2});
  auto c = i32({1}, {100});
  auto d = i32({1}, {50});
  auto e = tensor<int16_t>(TensorType::int16, {1}, {2});
  auto f = tensor<int16_t>(TensorType::int16, {1}, {1});
  auto [re, im] = ops::update_internal_state(*a, *b, *c, *d, *e, *f, 1, 1);
  // re = round((2*100 - 1*50) / 2) + 11 * 2 = 75 + 22; im = round((2*50 + 1*100) / 2) = 100
  EXPECT_EQ(values<int32_t>(*re), (std::vector<int32_t>{97}));
  EXPECT_EQ(values<int32_t>(*im), (std::vector<int32_t>{100}));
  EXPECT_EQ(values<int32_t>(*c), (std::vector<int32_t>{97}));
  EXPECT_EQ(values<int32_t>(*d), (std::vector<int32_t>{100}));
}

TEST(Ops, SubsamplingAndPostProcessing) {
  auto a = i32({5, 1}, {0, 1, 2, 3, 4});
  EXPECT_EQ(values<int32_t>(*ops::subsampling(*a, 2)), (std::vector<int32_t>{0, 2, 4}));
  auto x = tensor<int16_t>(TensorType::int16, {3}, {10, 20, 30});
  auto s = tensor<int16_t>(TensorType::int16, {1}, {3});
  auto t = tensor<uint16_t>(TensorType::uint16, {1}, {60});
  auto v = ops::lumo_post_processing(*x, *s, *t, -1, false);  // 15, 30, 45 -> 0, 0, 0... 30*3/2 = 45
  EXPECT_EQ(values<int16_t>(*v), (std::vector<int16_t>{0, 0, 0}));
  auto v2 = ops::lumo_post_processing(*x, *s, *t, 0, false);
  EXPECT_EQ(values<int16_t>(*v2), (std::vector<int16_t>{0, 60, 90}));
  auto v3 = ops::lumo_post_processing(*x, *s, *t, 0, true);
  EXPECT_EQ(values<int16_t>(*v3), (std::vector<int16_t>{0, 1, 1}));
}

TEST(Ops, ReversedLayoutOperandsAreReadByTheirStrides) {
  // Logical (2, 3) stored with dimension 0 fastest.
  auto a = tensor<int32_t>(TensorType::int32, {2, 3}, {1, 4, 2, 5, 3, 6}, Dense::Layout::Reversed);
  auto r = ops::add(*a, *i32({3}, {10, 20, 30}), 32);
  EXPECT_EQ(values<int32_t>(*r), (std::vector<int32_t>{11, 22, 33, 14, 25, 36}));
}

TEST(Ops, RefusalsNameTheOperation) {
  auto a = i32({2, 3}, {1, 2, 3, 4, 5, 6});
  EXPECT_NE(message_of([&] { ops::add(*a, *i32({2}, {1, 2}), 32); }).find("add: the second operand has 2 elements"),
            std::string::npos);
  EXPECT_NE(message_of([&] { ops::add(*a, *a, 0); }).find("between 1 and 32"), std::string::npos);
  EXPECT_EQ(message_of([&] { ops::add(*a, *u8({1}, {1}), 32); }), "Wrong requested type i for a tensor of type uint8");
  EXPECT_NE(message_of([&] { ops::conv2d_v2(*a, 1, 1, 0, 0, 1, 1, *i8({3}, {1, 2, 3}), 32); }).find("at least 2"),
            std::string::npos);
  EXPECT_NE(message_of([&] { ops::subsampling(*a, 0); }).find("positive"), std::string::npos);
  EXPECT_NE(message_of([&] { ops::look_up(*a, *i32({3}, {1, 2, 3})); }).find("lookup table"), std::string::npos);
}

}  // namespace
}  // namespace ovrix
