// Memory layouts of v2 dense layers: input memory, neuron blocks, input-shift words and packed FNP RAM.
#include "backends/v2/fnp_format.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/v2/shift_lut.h"
#include "engine/dma.h"
#include "support/v2_helpers.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::FakeGraph;
using testing::FakeLayer;
using testing::make_matrix;
using testing::make_tensor;
using testing::make_vector;

constexpr InputPadding FLAT = INPUT_PADDING_FLAT;
constexpr InputPadding PACKED = INPUT_PADDING_PACKED_ROWS;
constexpr InputPadding ALIGNED = INPUT_PADDING_ALIGNED_ROWS;

// ---- Sizes

struct SizeCase {
  Shape dim;
  InputPadding mode;
  uint8_t input_bits;
  uint8_t weight_bits;
  uint32_t fpksram;
  uint32_t neuron;
};

class FnpSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(FnpSizes, InputMemoryAndNeuronBlock) {
  const SizeCase& c = GetParam();
  EXPECT_EQ(get_fpksram_size(c.dim[1], c.dim[0], c.dim[2], c.input_bits, c.mode), c.fpksram);
  EXPECT_EQ(get_neuron_word_size(c.dim, c.mode, c.input_bits, c.weight_bits), c.neuron);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FnpSizes,
    ::testing::Values(
        // Flat: every input value, packed.
        SizeCase{Shape{1, 1, 100}, FLAT, 8, 4, 25, 15},   // ceil(400 / 32) + 2
        SizeCase{Shape{1, 1, 100}, FLAT, 4, 4, 13, 15},
        SizeCase{Shape{1, 1, 2048}, FLAT, 8, 8, 512, 514},
        // A flat layout of an unflattened input still counts every value (3 x 2 x 4 = 24).
        SizeCase{Shape{3, 2, 4}, FLAT, 8, 8, 6, 8},
        // Packed rows: rows of ceil(bits x d0 / 8) bytes; slots padded per row and per group.
        SizeCase{Shape{3, 2, 3}, PACKED, 4, 4, 4, 6},     // rows of 2 bytes; 16 slots of 4 bits per group
        SizeCase{Shape{3, 2, 1}, PACKED, 8, 4, 2, 3},     // 3 slots + 1 of group padding, 2 groups
        SizeCase{Shape{10, 1, 1}, PACKED, 4, 4, 2, 4},    // 5 bytes; 16 slots
        // Aligned rows: rows of d0 bytes padded to 4.
        SizeCase{Shape{5, 2, 3}, ALIGNED, 8, 8, 12, 14},  // the worked example
        SizeCase{Shape{4, 1, 512}, ALIGNED, 8, 8, 512, 514}));

TEST(FnpSizes, LayerWordSizeCountsTheNeurons) {
  const auto weights = make_matrix(30, 7, [](uint32_t, uint32_t) { return 1; });
  EXPECT_EQ(get_layer_word_size(*weights, 8, Shape{5, 2, 3}, ALIGNED, 8), 7u * 14u);
  EXPECT_THAT([] { get_layer_word_size(*make_vector<int8_t>(TensorType::int8, {1, 2}), 8, Shape{1, 1, 2}, FLAT, 8); }, ThrowsMessage<std::invalid_argument>("Dense weights must have 2 dimensions (input, neuron), not 1."));
}

TEST(FnpSizes, InputShift24BitWords) {
  const auto shifts = make_vector<uint8_t>(TensorType::uint8, std::vector<uint8_t>(30, 1));
  EXPECT_EQ(fnp_input_shift_24b_size(*shifts, Shape{5, 2, 3}, FLAT, 8), 4u);     // ceil(30 / 8)
  EXPECT_EQ(fnp_input_shift_24b_size(*shifts, Shape{5, 2, 3}, ALIGNED, 8), 6u);  // 24 bytes a group, 2 groups
  EXPECT_EQ(fnp_input_shift_24b_size(*shifts, Shape{3, 2, 3}, PACKED, 4), 4u);   // (2 x 3 + 3) / 4 = 2 words a group
  EXPECT_EQ(fnp_input_shift_24b_size(*shifts, Shape{3, 2, 3}, PACKED, 8), 3u);   // (3 x 3 + 3) / 4 = 3 words
}

