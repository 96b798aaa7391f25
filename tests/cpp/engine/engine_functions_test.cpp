#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "engine/dma.h"
#include "engine/engine.h"
#include "engine/model.h"
#include "support/engine_util.h"

namespace ovrix {
namespace {

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
  EXPECT_THROW(get_threshold_t16_from_act_steps(*tensor<float>(TensorType::float32, {3e9f})), std::runtime_error);
  EXPECT_THROW(get_threshold_t16_from_act_steps(*tensor<int32_t>(TensorType::int32, {1})), std::runtime_error);
}

TEST(Version, IsText) { ASSERT_NE(version(), nullptr); }

TEST(DmaHeader, GoldenWords) {
  struct Row {
    hw::Ident ident;
    dma::Target target;
    uint32_t size;
    uint16_t parameter;
    bool xl;
    uint32_t w0, w1;
  };
  const Row rows[] = {
      {hw::Ident(0, 0, 0, 0), dma::Target::RegisterWrites, 1, 0, false, 0x00000000, 0x80010000},
      {hw::Ident(1, 2, 3, 4), dma::Target::Weights, 17, 0xBEEF, false, 0x04030201, 0x1011BEEF},
      {hw::Ident(5, 6, 1, 0), dma::Target::NpRegisters, 64, 0, false, 0x00010605, 0x70400000},
      {hw::Ident(5, 6, 1, 127), dma::Target::TnprTsram, 4095, 7, false, 0x7F010605, 0xFFFF0007},
      {hw::Ident(2, 0, 0, 0), dma::Target::Variables, 32, 0, true, 0x80000002, 0x50020000},
      {hw::Ident(2, 0, 0, 0), dma::Target::Variables, 0, 0, true, 0x80000002, 0x50000000},
      {hw::Ident(0, 1, 0, 0), dma::Target::HrcSram, 65520, 0, true, 0x80000100, 0x9FFF0000},
  };
  for (const auto& r : rows) {
    uint32_t out[3] = {0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA};
    dma::format_config_header(out, r.ident, r.target, r.size, r.parameter, r.xl);
    EXPECT_EQ(out[0], r.w0) << r.size;
    EXPECT_EQ(out[1], r.w1) << r.size;
    EXPECT_EQ(out[2], 0xAAAAAAAAu);  // exactly two words
    auto h = dma::parse_config_header(out);
    EXPECT_EQ(h.ident, r.ident);
    EXPECT_EQ(h.target, r.target);
    EXPECT_EQ(h.size, r.size);
    EXPECT_EQ(h.parameter, r.parameter);
    EXPECT_EQ(h.xl, r.xl);
  }
}

TEST(DmaHeader, Refusals) {
  uint32_t out[2];
  const hw::Ident id(0, 0, 0, 0);
  EXPECT_THROW(dma::format_config_header(out, id, dma::Target::Weights, 4096, 0, false), std::invalid_argument);
  EXPECT_THROW(dma::format_config_header(out, id, dma::Target::Weights, 17, 0, true), std::invalid_argument);
  EXPECT_THROW(dma::format_config_header(out, id, dma::Target::Weights, 65536, 0, true), std::invalid_argument);
  EXPECT_THROW(dma::format_config_header(out, hw::Ident(0, 0, 0, 128), dma::Target::Weights, 1, 0, false),
               std::invalid_argument);
  EXPECT_THROW(dma::format_config_header(out, id, static_cast<dma::Target>(16), 1, 0, false), std::invalid_argument);
  EXPECT_THROW(dma::format_config_header(nullptr, id, dma::Target::Weights, 1, 0, false), std::invalid_argument);
}

TEST(DmaHeader, XlPredicateAndItsTestThreshold) {
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
