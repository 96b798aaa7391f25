// Recording of v2 buffered temporal convolutions (standard and depthwise) on TNP-B NPs: weight blocks,
// register words, block order, per-NP input shifts, refusals and sizes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "backends/v2/buffer_temp_conv_recording.h"
#include "backends/v2/cnp_tnp_config.h"
#include "backends/v2/compatibility_checker.h"
#include "backends/v2/default_regs.h"
#include "backends/v2/depthwise_buffer_temp_conv_recording.h"
#include "backends/v2/layer_recorder.h"
#include "backends/v2/memory_sizer.h"
#include "backends/v2/shift_lut.h"
#include "engine/dma.h"
#include "engine/model.h"
#include "support/v2_helpers.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::Block;
using testing::blocks_of;
using testing::component;
using testing::FakeDevice;
using testing::FakeGraph;
using testing::FakeLayer;
using testing::make_taps;
using testing::make_tensor;
using testing::make_vector;
using testing::mapping_of_nps;
using testing::np_component;
using testing::overflow_message;
using testing::v2_mesh;

// Compares two register blocks word by word, naming the words that differ.
void expect_block(const std::vector<uint32_t>& actual, const std::vector<uint32_t>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i)
    EXPECT_EQ(actual[i], expected[i]) << "word " << i << ": 0x" << std::hex << actual[i] << " instead of 0x" << expected[i];
}

uint8_t byte_of(const std::vector<uint32_t>& words, uint64_t b) { return static_cast<uint8_t>(words.at(b / 4) >> (8 * (b % 4))); }

// ---- Sizes

TEST(TnpBSizes, ChannelContainers) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 0}, {1, 2}, {8, 2}, {24, 2}, {25, 4}, {48, 4}, {49, 6}, {2048, 172}};
  for (const auto& [filters, words] : cases) EXPECT_EQ(buffer_temp_conv_ch_cont_100b_size(filters), words) << filters;
  EXPECT_EQ(buffer_temp_conv_tnp_formatted_weight_100b_size(3, 30, 16), 256u);  // 4 x 16 x 4
  EXPECT_EQ(buffer_temp_conv_tnp_formatted_weight_100b_size(0, 24, 5), 10u);
  EXPECT_EQ(tnp_b_buffer_temp_conv_formatted_weight_32b_size(3, 4), 24u);
  EXPECT_EQ(tnp_b_buffer_temp_conv_formatted_weight_32b_size(24, 682), 4092u);
  EXPECT_EQ(tnp_b_buffer_temp_conv_formatted_weight_32b_size(24, 683), 4112u);  // 4098 in the extended format
  EXPECT_EQ(depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(3, 10), 40u);
  EXPECT_EQ(depthwise_buffer_temp_conv_formatted_weight_32b_size(3, 2), 24u);
  EXPECT_EQ(depthwise_buffer_temp_conv_formatted_weight_32b_size(1364, 1), 4095u);
  EXPECT_EQ(depthwise_buffer_temp_conv_formatted_weight_32b_size(1365, 1), 4112u);
}

// ---- Standard weight blocks

TEST(TnpBWeights, WorkedExampleInterleavesTheTaps) {
  // fifo_size 2, K = 4 rows (R = 2), filters 0 to 2.
  const auto w = make_taps(4, 3, [](uint32_t k, uint32_t f) { return int(k * 16 + f + 1) * (f == 1 ? -1 : 1); });
  const std::vector<uint32_t> block = format_tnp_b_buffer_temp_conv_weights(*w, 2, 0, 3);
  std::vector<uint32_t> expected(24, 0);
  expected[0] = 0x0003FE01;   // tensor row 0: 1, -2, 3
  expected[6] = 0x0023DE21;   // tensor row 2: 33, -34, 35
  expected[12] = 0x0013EE11;  // tensor row 1
  expected[18] = 0x0033CE31;  // tensor row 3
  EXPECT_EQ(block, expected);
}

