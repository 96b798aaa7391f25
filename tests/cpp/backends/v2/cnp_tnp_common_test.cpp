#include "backends/v2/cnp_tnp_config.h"
#include "backends/v2/cnp_tnp_pooling.h"
#include "backends/v2/cnp_tnp_variables.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mapping/layer_mapping.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::make_vector;
using testing::overflow_message;
using testing::signed_message;

// A split with chosen values.
class FixedSplit : public NpSplitInterface {
 public:
  explicit FixedSplit(uint32_t icont) : icont_(icont) {}
  uint32_t icont_size() const override { return icont_; }

 private:
  uint32_t icont_;
};

FixedSplit sample_split() {
  FixedSplit s(20);
  s.input_y = 5;
  s.input_x = 9;
  s.height = 12;
  s.width = 20;
  s.channels = 16;
  s.stride_phase_y = 1;
  s.stride_phase_x = 0;
  s.offset_y = -1;
  s.offset_x = 2;
  s.window_height = 14;
  s.window_width = 22;
  s.first_pooled_row = 3;
  s.first_pooled_col = 4;
  s.pooled_rows = 6;
  s.pooled_cols = 10;
  return s;
}

CommonConfig sample_config() {
  CommonConfig c;
  c.kernel_size = 3;
  c.stride = 2;
  c.activation = ActivationType::ReLU;
  c.first_filter = 16;
  c.filter_count = 8;
  c.weights_bits = 8;
  c.np_count = 4;
  c.input_bits = 8;
  c.output_bits = 4;
  c.lut_flag = true;
  return c;
}

hw::Component component(hw::Type type, uint8_t col, uint8_t row, uint8_t id) {
  hw::Component c(type);
  c.ident = hw::Ident(col, row, id);
  return c;
}

TEST(CommonConfig, GoldenWords) {
  RegisterBlock regs(64, 0);
  write_common_config_registers(&regs, sample_split(), sample_config());
  RegisterBlock expected(64, 0);
  expected[1] = 0x20000000;
  expected[3] = 0x0004A0B3;
  expected[4] = 0x80000000;
  expected[8] = 0x2014700C;
  expected[9] = 0x00091005;
  expected[10] = 0x0016000E;
  expected[11] = 0x00000014;
  expected[20] = 0x30000100;
  expected[24] = 0x00040003;
  expected[25] = 0x000A0006;
  expected[26] = 0x00080010;
  EXPECT_EQ(regs, expected);
}

TEST(CommonConfig, NarrowDataLutTransposedTnpB) {
  RegisterBlock regs(64, 0);
  CommonConfig c = sample_config();
  c.kernel_size = 4;
  c.stride = 1;
  c.activation = ActivationType::LUT;
  c.weights_bits = 4;
  c.np_count = 1;
  c.tnp_b_with_skip_dma = true;
  c.transposed = true;
  c.input_bits = 4;
  c.output_bits = 28;
  c.lut_flag = false;
  write_common_config_registers(&regs, sample_split(), c);
  EXPECT_EQ(regs[1], 0x00500000u);
  EXPECT_EQ(regs[3], 0x0001302Au);
  EXPECT_EQ(regs[20], 0x40000200u);
  // Another weight width: neither width flag, mode 2; an activation that is not ReLU with 8 bits out.
  c.weights_bits = 2;
  c.output_bits = 8;
  write_common_config_registers(&regs, sample_split(), c);
  EXPECT_EQ(regs[3], 0x00017022u);
}

TEST(CommonConfig, ClearsTheBitsItOwns) {
  RegisterBlock regs(64, 0xFFFFFFFF);
  CommonConfig c = sample_config();
  c.lut_flag = false;
  write_common_config_registers(&regs, sample_split(), c);
  EXPECT_EQ(regs[1], 0xFFFFFFFFu & ~((1u << 4) | (1u << 7) | (1u << 20) | (1u << 22) | (1u << 29)));
  EXPECT_EQ(regs[4], 0x9FFFFFFFu);
  EXPECT_EQ(regs[20], 0xB800F9FFu);
}

TEST(CommonConfig, OffsetsAreThreeBitSigned) {
  RegisterBlock regs(64, 0);
  FixedSplit split = sample_split();
  split.offset_y = -4;
  split.offset_x = 3;
  write_common_config_registers(&regs, split, sample_config());
  EXPECT_EQ(get_field(regs[8], REG8_II_OFFSET.bits), 0b100u);
  EXPECT_EQ(get_field(regs[8], REG8_JJ_OFFSET.bits), 0b011u);
  RegisterBlock fresh(64, 0);
  split.offset_y = -5;
  EXPECT_THAT([&] { write_common_config_registers(&fresh, split, sample_config()); }, ThrowsMessage<std::runtime_error>(signed_message(-5, 3)));
  EXPECT_EQ(fresh[8], 12u);      // the partition height, written before the offset
  EXPECT_EQ(fresh[9], 0u);       // nothing after it
}