TEST(FnpSizes, EveryLayoutFunctionRefusesAnUnknownMode) {
  const auto weights = make_matrix(4, 1, [](uint32_t, uint32_t) { return 1; });
  const auto shifts = make_vector<uint8_t>(TensorType::uint8, {1, 2, 3, 4});
  for (InputPadding mode : {INPUT_PADDING_NONE, static_cast<InputPadding>(4)}) {
    const Shape dim{2, 2, 1};
    EXPECT_THAT([&] { get_fpksram_size(2, 2, 1, 8, mode); }, ThrowsMessage<std::runtime_error>("Unsupported padding."));
    EXPECT_THAT([&] { get_neuron_word_size(dim, mode, 8, 8); }, ThrowsMessage<std::runtime_error>("Unsupported padding."));
    EXPECT_THAT([&] { get_layer_word_size(*weights, 8, dim, mode, 8); }, ThrowsMessage<std::runtime_error>("Unsupported padding."));
    EXPECT_THAT([&] { format_input_shift_fnp(*shifts, dim, mode, 8); }, ThrowsMessage<std::runtime_error>("Unsupported padding."));
    EXPECT_THAT([&] { fnp_input_shift_24b_size(*shifts, dim, mode, 8); }, ThrowsMessage<std::runtime_error>("Unsupported padding."));
  }
}

TEST(FnpSizes, RowLayoutsRefuseInputWidthsTheyCannotHold) {
  EXPECT_THAT([] { get_neuron_word_size(Shape{3, 1, 1}, PACKED, 0, 4); }, ThrowsMessage<std::invalid_argument>("The packed-rows FNP input layout cannot hold 0-bit input values."));
  EXPECT_THAT([] { get_neuron_word_size(Shape{3, 1, 1}, PACKED, 16, 4); }, ThrowsMessage<std::invalid_argument>("The packed-rows FNP input layout cannot hold 16-bit input values."));
  const auto shifts = make_vector<uint8_t>(TensorType::uint8, {1, 2, 3});
  EXPECT_THAT([&] { format_input_shift_fnp(*shifts, Shape{3, 1, 1}, ALIGNED, 4); }, ThrowsMessage<std::invalid_argument>("The aligned-rows FNP input layout needs 8-bit input values, not 4-bit."));
}

// ---- Input dimensions, input size, RAM size of a layer

class DenseLayerTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeLayer> dense(const Shape& input, uint32_t neurons, uint8_t weight_bits = 8) {
    auto l = g_.add("dense", LayerType::Dense1D, hw::TargetKind::FNP);
    l->inputs = {input};
    l->output = Shape{1, 1, neurons};
    l->set("weights_bits", weight_bits);
    const uint32_t n = input[0] * input[1] * input[2];
    l->set_variable("weights", make_matrix(n, neurons, [](uint32_t i, uint32_t k) { return int(i + k); }));
    return l;
  }
  std::shared_ptr<FakeLayer> cnp(const std::string& name) { return g_.add(name, LayerType::Conv2D, hw::TargetKind::CNP); }
  FakeGraph g_;
};

TEST_F(DenseLayerTest, InputDimensionsFlatOrAsGiven) {
  auto l = dense(Shape{5, 2, 3}, 2);
  EXPECT_EQ(get_fnp_input_dim(*l, false), (Shape{5, 2, 3}));
  EXPECT_EQ(get_fnp_input_dim(*l, true), (Shape{1, 1, 30}));
  l->inputs = {Shape{0, 2, 3}};
  EXPECT_THAT([&] { get_fnp_input_dim(*l, true); }, ThrowsMessage<std::runtime_error>("Cannot have a shape with dimension 2 set to 0"));
}

TEST_F(DenseLayerTest, InputSizeFollowsTheLayoutOfTheInbound) {
  auto l = dense(Shape{5, 2, 3}, 2);
  EXPECT_EQ(get_fnp_input_size(*l, true), 8u);   // flat: 30 bytes
  testing::connect(cnp("conv"), l);
  EXPECT_EQ(get_fnp_input_size(*l, false), 12u);  // aligned rows after a CNP
  EXPECT_EQ(get_fnp_input_size(*l, true), 8u);
}