TEST(TnpBWeights, AFilterRangeOfOneNp) {
  // Filters 25 to 49 of 60: 25 filters take containers of 4 weight words, bytes 25 to 47 stay 0.
  const auto w = make_taps(3, 60, [](uint32_t k, uint32_t f) { return int(k * 60 + f) % 127 + 1; });
  const std::vector<uint32_t> block = format_tnp_b_buffer_temp_conv_weights(*w, 3, 25, 25);
  ASSERT_EQ(block.size(), 3u * 12u);
  for (uint32_t row = 0; row < 3; ++row)  // R = 1: rows stay in order
    for (uint32_t b = 0; b < 48; ++b)
      EXPECT_EQ(byte_of(block, row * 48 + b), b < 25 ? uint8_t((row * 60 + 25 + b) % 127 + 1) : 0) << row << " " << b;
}

TEST(TnpBWeights, RowsBeyondTheLastWholeTapStayZero) {
  // K = 5, fifo_size 2: R = 2; tensor row 4 is not read and block row 4 stays 0.
  const auto w = make_taps(5, 1, [](uint32_t k, uint32_t) { return int(k) + 1; });
  const std::vector<uint32_t> block = format_tnp_b_buffer_temp_conv_weights(*w, 2, 0, 1);
  ASSERT_EQ(block.size(), 30u);
  const uint8_t firsts[] = {1, 3, 2, 4, 0};
  for (uint32_t row = 0; row < 5; ++row) EXPECT_EQ(block[row * 6], firsts[row]) << row;
}

TEST(TnpBWeights, ExtendedBlocksArePaddedWithZeros) {
  const auto w = make_taps(683, 24, [](uint32_t, uint32_t) { return -1; });
  const std::vector<uint32_t> block = format_tnp_b_buffer_temp_conv_weights(*w, 683, 0, 24);
  ASSERT_EQ(block.size(), 4112u);
  EXPECT_EQ(block[4097], 0xFFFFFFFFu);
  for (size_t k = 4098; k < block.size(); ++k) EXPECT_EQ(block[k], 0u) << k;
}

TEST(TnpBWeights, Refusals) {
  const auto w = make_taps(4, 3, [](uint32_t, uint32_t) { return 1; });
  EXPECT_THAT([&] { format_tnp_b_buffer_temp_conv_weights(*w, 0, 0, 3); }, ThrowsMessage<std::invalid_argument>("A buffered temporal convolution needs a fifo_size of at least 1."));
  EXPECT_THAT([&] { format_tnp_b_buffer_temp_conv_weights(*w, 2, 1, 3); }, ThrowsMessage<std::out_of_range>("Filters 1 to 4 (excluded) are beyond the 3 filters of the weights."));
  EXPECT_THAT([&] { format_tnp_b_depthwise_buffer_temp_conv_weights(*w, 3, 1); }, ThrowsMessage<std::out_of_range>("Filters 3 to 4 (excluded) are beyond the 3 filters of the weights."));
  const auto floats = Dense::create(TensorType::float32, Shape{1, 1, 4, 3});
  EXPECT_THAT([&] { format_tnp_b_buffer_temp_conv_weights(*floats, 2, 0, 3); }, ThrowsMessage<std::runtime_error>(std::string("Wrong requested type ") + typeid(int8_t).name() +
                                                  " for a tensor of type float32"));
  const auto flat = make_vector<int8_t>(TensorType::int8, {1, 2, 3});
  EXPECT_THAT([&] { format_tnp_b_buffer_temp_conv_weights(*flat, 1, 0, 1); }, ThrowsMessage<std::invalid_argument>("TNP-B weights must have 4 dimensions, not 1."));
  // No filter: an empty block.
  EXPECT_TRUE(format_tnp_b_buffer_temp_conv_weights(*w, 2, 0, 0).empty());
}

// ---- Depthwise weight blocks

TEST(TnpBDepthwiseWeights, ThreeTapsOfTwoChannels) {
  const auto w = make_taps(3, 5, [](uint32_t t, uint32_t c) { return int(c * 16 + t + 1); });
  const std::vector<uint32_t> block = format_tnp_b_depthwise_buffer_temp_conv_weights(*w, 2, 2);
  std::vector<uint32_t> expected(24, 0);
  expected[0] = 0x00232221;  // channel 2, taps 0 to 2
  expected[3] = 0x00333231;  // channel 3 at byte 12
  EXPECT_EQ(block, expected);
}