TEST(CommonConfig, FieldLimits) {
  RegisterBlock regs(64, 0);
  CommonConfig c = sample_config();
  c.kernel_size = 7;
  write_common_config_registers(&regs, sample_split(), c);
  EXPECT_EQ(regs[20] >> 28, 7u);
  c.kernel_size = 8;
  EXPECT_THAT([&] { write_common_config_registers(&regs, sample_split(), c); }, ThrowsMessage<std::runtime_error>(overflow_message(8, 3)));
  c = sample_config();
  c.np_count = 256;
  EXPECT_THAT([&] { write_common_config_registers(&regs, sample_split(), c); }, ThrowsMessage<std::runtime_error>(overflow_message(256, 8)));
  c = sample_config();
  c.filter_count = 1024;
  EXPECT_THAT([&] { write_common_config_registers(&regs, sample_split(), c); }, ThrowsMessage<std::runtime_error>(overflow_message(1024, 10)));
  FixedSplit split = sample_split();
  split.window_width = 2048;
  EXPECT_THAT([&] { write_common_config_registers(&regs, split, sample_config()); }, ThrowsMessage<std::runtime_error>(overflow_message(2048, 11)));
}

// ---- Pooling

TEST(PoolingRegisters, BordersTouchedWithPadding) {
  const Shape input{8, 6, 3};
  const PaddingParams all_one{1, 1, 1, 1};
  RegisterBlock regs(64, 0);
  format_cnp_pooling_registers(&regs, input, NpSpace(0, 0, Shape{8, 6, 3}), 2, 2, true, all_one, false);
  EXPECT_EQ(regs[27], 0xF122u);
  EXPECT_EQ(regs[2], 0u);

  RegisterBlock inner(64, 0xFFFFFFFF);
  format_cnp_pooling_registers(&inner, input, NpSpace(2, 2, Shape{4, 2, 3}), 1, 1, false, all_one, true);
  EXPECT_EQ(inner[27], 0xFFFF0C99u);  // bits 8, 9 and 12-15 cleared, size 1, stride 1
  EXPECT_EQ(inner[2], 0xFFFFFFFFu);

  RegisterBlock left(64, 0);
  format_cnp_pooling_registers(&left, input, NpSpace(0, 3, Shape{4, 3, 3}), 1, 1, false, PaddingParams{0, 2, 0, 1},
                               true);
  EXPECT_EQ(left[27] & 0xF000u, 0x4000u);  // bottom only: no top or left padding, right not reached
  EXPECT_EQ(left[2], 0x100u);
}

TEST(PoolingRegisters, ThreeBitFields) {
  RegisterBlock regs(64, 0);
  EXPECT_THAT([&] { format_cnp_pooling_registers(&regs, Shape{4, 4, 1}, NpSpace(), 8, 1, false, {}, false); }, ThrowsMessage<std::runtime_error>(overflow_message(8, 3)));
  EXPECT_THAT([&] { format_cnp_pooling_registers(&regs, Shape{4, 4, 1}, NpSpace(), 1, 9, false, {}, false); }, ThrowsMessage<std::runtime_error>(overflow_message(9, 3)));
}

TEST(PoolingRegisters, NoPoolingRecord) {
  PoolingCalculatedParams p;
  p.stride_x = 7;
  p.padding = PaddingParams{1, 2, 3, 4};
  p.flag = 1;
  EXPECT_TRUE(get_no_pooling_params(&p, 12, 5));
  EXPECT_EQ(p.stride_x, 1);
  EXPECT_EQ(p.stride_y, 1);
  EXPECT_EQ(p.output_width, 12u);
  EXPECT_EQ(p.output_height, 5u);
  EXPECT_EQ(p.padding, PaddingParams{});
  EXPECT_EQ(p.flag, 0);
}

// ---- Merge and dual output

TEST(MergeRegisters, WithoutMergeOnlyTheFirstLayerBit) {
  RegisterBlock regs(64, 0);
  write_merge_registers(&regs, nullptr, nullptr, {}, {});
  RegisterBlock expected(64, 0);
  expected[52] = 0x80;
  EXPECT_EQ(regs, expected);
}

