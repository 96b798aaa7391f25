#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "engine/dma.h"
#include "engine/engine.h"
#include "engine/model.h"
#include "support/engine_util.h"
#include "support/golden.h"

namespace ovrix {
namespace {

using ::testing::ThrowsMessage;
using test::input_data;
using test::make_layer;

template <class T>
std::unique_ptr<Dense> tensor(TensorType type, std::vector<T> values) {
  return Dense::copy(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T), type,
                     Shape{static_cast<uint32_t>(values.size())});
}

TEST(EvaluateBitwidth, SignedTypesCountTheSignBit) {
  struct Row {
    std::unique_ptr<Dense> t;
    int32_t bits;
  };
  Row rows[] = {
      {tensor<uint8_t>(TensorType::uint8, {0, 0}), 0},
      {tensor<uint8_t>(TensorType::uint8, {7, 1}), 3},
      {tensor<uint8_t>(TensorType::uint8, {8}), 4},
      {tensor<uint8_t>(TensorType::uint8, {255}), 8},
      {tensor<uint16_t>(TensorType::uint16, {256}), 9},
      {tensor<int8_t>(TensorType::int8, {0}), 1},
      {tensor<int8_t>(TensorType::int8, {-1}), 1},
      {tensor<int8_t>(TensorType::int8, {31, -32}), 6},
      {tensor<int8_t>(TensorType::int8, {32}), 7},
      {tensor<int8_t>(TensorType::int8, {-33}), 7},
      {tensor<int8_t>(TensorType::int8, {-128, 127}), 8},
      {tensor<int16_t>(TensorType::int16, {-32768}), 16},
      {tensor<int32_t>(TensorType::int32, {INT32_MIN}), 32},
      {tensor<int32_t>(TensorType::int32, {1000, -3}), 11},
      {tensor<int8_t>(TensorType::int4, {-8, 7}), 4},
      {tensor<uint8_t>(TensorType::uint2, {3}), 2},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(evaluate_bitwidth(*r.t), r.bits) << Tensor::type_name(r.t->type());
  }
  EXPECT_THROW(evaluate_bitwidth(*tensor<float>(TensorType::float32, {1.0f})), std::invalid_argument);
}

TEST(CheckBitwidth, FailsOnlyWhenTheVariableNeedsMoreBits) {
  auto model = Model::create();
  auto in = input_data(4, 4, 2);
  model->add(in);
  auto conv = make_layer(LayerType::Conv2D, {{"filters", 2}}, "conv");
  model->add(conv);
  auto shift = conv->variables()->get("output_shift");
  shift->mutable_data_as<int8_t>()[1] = -33;
  auto fail = check_bitwidth(*conv, 6, "output_shift", false);
  EXPECT_TRUE(fail.failed);
  EXPECT_EQ(fail.layer_name, "conv");
  EXPECT_EQ(fail.message, "Variable output_shift needs 7 bits, more than the 6 allowed.");
  EXPECT_FALSE(check_bitwidth(*conv, 7, "output_shift", false).failed);
  EXPECT_TRUE(check_bitwidth(*conv, 6, "output_shift", true).failed);
  // Absent variables, and layers without variables, pass.
  EXPECT_FALSE(check_bitwidth(*conv, 1, "new_state_shift", true).failed);
  EXPECT_EQ(check_bitwidth(*in, 0, "input_shift", false).to_string(), "Success.");
  EXPECT_FALSE(check_bitwidth(*conv, 3, "input_shift", false).failed);
}

TEST(Thresholds, SixteenTimesTheStepRoundedToNearest) {
  auto steps = tensor<float>(TensorType::float32, {1.0f, 0.03125f, -0.03125f, 2.53f, 0.0f});
  auto t = get_threshold_t16_from_act_steps(*steps);
  EXPECT_EQ(t->type(), TensorType::int32);
  EXPECT_TRUE(t->shape() == steps->shape());
  const int32_t* p = t->data_as<int32_t>();
  EXPECT_EQ(std::vector<int32_t>(p, p + 5), (std::vector<int32_t>{16, 1, -1, 40, 0}));
  // The refused step is written as printf's %f writes it, six decimals.
  EXPECT_THAT([] { get_threshold_t16_from_act_steps(*tensor<float>(TensorType::float32, {1.0f, 2e8f})); },
              ThrowsMessage<std::runtime_error>(
                  "Activation step 200000000.000000 at index 1 does not fit a 32-bit threshold step."));
  EXPECT_THAT([] { get_threshold_t16_from_act_steps(*tensor<float>(TensorType::float32, {-1.5e8f})); },
              ThrowsMessage<std::runtime_error>(
                  "Activation step -150000000.000000 at index 0 does not fit a 32-bit threshold step."));
  EXPECT_THAT([] { get_threshold_t16_from_act_steps(*tensor<float>(TensorType::float32, {std::nanf("")})); },
              ThrowsMessage<std::runtime_error>("Activation step nan at index 0 does not fit a 32-bit threshold step."));
  EXPECT_THROW(get_threshold_t16_from_act_steps(*tensor<int32_t>(TensorType::int32, {1})), std::runtime_error);
}

TEST(Version, IsText) { ASSERT_NE(version(), nullptr); }

class DmaHeader : public ::testing::TestWithParam<golden::Case> {};

TEST_P(DmaHeader, GoldenWordsOrRefusal) {
  const golden::Case& c = GetParam();
  ASSERT_EQ(c.fields.size(), 2u);
  const auto v = golden::numbers(c[0]);
  ASSERT_EQ(v.size(), 8u);
  const hw::Ident ident(static_cast<uint8_t>(v[0]), static_cast<uint8_t>(v[1]), static_cast<uint8_t>(v[2]),
                        static_cast<uint8_t>(v[3]));
  const auto target = static_cast<dma::Target>(v[4]);
  uint32_t out[3] = {0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA};
  if (c[1] == "refused") {
    EXPECT_THROW(dma::format_config_header(out, ident, target, uint32_t(v[5]), uint16_t(v[6]), v[7] != 0),
                 std::invalid_argument);
    return;
  }
  dma::format_config_header(out, ident, target, uint32_t(v[5]), uint16_t(v[6]), v[7] != 0);
  EXPECT_EQ(std::vector<uint32_t>(out, out + 3), (std::vector<uint32_t>{golden::words(c[1]).at(0), golden::words(c[1]).at(1), 0xAAAAAAAA}));
  const auto h = dma::parse_config_header(out);
  EXPECT_EQ(h.ident, ident);
  EXPECT_EQ(h.target, target);
  EXPECT_EQ(h.size, uint32_t(v[5]));
  EXPECT_EQ(h.parameter, uint16_t(v[6]));
  EXPECT_EQ(h.xl, v[7] != 0);
}

INSTANTIATE_TEST_SUITE_P(Headers, DmaHeader, ::testing::ValuesIn(golden::cases("engine/dma_headers.txt")), golden::line_name);

TEST(DmaHeaderRefusals, NoOutput) {
  EXPECT_THROW(dma::format_config_header(nullptr, hw::Ident(0, 0, 0, 0), dma::Target::Weights, 1, 0, false),
               std::invalid_argument);
}

TEST(DmaXl, PredicateAndItsTestThreshold) {
  EXPECT_EQ(dma::xl_threshold(), dma::max_normal_block_words);
  EXPECT_FALSE(dma::config_block_size_needs_xl(0));
  EXPECT_FALSE(dma::config_block_size_needs_xl(17));
  EXPECT_FALSE(dma::config_block_size_needs_xl(33));
  EXPECT_FALSE(dma::config_block_size_needs_xl(4095));
  EXPECT_TRUE(dma::config_block_size_needs_xl(4096));
  EXPECT_TRUE(dma::config_block_size_needs_xl(65533));

  dma::set_xl_threshold(16);
  EXPECT_TRUE(dma::config_block_size_needs_xl(17));
  EXPECT_FALSE(dma::config_block_size_needs_xl(16));
  EXPECT_FALSE(dma::config_block_size_needs_xl(0));
  dma::set_xl_threshold(0);
  EXPECT_FALSE(dma::config_block_size_needs_xl(0));
  EXPECT_TRUE(dma::config_block_size_needs_xl(1));
  EXPECT_THROW(dma::set_xl_threshold(4096), std::invalid_argument);
  dma::set_xl_threshold(dma::max_normal_block_words);
  EXPECT_FALSE(dma::config_block_size_needs_xl(17));
}

}  // namespace
}  // namespace ovrix