TEST(TnpBDepthwiseWeights, EmptyChannelsOrTapsGiveAZeroBlock) {
  const auto w = make_taps(3, 5, [](uint32_t, uint32_t) { return 9; });
  EXPECT_TRUE(format_tnp_b_depthwise_buffer_temp_conv_weights(*w, 0, 0).empty());
  const auto none = Dense::create(TensorType::int8, Shape{1, 1, 1, 4});
  const std::vector<uint32_t> zero = format_tnp_b_depthwise_buffer_temp_conv_weights(*none, 0, 4);
  EXPECT_EQ(zero, std::vector<uint32_t>(24, 0));
}

class TnpBDepthwiseTaps : public ::testing::TestWithParam<uint32_t> {};

// More taps than a weight word holds: every tap keeps its own byte, in planes of twelve.
TEST_P(TnpBDepthwiseTaps, NoTapIsLost) {
  const uint32_t taps = GetParam();
  const uint32_t channels = 5;
  const auto w = make_taps(taps, 7, [](uint32_t t, uint32_t c) { return int((t * 7 + c) % 254) - 126; });
  const std::vector<uint32_t> block = format_tnp_b_depthwise_buffer_temp_conv_weights(*w, 2, channels);
  ASSERT_EQ(block.size(), depthwise_buffer_temp_conv_formatted_weight_32b_size(taps, channels));
  std::set<uint64_t> used;
  for (uint32_t r = 0; r < channels; ++r)
    for (uint32_t t = 0; t < taps; ++t) {
      const uint64_t byte = 12ull * ((t / 12) * channels + r) + t % 12;
      EXPECT_EQ(static_cast<int8_t>(byte_of(block, byte)), int8_t(int(((t * 7 + r + 2) % 254)) - 126))
          << "tap " << t << " of channel " << r;
      EXPECT_TRUE(used.insert(byte).second);
    }
  // Nothing else is written.
  for (uint64_t b = 0; b < 4ull * block.size(); ++b)
    if (!used.count(b)) {
      EXPECT_EQ(byte_of(block, b), 0) << b;
    }
}

INSTANTIATE_TEST_SUITE_P(Taps, TnpBDepthwiseTaps, ::testing::Values(1u, 11u, 12u, 13u, 14u, 24u, 25u, 40u));

TEST(TnpBDepthwiseWeights, ThirteenTapsGolden) {
  // Channel r's taps 0 to 11 in weight word r, tap 12 in weight word 2 + r (the second plane).
  const auto w = make_taps(13, 2, [](uint32_t t, uint32_t c) { return int(c * 32 + t + 1); });
  const std::vector<uint32_t> block = format_tnp_b_depthwise_buffer_temp_conv_weights(*w, 0, 2);
  std::vector<uint32_t> expected(3 * 14 * 2, 0);
  expected[0] = 0x04030201;
  expected[1] = 0x08070605;
  expected[2] = 0x0C0B0A09;
  expected[3] = 0x24232221;
  expected[4] = 0x28272625;
  expected[5] = 0x2C2B2A29;
  expected[6] = 0x0000000D;
  expected[9] = 0x0000002D;
  EXPECT_EQ(block, expected);
}

// ---- Register blocks and records

const hw::Ident CNP_IN(2, 1, 0);
const hw::Ident CNP_OUT(4, 1, 0);
const hw::Ident TNP_A(3, 1, 0);
const hw::Ident TNP_B(3, 1, 2);
const hw::Ident LOAD(0, 3, 0, 1);
const hw::Ident STORE(0, 3, 1, 2);

class TnpBRecorderTest : public ::testing::Test {
 protected:
  TnpBRecorderTest() : device_(v2_mesh(2)) {}
  ~TnpBRecorderTest() override {
    if (layer_) layer_->set_mapping(nullptr);
  }