TEST(MergeRegisters, AddMergeFromASkipDmaLoad) {
  RegisterBlock regs(64, 0);
  MergeFields merge;
  merge.is_add = true;
  merge.channel = 9;
  merge.not_first = false;
  const hw::Component load = component(hw::Type::SKIP_DMA_LOAD, 3, 1, 2);
  write_merge_registers(&regs, &merge, &load, {}, {});
  EXPECT_EQ(regs[52], 0x00090017u);
  EXPECT_EQ(regs[53], 0x80400301u);
  EXPECT_EQ(regs[1], 0u);

  RegisterBlock preset(64, 0xFFFFFFFF);
  merge.is_add = false;
  merge.not_first = true;
  write_merge_registers(&preset, &merge, &load, {}, {});
  EXPECT_EQ(preset[52], 0xFF09FFF3u | 0x80u);  // bit 2 (not an Add) and bit 3 clear
  EXPECT_EQ(preset[53], 0xFF470301u);          // bits 0-15 and 19 cleared, then the load
}

TEST(MergeRegisters, RefusesAMergeWithoutLoadAndWideValues) {
  RegisterBlock regs(64, 0);
  MergeFields merge;
  merge.not_first = false;
  EXPECT_THAT([&] { write_merge_registers(&regs, &merge, nullptr, {}, {}); }, ThrowsMessage<std::runtime_error>("Skip DMA load should not be null."));
  const hw::Component load = component(hw::Type::SKIP_DMA_LOAD, 3, 1, 0);
  merge.channel = 256;
  EXPECT_THAT([&] { write_merge_registers(&regs, &merge, &load, {}, {}); }, ThrowsMessage<std::runtime_error>(overflow_message(256, 8)));
  merge.channel = 1;
  const hw::Component far = component(hw::Type::SKIP_DMA_LOAD, 3, 1, 4);
  EXPECT_THAT([&] { write_merge_registers(&regs, &merge, &far, {}, {}); }, ThrowsMessage<std::runtime_error>(overflow_message(16, 4)));
}

TEST(MergeRegisters, DualOutput) {
  MergeFields merge;
  merge.dual_output = true;
  merge.dual_output_target = 12;
  const hw::Component load = component(hw::Type::SKIP_DMA_LOAD, 1, 1, 0);
  const std::vector<hw::Component> nps{component(hw::Type::CNP2, 3, 1, 0), component(hw::Type::CNP2, 2, 1, 1)};

  RegisterBlock one(64, 0);
  write_merge_registers(&one, &merge, &load, nps, {component(hw::Type::SKIP_DMA_STORE, 5, 1, 1)});
  EXPECT_EQ(one[1], 0x80000000u);
  EXPECT_EQ(one[47], 0x05020000u);
  EXPECT_EQ(one[48], 0x0C210501u);

  RegisterBlock two(64, 0);
  write_merge_registers(&two, &merge, &load, nps,
                        {component(hw::Type::SKIP_DMA_STORE, 6, 2, 3), component(hw::Type::SKIP_DMA_STORE, 4, 1, 0)});
  EXPECT_EQ(two[47], 0x06020000u);
  EXPECT_EQ(two[48], 0x0C800604u);

  RegisterBlock none(64, 0);
  EXPECT_THAT([&] { write_merge_registers(&none, &merge, &load, nps, {}); }, ThrowsMessage<std::runtime_error>("A dual output needs a skip DMA store."));
}

TEST(MergeRegisters, FromTheMappingRecord) {
  auto info = std::make_unique<MergeLayerMapInfo>();
  info->is_add = true;
  info->channel = 9;
  info->not_first = false;
  const hw::Component load = component(hw::Type::SKIP_DMA_LOAD, 3, 1, 2);
  RegisterBlock regs(64, 0);
  format_cnp_tnp_common_config_registers(&regs, sample_split(), 3, 2, ActivationType::ReLU, 16, 8, 8,
                                         std::vector<hw::Component>(4), false, false, 8, 4, info, &load, {}, true,
                                         true);
  EXPECT_EQ(regs[52], 0x00090017u);
  EXPECT_EQ(regs[3], 0x0004A0B3u);
  RegisterBlock without(64, 0);
  format_cnp_tnp_common_config_registers(&without, sample_split(), 3, 2, ActivationType::ReLU, 16, 8, 8,
                                         std::vector<hw::Component>(4), false, false, 8, 4, info, &load, {}, true,
                                         false);
  EXPECT_EQ(without[52], 0u);
}