TEST_F(DenseLayerTest, SramSizeIsPaddedForTheExtendedBlockFormat) {
  auto small = dense(Shape{1, 1, 1000}, 16);
  EXPECT_EQ(get_fnp_sram_size(*small), 16u * 252u);  // 4032 words: a normal block
  auto large = dense(Shape{1, 1, 1000}, 17);
  EXPECT_EQ(get_fnp_sram_size(*large), 4288u);       // 4284 words rounded up to 16
  large->vars->tensors.erase("weights");
  EXPECT_THAT([&] { get_fnp_sram_size(*large); }, ThrowsMessage<std::runtime_error>("Layer 'dense' has no variable \"weights\""));
}

// ---- Input-shift words

TEST(FnpInputShift, FlatIsTheShiftBlockOfEveryValue) {
  const auto shifts = make_vector<uint8_t>(TensorType::uint8, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  EXPECT_EQ(format_input_shift_fnp(*shifts, Shape{1, 1, 10}, FLAT, 8), format_input_shift(*shifts, 0, 0));
  EXPECT_EQ(format_input_shift_fnp(*shifts, Shape{1, 1, 10}, FLAT, 8),
            (std::vector<uint32_t>{0x04030201, 0x08070605, 0x00000A09, 0}));
}

TEST(FnpInputShift, AlignedRowsPadEveryRowToFourBytes) {
  // Shift of input (x, y, c) = its flat index + 1 = x * 6 + y * 3 + c + 1.
  const auto shifts = make_tensor<uint8_t>(TensorType::uint8, Shape{30}, [](size_t k) { return uint8_t(k + 1); });
  EXPECT_EQ(format_input_shift_fnp(*shifts, Shape{5, 2, 3}, ALIGNED, 8),
            (std::vector<uint32_t>{0x130D0701, 0x00000019, 0x140E0802, 0x0000001A, 0x150F0903, 0x0000001B,
                                   0x16100A04, 0x0000001C, 0x17110B05, 0x0000001D, 0x18120C06, 0x0000001E}));
}

TEST(FnpInputShift, PackedRowsPadRowsAndGroups) {
  // 4-bit inputs of width 3: one slot of row padding; groups of 12 slots padded to 16.
  const auto shifts = make_tensor<uint8_t>(TensorType::uint8, Shape{18}, [](size_t k) { return uint8_t(k * 7 % 8); });
  EXPECT_EQ(format_input_shift_fnp(*shifts, Shape{3, 2, 3}, PACKED, 4),
            (std::vector<uint32_t>{0x00040200, 0x00030107, 0x00020006, 0x00000000, 0x00010705, 0x00000604,
                                   0x00070503, 0x00000000}));
  // 8-bit inputs, one channel: groups of 3 slots padded to 4, and an even number of words.
  const auto six = make_vector<uint8_t>(TensorType::uint8, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(format_input_shift_fnp(*six, Shape{3, 2, 1}, PACKED, 8), (std::vector<uint32_t>{0x00050301, 0x00060402}));
}

TEST(FnpInputShift, ReadsAreBoundsChecked) {
  const auto shifts = make_vector<uint8_t>(TensorType::uint8, {1, 2, 3, 4, 5});
  EXPECT_THAT([&] { format_input_shift_fnp(*shifts, Shape{3, 2, 1}, PACKED, 8); }, ThrowsMessage<std::invalid_argument>("The input shift holds 5 values for an FNP input of 6."));
  const auto wrong = make_vector<int8_t>(TensorType::int8, {1, 2, 3, 4, 5, 6});
  EXPECT_THAT([&] { format_input_shift_fnp(*wrong, Shape{3, 2, 1}, PACKED, 8); }, ThrowsMessage<std::runtime_error>(std::string("Wrong requested type ") + typeid(uint8_t).name() +
                                                  " for a tensor of type int8"));
}

// ---- FNP RAM

struct RamVariables {
  std::vector<int8_t> bias;
  std::vector<uint8_t> bias_shift;
  std::vector<uint8_t> max_value;        // empty: absent
  std::vector<uint8_t> max_value_shift;  // empty: absent
  std::vector<uint8_t> output_scales;
  std::vector<int8_t> output_shift;
};

void set_ram_variables(FakeLayer* l, const RamVariables& v) {
  l->set_variable("bias", make_vector<int8_t>(TensorType::int8, v.bias));
  l->set_variable("bias_shift", make_vector<uint8_t>(TensorType::uint8, v.bias_shift));
  if (!v.max_value.empty()) l->set_variable("max_value", make_vector<uint8_t>(TensorType::uint8, v.max_value));
  if (!v.max_value_shift.empty())
    l->set_variable("max_value_shift", make_vector<uint8_t>(TensorType::uint8, v.max_value_shift));
  l->set_variable("output_scales", make_vector<uint8_t>(TensorType::uint8, v.output_scales));
  l->set_variable("output_shift", make_vector<int8_t>(TensorType::int8, v.output_shift));
}

struct RamCase {
  const char* name;
  Shape input;
  InputPadding mode;
  uint8_t input_bits;
  uint8_t weight_bits;
  int (*weight)(uint32_t input, uint32_t neuron);
  RamVariables vars;
  std::vector<uint32_t> words;
};

class FnpRam : public ::testing::TestWithParam<RamCase> {};

TEST_P(FnpRam, GoldenWords) {
  const RamCase& c = GetParam();
  FakeGraph g;
  auto l = g.add("dense", LayerType::Dense1D, hw::TargetKind::FNP);
  l->inputs = {c.input};
  const uint32_t n = c.input[0] * c.input[1] * c.input[2];
  const auto neurons = static_cast<uint32_t>(c.vars.bias.size());
  l->set_variable("weights", make_matrix(n, neurons, [&](uint32_t i, uint32_t k) { return c.weight(i, k); }));
  set_ram_variables(l.get(), c.vars);
  EXPECT_EQ(format_fnp_ram(*l, false, c.mode, c.input_bits, c.weight_bits), c.words);

  // Weights stored in the reversed layout are read through their strides: same RAM.
  auto reversed = Dense::create(TensorType::int8, Shape{n, neurons}, Dense::Layout::Reversed);
  for (uint32_t i = 0; i < n; ++i)
    for (uint32_t k = 0; k < neurons; ++k) reversed->at_mut<int8_t>({i, k}) = static_cast<int8_t>(c.weight(i, k));
  l->set_variable("weights", std::move(reversed));
  EXPECT_EQ(format_fnp_ram(*l, false, c.mode, c.input_bits, c.weight_bits), c.words);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FnpRam,
    ::testing::Values(
        // FNP3 block after a CNP: rows of 5 weights padded to 8 bytes; clamp fields in the header.
        RamCase{"aligned_8bit",
                Shape{5, 2, 3},
                ALIGNED,
                8,
                8,
                [](uint32_t i, uint32_t k) { return int(i + 1) * (k == 0 ? 1 : -1); },
                {{-3, 5}, {2, 7}, {200, 17}, {3, 31}, {9, 255}, {-1, 4}},
                {0x03C802FD, 0x0000FF09, 0x130D0701, 0x00000019, 0x140E0802, 0x0000001A, 0x150F0903,
                 0x0000001B, 0x16100A04, 0x0000001C, 0x17110B05, 0x0000001D, 0x18120C06, 0x0000001E,
                 0x1F110705, 0x000004FF, 0xEDF3F9FF, 0x000000E7, 0xECF2F8FE, 0x000000E6, 0xEBF1F7FD,
                 0x000000E5, 0xEAF0F6FC, 0x000000E4, 0xE9EFF5FB, 0x000000E3, 0xE8EEF4FA, 0x000000E2}},
        // FNP2 filters after a CNP, 4-bit: rows of 3 nibbles and one empty slot, groups padded to a word.
        RamCase{"packed_4bit",
                Shape{3, 2, 3},
                PACKED,
                4,
                4,
                [](uint32_t i, uint32_t k) { return int((i * 3 + k) % 16) - 8; },
                {{1, -1}, {0, 31}, {}, {}, {1, 2}, {-32, 31}},
                {0x00000001, 0x0000E001, 0x0FDB0CA8, 0x0000020E, 0x08640531, 0x00000B97, 0x00001FFF,
                 0x00001F02, 0x00EC0DB9, 0x0000031F, 0x09750642, 0x00000CA8}},
        // 8-bit inputs, 4-bit weights: one empty slot closes each group of 3.
        RamCase{"packed_8bit_inputs_4bit_weights",
                Shape{3, 2, 1},
                PACKED,
                8,
                4,
                [](uint32_t i, uint32_t) { return int(i) - 3; },
                {{0}, {0}, {}, {}, {0}, {0}},
                {0x00000000, 0x00000000, 0x020E01FD}},
        // Flat, 4-bit weights; the clamp value alone is written without its shift.
        RamCase{"flat_4bit",
                Shape{1, 1, 10},
                FLAT,
                8,
                4,
                [](uint32_t i, uint32_t k) { return int(i) - 5 + int(k); },
                {{127, -128}, {1, 2}, {5, 6}, {}, {3, 4}, {0, -2}},
                {0x0005017F, 0x00000003, 0x210FEDCB, 0x00000043, 0x00060280, 0x0000FE04, 0x3210FEDC,
                 0x00000054}},
        // A flat layout of an unflattened input keeps all its 12 weights.
        RamCase{"flat_unflattened_input",
                Shape{2, 2, 3},
                FLAT,
                8,
                8,
                [](uint32_t i, uint32_t) { return int(i) + 1; },
                {{0}, {0}, {}, {}, {0}, {0}},
                {0x00000000, 0x00000000, 0x04030201, 0x08070605, 0x0C0B0A09}}),
    [](const ::testing::TestParamInfo<RamCase>& info) { return std::string(info.param.name); });

class FnpRamRefusals : public DenseLayerTest {};

TEST_F(FnpRamRefusals, MissingShortOrWronglyTypedVariables) {
  auto l = dense(Shape{1, 1, 4}, 3);
  set_ram_variables(l.get(), {{1, 2, 3}, {0, 0, 0}, {}, {}, {1, 1, 1}, {0, 0, 0}});
  EXPECT_EQ(format_fnp_ram(*l, false, FLAT, 8, 8).size(), 9u);

  l->vars->tensors.erase("bias_shift");
  EXPECT_THAT([&] { format_fnp_ram(*l, false, FLAT, 8, 8); }, ThrowsMessage<std::runtime_error>("Layer 'dense' has no variable \"bias_shift\""));
  l->set_variable("bias_shift", make_vector<uint8_t>(TensorType::uint8, {0, 0}));
  EXPECT_THAT([&] { format_fnp_ram(*l, false, FLAT, 8, 8); }, ThrowsMessage<std::invalid_argument>("Layer 'dense' has 2 values of \"bias_shift\" for 3 neurons."));
  l->set_variable("bias_shift", make_vector<uint8_t>(TensorType::uint8, {0, 0, 0}));
  l->set_variable("weights", make_matrix(3, 3, [](uint32_t, uint32_t) { return 1; }));
  EXPECT_THAT([&] { format_fnp_ram(*l, false, FLAT, 8, 8); }, ThrowsMessage<std::invalid_argument>("Layer 'dense' has weights for 3 input values, its FNP input has 4."));
  l->set_variable("weights", make_matrix(4, 3, [](uint32_t, uint32_t) { return 1; }, TensorType::uint8));
  EXPECT_THAT([&] { format_fnp_ram(*l, false, FLAT, 8, 8); }, ThrowsMessage<std::runtime_error>(std::string("Wrong requested type ") + typeid(int8_t).name() +
                                                  " for a tensor of type uint8"));
  l->set_variable("weights", make_matrix(4, 3, [](uint32_t, uint32_t) { return 1; }));
  EXPECT_THAT([&] { format_fnp_ram(*l, false, FLAT, 8, 3); }, ThrowsMessage<std::invalid_argument>("Dense weights of 3 bits cannot be packed."));
}

}  // namespace
}  // namespace ovrix::v2