  // A layer of 8 x 6 x 16 8-bit inputs, fifo_size 2, on two TNP-B NPs splitting its 40 filters
  // (depthwise: its 16 channels, 10 and 6), with a skip-DMA load and store for its FIFO.
  void build(LayerType type, uint32_t fifo = 2) {
    const bool depthwise = type == LayerType::DepthwiseBufferTempConv;
    const uint32_t filters = depthwise ? 16 : 40;
    const uint32_t split = depthwise ? 10 : 24;
    layer_ = g_.add("btc", type, hw::TargetKind::TNP_B);
    layer_->inputs = {Shape{8, 6, 16}};
    layer_->output = Shape{8, 6, filters};
    layer_->activation_on = true;
    layer_->act = ActivationType::ReLU;
    layer_->depthwise = depthwise;
    layer_->set("fifo_size", static_cast<int>(fifo));
    layer_->set("activation", 1);
    layer_->set("weights_bits", 8);
    if (!depthwise) layer_->set("filters", static_cast<int>(filters));
    const uint32_t taps = fifo <= 4 ? fifo : 1;  // the register tests of large FIFOs need no weights
    const uint32_t rows = depthwise ? taps : taps * 16;
    layer_->set_variable("weights", make_taps(rows, filters, [](uint32_t k, uint32_t f) { return int(k * 3 + f) % 100 + 1; }));
    layer_->set_variable("input_shift", make_tensor<uint8_t>(TensorType::uint8, Shape{16},
                                                             [](size_t k) { return uint8_t(k % 8); }));
    layer_->set_variable("bias", make_tensor<int8_t>(TensorType::int8, Shape{filters}, [](size_t k) { return int8_t(k); }));
    layer_->set_variable("output_scales",
                         make_tensor<uint8_t>(TensorType::uint8, Shape{filters}, [](size_t k) { return uint8_t(k + 1); }));
    const Shape part{8, 6, 16};
    mapping_ = mapping_of_nps({np_component(hw::Type::TNP_B, TNP_A, 0, split, part, part, false),
                               np_component(hw::Type::TNP_B, TNP_B, split, filters - split, part, part, true)},
                              {component(hw::Type::CNP2, CNP_IN)}, {component(hw::Type::CNP2, CNP_OUT)}, 2);
    mapping_->output_index = 5;
    mapping_->tnp_b_with_skip_dma = true;
    mapping_->skipdma_loads = {component(hw::Type::SKIP_DMA_LOAD, LOAD)};
    mapping_->skipdma_stores = {component(hw::Type::SKIP_DMA_STORE, STORE)};
    layer_->set_mapping(mapping_);
  }

  std::unique_ptr<program::Record> record(bool registers_only = false, std::vector<hw::Ident> excluded = {},
                                          bool starts_pass = false, std::shared_ptr<Layer> next = nullptr) {
    if (layer_->fake_params.layer_type() == LayerType::BufferTempConv)
      return record_program_buffer_temp_conv_layer(device_, *layer_, std::move(next), starts_pass, false, excluded,
                                                   registers_only, false);
    return record_program_depthwise_buffer_temp_conv_layer(device_, *layer_, std::move(next), starts_pass, false,
                                                           excluded, registers_only, false);
  }

  FakeGraph g_;
  FakeDevice device_;
  std::shared_ptr<FakeLayer> layer_;
  std::shared_ptr<LayerMapping> mapping_;
};

// The words every TNP-B block of the layer above shares (NP A: filters 0 to 23, double buffer).
RegisterBlock expected_standard_a() {
  RegisterBlock r = default_np_regs(0, 2, false, false);
  r[1] = 0x10000020;   // TNP-B
  r[3] = 0x0202B0B3;   // NP number 2; 8-bit data and weights; ReLU; 2 NPs
  r[4] = 0x80000002;   // fifo_size 2
  r[8] = 0x00080006;   // partition 8 x 6
  r[10] = 0x00080006;  // window 8 x 6
  r[11] = 0x00002008;  // containers of 2 weight words, input container of 8
  r[20] = 0x10000000;  // window of 1
  r[21] = 0x00000010;  // 16 channels
  r[24] = 0x00000000;
  r[25] = 0x00090007;  // count terms of the 6 rows and 8 columns
  r[26] = 0x00180000;  // filters 0 to 23
  r[28] = 0x00100020;  // 16 channels rounded to 4, 32 words a row
  r[29] = 0x00030000;  // 3 groups of 8 filters
  r[30] = 0x00030202;  // fifo 2, 3 slots
  r[44] = 0xFF080008;
  r[45] = 0x05000404;  // towards column 4, position 5
  r[46] = 0x00000200;  // from columns 0 (skip DMA) to 2
  r[47] = 0x00000403;
  r[56] = 0x00030000;  // 192 words of input: 3 blocks of 64 (bits 16 to 24, over the defaults)
  return r;
}