TEST(ColumnRange, ListsAndTheHrc) {
  EXPECT_EQ(column_range({component(hw::Type::HRC, 7, 7, 0)}), (std::pair<uint8_t, uint8_t>{1, 1}));
  EXPECT_EQ(column_range({component(hw::Type::CNP1, 7, 7, 0)}), (std::pair<uint8_t, uint8_t>{7, 7}));
  EXPECT_EQ(column_range({component(hw::Type::CNP1, 4, 1, 0), component(hw::Type::HRC, 0, 0, 0),
                          component(hw::Type::CNP1, 9, 1, 0)}),
            (std::pair<uint8_t, uint8_t>{0, 9}));
  EXPECT_THROW(column_range({}), std::runtime_error);
}

// ---- Variables

TEST(Variables, FirstGroupFields) {
  const auto scales = make_vector<uint8_t>(TensorType::uint8, {0xAB, 1});
  const auto bias = make_vector<int8_t>(TensorType::int8, {-2, 3});
  const auto bias_shift = make_vector<uint8_t>(TensorType::uint8, {31, 0});
  const auto out_shift = make_vector<int8_t>(TensorType::int8, {-1, -32});
  const auto max_shift = make_vector<uint8_t>(TensorType::uint8, {5, 0});
  const auto words = format_cnp_tnp_variables(nullptr, max_shift.get(), nullptr, nullptr, out_shift.get(),
                                              bias_shift.get(), bias.get(), scales.get(), 0, 2);
  EXPECT_EQ(words, (std::vector<uint32_t>{0x2FFFFEAB, 0, 0x04000301, 0}));
}

TEST(Variables, ActivationGroupWinsOnSharedBits) {
  const auto max_shift = make_vector<uint8_t>(TensorType::uint8, {5});
  const auto act_shift = make_vector<int8_t>(TensorType::int8, {-3});
  const auto act_scales = make_vector<uint8_t>(TensorType::uint8, {0x81});
  const auto max_value = make_vector<uint8_t>(TensorType::uint8, {0x40});
  EXPECT_EQ(format_cnp_tnp_variables(nullptr, max_shift.get(), act_shift.get(), act_scales.get(), nullptr, nullptr,
                                     nullptr, nullptr, 0, 1),
            (std::vector<uint32_t>{0xE8000000, 0x103}));
  EXPECT_EQ(format_cnp_tnp_variables(max_value.get(), max_shift.get(), act_shift.get(), act_scales.get(), nullptr,
                                     nullptr, nullptr, nullptr, 0, 1),
            (std::vector<uint32_t>{0xE8000000, 0x140}));
  EXPECT_EQ(format_cnp_tnp_variables(max_value.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0,
                                     1),
            (std::vector<uint32_t>{0, 0x40}));
}

TEST(Variables, ChannelRangeAndRefusals) {
  const auto out_shift = make_vector<int8_t>(TensorType::int8, {0, 31, -32});
  EXPECT_EQ(format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, out_shift.get(), nullptr, nullptr, nullptr, 1,
                                     2),
            (std::vector<uint32_t>{0x03E00000, 0, 0x04000000, 0}));
  EXPECT_THAT([&] {
        format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, out_shift.get(), nullptr, nullptr, nullptr, 2, 2);
      }, ThrowsMessage<std::runtime_error>("Coordinates are out-of-range (linear index 3, tensor size 3)"));
  const auto too_big = make_vector<int8_t>(TensorType::int8, {32});
  EXPECT_THAT([&] { format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, too_big.get(), nullptr, nullptr, nullptr, 0, 1); }, ThrowsMessage<std::runtime_error>(signed_message(32, 6)));
  EXPECT_THAT([&] { format_cnp_tnp_variables(nullptr, nullptr, too_big.get(), nullptr, nullptr, nullptr, nullptr, nullptr, 0, 1); }, ThrowsMessage<std::runtime_error>(signed_message(32, 6)));
  const auto wide_shift = make_vector<uint8_t>(TensorType::uint8, {32});
  EXPECT_THAT([&] { format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, nullptr, wide_shift.get(), nullptr, nullptr, 0, 1); }, ThrowsMessage<std::runtime_error>(overflow_message(32, 5)));
  EXPECT_THAT([&] { format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, wide_shift.get(), nullptr, 0, 1); }, ThrowsMessage<std::runtime_error>("Wrong requested type a for a tensor of type uint8"));
  EXPECT_TRUE(format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 5, 0)
                  .empty());
}

TEST(InputShiftSize, EightShiftsPerWord) {
  for (auto [n, words] : std::vector<std::pair<size_t, uint32_t>>{{1, 1}, {8, 1}, {9, 2}, {2048, 256}, {2049, 257}}) {
    const auto t = make_vector<uint8_t>(TensorType::uint8, std::vector<uint8_t>(n, 0));
    EXPECT_EQ(cnp_tnp_input_shift_24b_size(*t), words) << n;
  }
}

}  // namespace
}  // namespace ovrix::v2
