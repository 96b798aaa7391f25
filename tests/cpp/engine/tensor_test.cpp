#include "engine/tensor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace ovrix {
namespace {

template <class F>
std::string runtime_message(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no std::runtime_error>";
}

TEST(Tensor, TypeNamesAndSizes) {
  struct Row {
    int type;
    const char* name;
    size_t size;
  };
  const Row rows[] = {{0, "int32", 4}, {1, "float32", 4}, {2, "uint8", 1},  {3, "int16", 2},
                      {4, "int8", 1},  {5, "int4", 1},    {6, "int2", 1},   {7, "uint4", 1},
                      {8, "uint2", 1}, {9, "bit", 1},     {10, "uint16", 2}};
  for (const auto& r : rows) {
    EXPECT_STREQ(Tensor::type_name(static_cast<TensorType>(r.type)), r.name);
    EXPECT_EQ(element_size(static_cast<TensorType>(r.type)), r.size) << r.name;
  }
  EXPECT_STREQ(Tensor::type_name(static_cast<TensorType>(11)), "unknown");
  EXPECT_STREQ(Tensor::type_name(static_cast<TensorType>(-1)), "unknown");
  EXPECT_THROW(check_tensor_type(static_cast<TensorType>(11)), std::invalid_argument);
  EXPECT_THROW(Dense::create(static_cast<TensorType>(11), Shape{2}), std::invalid_argument);
}

TEST(Tensor, ShapeRefusals) {
  EXPECT_EQ(runtime_message([] { Dense::create(TensorType::int8, Shape{3, 0, 2}); }),
            "Cannot have a shape with dimension 1 set to 0");
  EXPECT_EQ(runtime_message([] { check_shape(Shape{0}); }), "Cannot have a shape with dimension 0 set to 0");
  // 65536 x 65536 = 2^32, one more than allowed.
  EXPECT_EQ(runtime_message([] { check_shape(Shape{65536, 65536}); }),
            "Tensor shape size 4294967296 exceeds maximum shape size (4294967295)");
  EXPECT_NO_THROW(check_shape(Shape{65535, 65537}));  // 4294967295 exactly
  EXPECT_THROW((Shape{1, 2, 3, 4, 5}), std::invalid_argument);
  EXPECT_EQ(Shape{}.elements(), 1u);
  EXPECT_TRUE((Shape{2, 3} == Shape{2, 3}));
  EXPECT_FALSE((Shape{2, 3} == Shape{2, 3, 1}));
}

TEST(Tensor, CreateIsZeroFilledAndCopyKeepsBytes) {
  auto z = Dense::create(TensorType::int16, Shape{2, 3});
  ASSERT_EQ(z->data().size(), 12u);
  for (auto b : z->data()) EXPECT_EQ(b, std::byte{0});
  EXPECT_EQ(z->size(), 6u);

  const int16_t src[6] = {1, -2, 3, -4, 5, -6};
  auto c = Dense::copy(reinterpret_cast<const char*>(src), sizeof src, TensorType::int16, Shape{3, 2},
                       Dense::Layout::Reversed);
  EXPECT_EQ(c->layout(), 1);
  EXPECT_EQ(std::memcmp(c->data().data(), src, sizeof src), 0);
  EXPECT_THROW(Dense::copy(reinterpret_cast<const char*>(src), 10, TensorType::int16, Shape{3, 2}),
               std::invalid_argument);
  EXPECT_THROW(Dense::copy(nullptr, 12, TensorType::int16, Shape{3, 2}), std::invalid_argument);
}

TEST(Tensor, AViewReadsItsOwnersMemoryAndKeepsTheOwnerAliveUntilItGoes) {
  auto owner = std::make_shared<std::vector<int16_t>>(std::vector<int16_t>{1, -2, 3, -4, 5, -6});
  const auto* data = reinterpret_cast<const char*>(owner->data());
  std::weak_ptr<std::vector<int16_t>> watch = owner;
  auto v = Dense::view(data, 12, TensorType::int16, Shape{3, 2}, owner);
  owner.reset();
  ASSERT_FALSE(watch.expired());
  EXPECT_EQ(reinterpret_cast<const char*>(v->data().data()), data);
  EXPECT_EQ(v->at<int16_t>({2, 1}), -6);
  v.reset();
  EXPECT_TRUE(watch.expired());
  auto other = std::make_shared<int>(0);
  EXPECT_THROW(Dense::view(data, 10, TensorType::int16, Shape{3, 2}, other), std::invalid_argument);
  EXPECT_THROW(Dense::view(data, 12, TensorType::int16, Shape{3, 2}, nullptr), std::invalid_argument);
  EXPECT_THROW(Dense::view(nullptr, 12, TensorType::int16, Shape{3, 2}, other), std::invalid_argument);
}

TEST(Tensor, StridesInElementsForBothLayouts) {
  EXPECT_EQ(Dense::eval_strides(Shape{2, 3, 4}, Dense::Layout::RowMajor), (std::vector<uint32_t>{12, 4, 1}));
  EXPECT_EQ(Dense::eval_strides(Shape{2, 3, 4}, Dense::Layout::Reversed), (std::vector<uint32_t>{1, 2, 6}));
  EXPECT_EQ(Dense::eval_strides(Shape{5}, Dense::Layout::RowMajor), (std::vector<uint32_t>{1}));
  auto t = Dense::create(TensorType::int32, Shape{2, 3, 4}, Dense::Layout::Reversed);
  EXPECT_EQ(t->strides(), (std::vector<uint32_t>{1, 2, 6}));
}

TEST(Tensor, TypedAccessRefusesOtherStorageTypes) {
  auto t = Dense::create(TensorType::uint4, Shape{4});
  EXPECT_NO_THROW(t->data_as<uint8_t>());
  EXPECT_EQ(runtime_message([&] { t->data_as<int8_t>(); }), "Wrong requested type a for a tensor of type uint4");
  auto f = Dense::create(TensorType::float32, Shape{4});
  EXPECT_EQ(runtime_message([&] { f->data_as<int32_t>(); }), "Wrong requested type i for a tensor of type float32");
  auto b = Dense::create(TensorType::bit, Shape{4});
  EXPECT_NO_THROW(b->data_as<int8_t>());
  EXPECT_EQ(runtime_message([&] { b->data_as<uint8_t>(); }), "Wrong requested type h for a tensor of type bit");
  auto s = Dense::create(TensorType::uint16, Shape{4});
  EXPECT_EQ(runtime_message([&] { s->data_as<int16_t>(); }), "Wrong requested type s for a tensor of type uint16");
  EXPECT_EQ(runtime_message([&] { t->data_as<uint16_t>(); }), "Wrong requested type t for a tensor of type uint4");
  EXPECT_EQ(runtime_message([&] { s->data_as<float>(); }), "Wrong requested type f for a tensor of type uint16");
}

TEST(Tensor, CoordinatesFollowStridesAndAreBoundsChecked) {
  int32_t v[6] = {0, 1, 2, 3, 4, 5};
  auto row = Dense::copy(reinterpret_cast<const char*>(v), sizeof v, TensorType::int32, Shape{2, 3});
  EXPECT_EQ(row->at<int32_t>({1, 2}), 5);
  EXPECT_EQ(row->at<int32_t>({1, 0}), 3);
  auto rev = Dense::copy(reinterpret_cast<const char*>(v), sizeof v, TensorType::int32, Shape{2, 3},
                         Dense::Layout::Reversed);
  EXPECT_EQ(rev->at<int32_t>({1, 0}), 1);
  EXPECT_EQ(rev->at<int32_t>({0, 2}), 4);
  EXPECT_EQ(runtime_message([&] { row->at<int32_t>({2, 0}); }),
            "Coordinates are out-of-range (linear index 6, tensor size 6)");
  rev->at_mut<int32_t>({1, 2}) = 42;
  EXPECT_EQ(rev->data_as<int32_t>()[5], 42);
  EXPECT_THROW(row->at<int32_t>({0, 0, 0}), std::invalid_argument);
}

TEST(Tensor, SplitAlongDimensionZero) {
  uint8_t v[12];
  for (int i = 0; i < 12; ++i) v[i] = static_cast<uint8_t>(i);
  auto row = Dense::copy(reinterpret_cast<const char*>(v), 12, TensorType::uint8, Shape{3, 2, 2});
  auto parts = row->split();
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_TRUE((parts[1]->shape() == Shape{2, 2}));
  EXPECT_EQ(parts[1]->data_as<uint8_t>()[0], 4);
  EXPECT_EQ(parts[2]->data_as<uint8_t>()[3], 11);

  // Reversed layout: dimension 0 is the fastest, so part k holds elements k, k + 3, k + 6, ...
  auto rev = Dense::copy(reinterpret_cast<const char*>(v), 12, TensorType::uint8, Shape{3, 4},
                         Dense::Layout::Reversed);
  auto rparts = rev->split();
  ASSERT_EQ(rparts.size(), 3u);
  EXPECT_EQ(rparts[1]->layout(), 1);
  const uint8_t* p = rparts[1]->data_as<uint8_t>();
  EXPECT_EQ(std::vector<uint8_t>(p, p + 4), (std::vector<uint8_t>{1, 4, 7, 10}));
  EXPECT_EQ(rev->at<uint8_t>({1, 2}), rparts[1]->at<uint8_t>({2}));

  auto flat = Dense::create(TensorType::int32, Shape{2});
  auto scalars = flat->split();
  ASSERT_EQ(scalars.size(), 2u);
  EXPECT_EQ(scalars[0]->shape().count, 0u);
  EXPECT_EQ(scalars[0]->size(), 1u);
}

TEST(Tensor, EnsureDenseSharesDenseTensors) {
  std::shared_ptr<const Tensor> t = Dense::create(TensorType::int8, Shape{3});
  auto d = Tensor::ensure_dense(t);
  EXPECT_EQ(static_cast<const void*>(d.get()), static_cast<const void*>(t.get()));
  EXPECT_THROW(Tensor::ensure_dense(nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace ovrix