TEST_F(TnpBRecorderTest, StandardRegisterWords) {
  build(LayerType::BufferTempConv);
  const RegisterMap regs = format_tnp_b_buffer_temp_conv_registers(*layer_, nullptr, false, false, {}, false, false);
  ASSERT_EQ(regs.size(), 2u);
  expect_block(regs.at(TNP_A), expected_standard_a());
  RegisterBlock b = expected_standard_a();
  b[1] = 0x10400020;   // single buffer
  b[26] = 0x00100018;  // filters 24 to 39
  b[29] = 0x00020000;
  b[56] = 0x00030100;  // upper pair of its node
  expect_block(regs.at(TNP_B), b);
}

TEST_F(TnpBRecorderTest, DepthwiseRegisterWords) {
  build(LayerType::DepthwiseBufferTempConv);
  const RegisterMap regs =
      format_tnp_b_depthwise_buffer_temp_conv_registers(*layer_, nullptr, false, false, {}, false, false);
  RegisterBlock a = expected_standard_a();
  a[3] = 0x0202B4B7;   // depthwise, channel groups
  a[11] = 0x00001008;  // one weight word a channel
  a[22] = 0x000A0000;  // channels 0 to 9
  a[26] = 0x000A0000;
  a[29] = 0x00010000;
  expect_block(regs.at(TNP_A), a);
  RegisterBlock b = a;
  b[1] = 0x10400020;
  b[22] = 0x0006000A;  // channels 10 to 15
  b[26] = 0x0006000A;
  b[56] = 0x00030100;
  expect_block(regs.at(TNP_B), b);

  // One NP holding every channel: no channel cut, whatever its first channel.
  (*mapping_->nps)[0].np->filters = 16;
  (*mapping_->nps)[0].np->start_neuron = 3;
  const RegisterBlock whole = format_tnp_b_depthwise_buffer_temp_conv_registers(*layer_, nullptr, false, false, {},
                                                                                false, false)
                                  .at(TNP_A);
  EXPECT_EQ(whole[3] & (1u << 10), 0u);
  EXPECT_EQ(whole[22], 0u);
}

TnpBValues tnp_b_values(uint32_t start, uint32_t filters, uint32_t input_channels) {
  TnpBValues v;
  v.fifo_size = 2;
  v.channels = 16;
  v.width = 8;
  v.height = 6;
  v.input_bits = 8;
  v.start_neuron = start;
  v.filters = filters;
  v.input_channels = input_channels;
  return v;
}

TEST(TnpBFields, DepthwiseChannelCutLimits) {
  RegisterBlock regs(64, 0);
  write_tnp_b_fields(&regs, tnp_b_values(4095, 1023, 5000), true);
  EXPECT_EQ(regs[22], 0x03FF0FFFu);
  EXPECT_EQ(regs[3], 0x00000404u);
  EXPECT_THAT([&] { write_tnp_b_fields(&regs, tnp_b_values(4096, 10, 5000), true); }, ThrowsMessage<std::runtime_error>(overflow_message(4096, 12)));
  EXPECT_THAT([&] { write_tnp_b_fields(&regs, tnp_b_values(0, 1024, 5000), true); }, ThrowsMessage<std::runtime_error>(overflow_message(1024, 10)));
  // Without a cut the channel range is not written, whatever it is.
  RegisterBlock whole(64, 0);
  write_tnp_b_fields(&whole, tnp_b_values(9000, 5000, 5000), true);
  EXPECT_EQ(whole[22], 0u);
  EXPECT_EQ(whole[3], 0x00000004u);
}

TEST(TnpBFields, FilterGroupsLimit) {
  RegisterBlock regs(64, 0);
  write_tnp_b_fields(&regs, tnp_b_values(0, 2040, 16), false);
  EXPECT_EQ(regs[29], 0x00FF0000u);
  EXPECT_EQ(regs[11], 0x0AA000u);  // containers of 170 weight words
  EXPECT_THAT([&] { write_tnp_b_fields(&regs, tnp_b_values(0, 2041, 16), false); }, ThrowsMessage<std::runtime_error>(overflow_message(256, 8)));
}

struct FifoCase {
  uint32_t fifo;
  std::string message;  // empty: accepted
  uint32_t word30 = 0;
};

class TnpBFifo : public TnpBRecorderTest, public ::testing::WithParamInterface<FifoCase> {};

TEST_P(TnpBFifo, FifoFields) {
  build(LayerType::BufferTempConv, GetParam().fifo);
  const auto format = [&] { return format_tnp_b_buffer_temp_conv_registers(*layer_, nullptr, false, false, {}, false, false); };
  if (GetParam().message.empty()) {
    const RegisterMap regs = format();
    EXPECT_EQ(regs.at(TNP_A)[30], GetParam().word30);
    EXPECT_EQ(regs.at(TNP_A)[4] & 0xFFFF, GetParam().fifo);
  } else {
    EXPECT_THAT(format, ThrowsMessage<std::runtime_error>(GetParam().message));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TnpBFifo,
                         ::testing::Values(FifoCase{1, "", 0x00020102}, FifoCase{14, "", 0x000F0E02},
                                           FifoCase{15, overflow_message(16, 4)}, FifoCase{16, overflow_message(16, 4)},
                                           FifoCase{65535, overflow_message(65535, 4)},
                                           FifoCase{65536, overflow_message(65536, 16)}));

TEST_F(TnpBRecorderTest, StandardRecordInOrder) {
  build(LayerType::BufferTempConv);
  const std::vector<Block> blocks = blocks_of(*record());
  // The skip-DMA channels come first: the load engine's two resets, then the store's and load's writes.
  ASSERT_GE(blocks.size(), 10u);
  EXPECT_EQ(blocks[0].ident, LOAD);
  EXPECT_EQ(blocks[0].target, dma::Target::SkipDmaRegisters);
  EXPECT_EQ(blocks[0].parameter, 0x0100);
  EXPECT_EQ(blocks[0].words, (std::vector<uint32_t>{0x83000601}));
  EXPECT_EQ(blocks[1].words, (std::vector<uint32_t>{0x83000601}));
  const size_t first_np = blocks.size() - 8;
  for (size_t k = 0; k < first_np; ++k) EXPECT_EQ(blocks[k].target, dma::Target::SkipDmaRegisters) << k;

  const std::vector<uint32_t> shifts = {0x03020100, 0x07060504, 0x03020100, 0x07060504};
  const auto weights = layer_->vars->get("weights");
  const std::pair<hw::Ident, dma::Target> expected[] = {
      {TNP_A, dma::Target::NpRegisters}, {TNP_A, dma::Target::Weights}, {TNP_A, dma::Target::InputShift},
      {TNP_A, dma::Target::Variables},   {TNP_B, dma::Target::NpRegisters}, {TNP_B, dma::Target::Weights},
      {TNP_B, dma::Target::InputShift},  {TNP_B, dma::Target::Variables}};
  for (size_t k = 0; k < 8; ++k) {
    EXPECT_EQ(blocks[first_np + k].ident, expected[k].first) << k;
    EXPECT_EQ(blocks[first_np + k].target, expected[k].second) << k;
    EXPECT_EQ(blocks[first_np + k].parameter, 0) << k;
  }
  expect_block(blocks[first_np].words, expected_standard_a());
  EXPECT_EQ(blocks[first_np + 1].words, format_tnp_b_buffer_temp_conv_weights(*weights, 2, 0, 24));
  EXPECT_EQ(blocks[first_np + 5].words, format_tnp_b_buffer_temp_conv_weights(*weights, 2, 24, 16));
  EXPECT_EQ(blocks[first_np + 1].words.size(), 32u * 6u);  // 32 rows of 2 weight words
  EXPECT_EQ(blocks[first_np + 2].words, shifts);          // every NP gets every channel's shift
  EXPECT_EQ(blocks[first_np + 6].words, shifts);
  ASSERT_EQ(blocks[first_np + 3].words.size(), 48u);
  EXPECT_EQ(blocks[first_np + 3].words[0], 0x00000001u);  // channel 0: scale 1, bias 0
  ASSERT_EQ(blocks[first_np + 7].words.size(), 32u);
  EXPECT_EQ(blocks[first_np + 7].words[0], 0x00001819u);  // channel 24: scale 25, bias 24
}

TEST_F(TnpBRecorderTest, DepthwiseNpsGetTheirOwnShifts) {
  build(LayerType::DepthwiseBufferTempConv);
  const std::vector<Block> blocks = blocks_of(*record());
  const size_t first_np = blocks.size() - 8;
  EXPECT_EQ(blocks[first_np + 1].words,
            format_tnp_b_depthwise_buffer_temp_conv_weights(*layer_->vars->get("weights"), 0, 10));
  EXPECT_EQ(blocks[first_np + 2].words, (std::vector<uint32_t>{0x03020100, 0x07060504, 0x00000100, 0}));
  EXPECT_EQ(blocks[first_np + 6].words, (std::vector<uint32_t>{0x05040302, 0x00000706}));
  EXPECT_EQ(blocks[first_np + 5].words.size(), 3u * 3u * 6u);
  EXPECT_EQ(blocks[first_np + 7].words.size(), 12u);
}

TEST_F(TnpBRecorderTest, RegistersOnlyExcludedNpsAndFlags) {
  for (LayerType type : {LayerType::BufferTempConv, LayerType::DepthwiseBufferTempConv}) {
    build(type);
    const std::vector<Block> only = blocks_of(*record(true));
    ASSERT_EQ(only.size(), 2u);  // no skip DMA, registers alone
    for (const Block& b : only) {
      EXPECT_EQ(b.target, dma::Target::NpRegisters);
      EXPECT_EQ(b.words[3] >> 24, 0xFEu);
    }
    const std::vector<Block> one = blocks_of(*record(false, {TNP_A}));
    const size_t first_np = one.size() - 4;
    for (size_t k = first_np; k < one.size(); ++k) EXPECT_EQ(one[k].ident, TNP_B);
    for (size_t k = 0; k < first_np; ++k) EXPECT_EQ(one[k].target, dma::Target::SkipDmaRegisters);

    const std::vector<Block> starting = blocks_of(*record(true, {}, true));
    EXPECT_EQ(starting[0].words[2], 0x88u);

    auto next = g_.add("next", LayerType::Conv2D, hw::TargetKind::CNP);
    next->inputs = {Shape{8, 6, 16}};
    next->set_mapping(mapping_of_nps({np_component(hw::Type::CNP2, TNP_B, 0, 4, Shape{8, 6, 16}, Shape{8, 6, 16})},
                                     {component(hw::Type::CNP2, CNP_IN)}, {component(hw::Type::CNP2, CNP_OUT)}));
    const std::vector<Block> shared = blocks_of(*record(true, {}, false, next));
    EXPECT_EQ(shared[0].words[32], 0u);           // NP A is not shared
    EXPECT_EQ(shared[1].words[32] & 0x5u, 0x5u);  // NP B is: enabled, valid
    EXPECT_EQ(shared[1].words[34], 0x00080006u);
  }
}

TEST_F(TnpBRecorderTest, Refusals) {
  build(LayerType::BufferTempConv);
  EXPECT_THAT([&] { record_program_depthwise_buffer_temp_conv_layer(device_, *layer_, nullptr, false, false, {}, false, false); }, ThrowsMessage<std::runtime_error>("Invalid layer type for TNP-B recording."));
  mapping_->skipdma_loads.clear();
  EXPECT_THAT([&] { record(); }, ThrowsMessage<std::runtime_error>("Layer 'btc' has no skip DMA load for its FIFO."));
  EXPECT_EQ(blocks_of(*record(true)).size(), 2u);  // registers alone need no load engine
  mapping_->skipdma_loads = {component(hw::Type::SKIP_DMA_LOAD, LOAD)};
  layer_->vars->tensors.erase("weights");
  EXPECT_THAT([&] { record(); }, ThrowsMessage<std::runtime_error>("Layer 'btc' has no variable \"weights\""));
  build(LayerType::DepthwiseBufferTempConv);
  EXPECT_THAT([&] { record_program_buffer_temp_conv_layer(device_, *layer_, nullptr, false, false, {}, false, false); }, ThrowsMessage<std::runtime_error>("Invalid layer type for TNP-B recording."));
  layer_->vars->tensors.erase("input_shift");
  EXPECT_THAT([&] { record(); }, ThrowsMessage<std::runtime_error>("Layer 'btc' has no variable \"input_shift\""));
  // Input shifts of the NP's channels beyond the tensor are refused, not read past.
  layer_->set_variable("input_shift", make_tensor<uint8_t>(TensorType::uint8, Shape{12}, [](size_t) { return 1; }));
  EXPECT_THROW(record(), std::invalid_argument);
}

TEST_F(TnpBRecorderTest, SizerCheckerAndRecorderDispatch) {
  build(LayerType::BufferTempConv);
  const MemorySizerImpl sizer;
  const hw::Component& a = (*mapping_->nps)[0];
  // (2 + 1) x 16 rows of 2 weight words: 96 words of 100 bits.
  EXPECT_EQ(sizer.get_weight_memory_size(layer_, a), 1200u);
  EXPECT_EQ(sizer.get_weight_memory_size(layer_, component(hw::Type::CNP2, CNP_IN)), 0u);
  EXPECT_EQ(sizer.get_input_memory_size(layer_, a, layer_), 4u * 192u * 3u);
  const FakeDevice device(v2_mesh(1));
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  const CompatibilityCheckerImpl checker(device, limits);
  EXPECT_EQ(get_weights_100b_size(*layer_, 24), 96u);
  EXPECT_TRUE(checker.is_weights_size_fit_np(*layer_, 24));
  EXPECT_EQ(get_weights_100b_size(*layer_, 2048), 3u * 16u * 172u);
  EXPECT_FALSE(checker.is_weights_size_fit_np(*layer_, 2048));  // 8256 words > 4096
  const LayerRecorderImpl recorder(device_, limits);
  EXPECT_EQ(blocks_of(*recorder.record_layer(*layer_, *layer_, nullptr, false, false, {}, true, false)).size(), 2u);

  build(LayerType::DepthwiseBufferTempConv);
  const hw::Component& d = (*mapping_->nps)[0];
  EXPECT_EQ(sizer.get_weight_memory_size(layer_, d), 375u);  // 3 x 10 words of 100 bits
  EXPECT_EQ(get_weights_100b_size(*layer_, 10), 30u);
  EXPECT_TRUE(checker.is_weights_size_fit_np(*layer_, 1365));
  EXPECT_FALSE(checker.is_weights_size_fit_np(*layer_, 1366));
  EXPECT_EQ(blocks_of(*recorder.record_layer(*layer_, *layer_, nullptr, false, false, {}, true, false)).size(), 2u);
}

TEST(TnpBEngineLayer, WeightsOfALayerBuiltByTheEngine) {
  auto model = Model::create();
  model->add(Layer::create(LayerParams::create(LayerType::InputData, {{"input_width", 4},
                                                                      {"input_height", 4},
                                                                      {"input_channels", 3},
                                                                      {"input_bits", 8}})
                               .get(),
                           "input"));
  auto layer = Layer::create(
      LayerParams::create(LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 2}, {"activation", 1}}).get(), "btc");
  model->add(layer);
  // Weights (1, 1, tap x 3 + channel, filter): filter f of channel c at tap t is 10 t + 3 c + f + 1.
  auto weights = layer->variables()->get("weights");
  ASSERT_EQ(weights->shape(), (Shape{1, 1, 6, 2}));
  for (uint32_t t = 0; t < 2; ++t)
    for (uint32_t c = 0; c < 3; ++c)
      for (uint32_t f = 0; f < 2; ++f) weights->at_mut<int8_t>({0, 0, t * 3 + c, f}) = int8_t(10 * t + 3 * c + f + 1);
  const std::vector<uint32_t> block = format_tnp_b_buffer_temp_conv_weights(*weights, 2, 0, 2);
  ASSERT_EQ(block.size(), 36u);
  // Block row c x 2 + t holds channel c at tap t.
  for (uint32_t c = 0; c < 3; ++c)
    for (uint32_t t = 0; t < 2; ++t)
      EXPECT_EQ(block[(c * 2 + t) * 6], uint32_t(10 * t + 3 * c + 1) | uint32_t(10 * t + 3 * c + 2) << 8) << c << t;
}

}  // namespace
}  // namespace ovrix::v2
