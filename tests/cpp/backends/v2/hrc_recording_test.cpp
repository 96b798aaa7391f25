// Recording of the v2 input convolution on the HRC: configuration words, SRAM contents for kernels 3,
// 4, 5 and 7 at 1 and 3 channels, lookup table, block order, refusals and the SRAM size.
#include "backends/v2/hrc_recording.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/v2/hrc_rules.h"
#include "backends/v2/layer_recorder.h"
#include "backends/v2/memory_sizer.h"
#include "backends/v2/shift_lut.h"
#include "engine/model.h"
#include "program/hrc_format.h"
#include "support/v2_helpers.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::Block;
using testing::blocks_of;
using testing::FakeDevice;
using testing::FakeGraph;
using testing::FakeLayer;
using testing::make_tensor;
using testing::make_vector;
using testing::overflow_message;
using testing::v2_mesh;

const hw::Ident HRC{};

// ---- Configuration registers

struct RegisterCase {
  const char* name;
  HrcConfig config;
  std::vector<uint8_t> padding_value;  // empty: no tensor
  HrcRegisters words;
};

HrcConfig config(int32_t kernel, int32_t out, int32_t activation, uint32_t channels, int32_t padding,
                 int32_t pool_type, int32_t pool_size, int32_t pool_stride, int32_t stride, PaddingParams pad,
                 int32_t filters) {
  HrcConfig c;
  c.kernel_size = kernel;
  c.output_bits = out;
  c.activation = activation;
  c.input_channels = channels;
  c.padding = padding;
  c.pool_type = pool_type;
  c.pool_size = pool_size;
  c.pool_stride = pool_stride;
  c.kernel_stride = stride;
  c.conv_padding = pad;
  c.filters = filters;
  return c;
}

class HrcRegisterWords : public ::testing::TestWithParam<RegisterCase> {};

TEST_P(HrcRegisterWords, Golden) {
  RegisterCase c = GetParam();
  std::shared_ptr<Dense> values;
  if (!c.padding_value.empty()) values = make_vector<uint8_t>(TensorType::uint8, c.padding_value);
  c.config.padding_value = values.get();
  EXPECT_EQ(format_hrc_registers(c.config), c.words);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, HrcRegisterWords,
    ::testing::Values(
        // 4-bit ReLU, Valid, 3 channels, no pooling, stride 2, 32 filters.
        RegisterCase{"relu_valid_4bit", config(3, 4, 1, 3, 0, 0, -1, -1, 2, {}, 32), {},
                     {0x00302601, 0x00000202, 0, 0, 0x001F0000}},
        // 8-bit LUT, Same, 1 channel, 3x3 max pooling with stride 2, padding on every side, 512 filters.
        RegisterCase{"lut_same_pooled", config(7, 8, 2, 1, 1, 1, 3, 2, 1, {2, 1, 3, 3}, 512), {7, 200, 9},
                     {0x33039B31, 0x02020101, 0x0009C807, 0x00001233, 0x01FF0000}},
        // Kernel 4, no activation, SameUpper, one padding value, one filter.
        RegisterCase{"kernel4_no_activation", config(4, 8, 0, 3, 2, 0, 2, 2, 3, {1, 0, 0, 1}, 1), {5},
                     {0x22000311, 0x02020303, 0x00000005, 0x00000110, 0x00000000}},
        RegisterCase{"kernel5", config(5, 8, 1, 3, 1, 0, 0, 0, 1, {}, 2), {}, {0x00000721, 0x00000101, 0, 0, 0x00010000}},
        // The formatter knows the 16 x 16 kernel too.
        RegisterCase{"kernel16", config(16, 4, 1, 1, 1, 0, 15, 15, 31, {3, 3, 3, 3}, 256), {},
                     {0xFF001641, 0x0F0F1F1F, 0, 0x00003333, 0x00FF0000}}),
    [](const ::testing::TestParamInfo<RegisterCase>& info) { return std::string(info.param.name); });

struct RefusalCase {
  const char* name;
  HrcConfig config;
  std::string message;
};

class HrcRegisterRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(HrcRegisterRefusals, InOrder) {
  EXPECT_THAT([&] { format_hrc_registers(GetParam().config); }, ThrowsMessage<std::runtime_error>(GetParam().message));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, HrcRegisterRefusals,
    ::testing::Values(
        RefusalCase{"kernel6", config(6, 8, 1, 3, 1, 0, 0, 0, 1, {}, 1), "Wrong kernel size at HRC recording."},
        RefusalCase{"kernel9_and_output2", config(9, 2, 1, 3, 1, 0, 0, 0, 1, {}, 1),
                    "Wrong kernel size at HRC recording."},
        RefusalCase{"output2", config(3, 2, 1, 3, 1, 0, 0, 0, 1, {}, 1),
                    "Wrong output bitwidth when programming HRC: 2-bit found\nonly 8-bit and 4-bit are supported."},
        RefusalCase{"channels2", config(3, 8, 1, 2, 1, 0, 0, 0, 1, {}, 1), "Wrong number of channles at HRC recording."},
        RefusalCase{"padding3", config(3, 8, 1, 3, 3, 0, 0, 0, 1, {}, 1), "Wrong padding at HRC recording."},
        RefusalCase{"pool_size16", config(3, 8, 1, 3, 1, 2, 16, 0, 1, {}, 1), overflow_message(16, 4)},
        RefusalCase{"average_pooling", config(3, 8, 1, 3, 1, 2, 2, 2, 1, {}, 1), "Wrong pooling at HRC recording."},
        RefusalCase{"stride32", config(3, 8, 1, 3, 1, 0, 0, 0, 32, {}, 1), overflow_message(32, 5)},
        RefusalCase{"pool_stride16", config(3, 8, 1, 3, 1, 1, 2, 16, 1, {}, 1), overflow_message(16, 4)},
        RefusalCase{"padding_amount4", config(3, 8, 1, 3, 1, 0, 0, 0, 1, {0, 0, 4, 0}, 1), overflow_message(4, 2)},
        RefusalCase{"filters0", config(3, 8, 1, 3, 1, 0, 0, 0, 1, {}, 0), overflow_message(4294967295ull, 9)},
        RefusalCase{"filters513", config(3, 8, 1, 3, 1, 0, 0, 0, 1, {}, 513), overflow_message(512, 9)}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// ---- SRAM contents

// A weight that tells where it comes from: row * 16 + column + 1 + channel * 64 + filter * 40.
int8_t weight_at(uint32_t row, uint32_t col, uint32_t ch, uint32_t filter) {
  return static_cast<int8_t>((row * 16 + col + 1 + ch * 64 + filter * 40) & 0xFF);
}

std::shared_ptr<Dense> hrc_weights(uint32_t k, uint32_t c, uint32_t f) {
  std::shared_ptr<Dense> t = Dense::create(TensorType::int8, Shape{k, k, c, f});
  for (uint32_t r = 0; r < k; ++r)
    for (uint32_t col = 0; col < k; ++col)
      for (uint32_t ch = 0; ch < c; ++ch)
        for (uint32_t fi = 0; fi < f; ++fi) t->at_mut<int8_t>({r, col, ch, fi}) = weight_at(r, col, ch, fi);
  return t;
}

struct SramCase {
  uint32_t kernel;
  uint32_t channels;
  std::vector<std::vector<uint32_t>> srams;  // R, G, B of two filters
};

class HrcSramContents : public ::testing::TestWithParam<SramCase> {};

// The SRAM data blocks of a recorded layer, by select bit.
std::map<uint32_t, std::vector<uint32_t>> sram_writes(const program::Record& record) {
  std::map<uint32_t, std::vector<uint32_t>> out;
  const std::vector<Block> blocks = blocks_of(record);
  for (size_t k = 0; k + 1 < blocks.size(); ++k)
    if (blocks[k].target == dma::Target::RegisterWrites && blocks[k].parameter == hrc::SRAM_SELECT_ADDRESS)
      out[blocks[k].words.at(0)] = blocks[k + 1].words;
  return out;
}

std::shared_ptr<FakeLayer> hrc_layer(FakeGraph* g, const std::shared_ptr<Dense>& weights, uint32_t channels,
                                     int activation = 1) {
  auto l = g->add("hrc", LayerType::InputConv2D, hw::TargetKind::HRC);
  const Shape w = weights->shape();
  const uint32_t filters = w[3];
  l->inputs = {Shape{32, 32, channels}};
  l->activation_on = activation != 0;
  l->act = static_cast<ActivationType>(activation);
  for (auto [k, v] : std::map<std::string, int>{{"filters", int(filters)}, {"kernel_size", int(w[0])},
                                                {"activation", activation}, {"padding", 1}, {"pool_type", 0},
                                                {"pool_stride", 0}, {"pool_size", -1}, {"kernel_stride", 1}})
    l->set(k, v);
  l->conv.padding = PaddingParams{1, 1, 1, 1};
  l->set_variable("weights", weights);
  l->set_variable("padding_value", make_vector<uint8_t>(TensorType::uint8, std::vector<uint8_t>(channels, 3)));
  const auto per_filter = [&](TensorType type, int value) {
    return make_tensor<int8_t>(type, Shape{filters}, [value](size_t k) { return int8_t(value + int(k % 8)); });
  };
  l->set_variable("output_shift", per_filter(TensorType::int8, -1));
  l->set_variable("output_scales", per_filter(TensorType::uint8, 100));
  l->set_variable("bias_shift", per_filter(TensorType::uint8, 3));
  l->set_variable("bias", per_filter(TensorType::int8, -2));
  return l;
}

TEST_P(HrcSramContents, GoldenWordsOfTwoFilters) {
  const SramCase& c = GetParam();
  FakeGraph g;
  FakeDevice device(v2_mesh(1));
  auto l = hrc_layer(&g, hrc_weights(c.kernel, c.channels, 2), c.channels);
  const auto srams = sram_writes(*record_program_input_conv2d_layer(device, *l));
  const uint32_t select[3] = {1u << 0, 1u << 1, 1u << 2};
  for (int s = 0; s < 3; ++s) {
    if (c.srams[s].empty()) {
      EXPECT_EQ(srams.count(select[s]), 0u) << "an empty SRAM is not written";
    } else {
      ASSERT_EQ(srams.count(select[s]), 1u) << s;
      EXPECT_EQ(srams.at(select[s]), c.srams[s]) << "SRAM " << s;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    KernelsAndChannels, HrcSramContents,
    ::testing::Values(
        SramCase{3, 1, {{0x11030201, 0x22211312, 0x00000023, 0x392B2A29, 0x4A493B3A, 0x0000004B}, {}, {}}},
        SramCase{3, 3,
                 {{0x11030201, 0x22211312, 0x00000023, 0x392B2A29, 0x4A493B3A, 0x0000004B},
                  {0x51434241, 0x62615352, 0x00000063, 0x796B6A69, 0x8A897B7A, 0x0000008B},
                  {0x91838281, 0xA2A19392, 0x000000A3, 0xB9ABAAA9, 0xCAC9BBBA, 0x000000CB}}},
        SramCase{4, 1,
                 {{0x04030201, 0x14131211, 0x00000021, 0x2C2B2A29, 0x3C3B3A39, 0x00000049},
                  {0x31242322, 0x00343332, 0x00000000, 0x594C4B4A, 0x005C5B5A, 0x00000000},
                  {}}},
        SramCase{4, 3,
                 {{0x04030201, 0x14131211, 0x00000021, 0x31242322, 0x00343332, 0x00000000, 0x2C2B2A29, 0x3C3B3A39,
                   0x00000049, 0x594C4B4A, 0x005C5B5A, 0x00000000},
                  {0x44434241, 0x54535251, 0x00000061, 0x71646362, 0x00747372, 0x00000000, 0x6C6B6A69, 0x7C7B7A79,
                   0x00000089, 0x998C8B8A, 0x009C9B9A, 0x00000000},
                  {0x84838281, 0x94939291, 0x000000A1, 0xB1A4A3A2, 0x00B4B3B2, 0x00000000, 0xACABAAA9, 0xBCBBBAB9,
                   0x000000C9, 0xD9CCCBCA, 0x00DCDBDA, 0x00000000}}},
        SramCase{5, 1,
                 {{0x04030201, 0x13121105, 0x00000014, 0x2C2B2A29, 0x3B3A392D, 0x0000003C},
                  {0x23222115, 0x32312524, 0x00000033, 0x4B4A493D, 0x5A594D4C, 0x0000005B},
                  {0x42413534, 0x00454443, 0x00000000, 0x6A695D5C, 0x006D6C6B, 0x00000000}}},
        SramCase{5, 3,
                 {{0x04030201, 0x13121105, 0x00000014, 0x23222115, 0x32312524, 0x00000033, 0x42413534, 0x00454443,
                   0x00000000, 0x2C2B2A29, 0x3B3A392D, 0x0000003C, 0x4B4A493D, 0x5A594D4C, 0x0000005B, 0x6A695D5C,
                   0x006D6C6B, 0x00000000},
                  {0x44434241, 0x53525145, 0x00000054, 0x63626155, 0x72716564, 0x00000073, 0x82817574, 0x00858483,
                   0x00000000, 0x6C6B6A69, 0x7B7A796D, 0x0000007C, 0x8B8A897D, 0x9A998D8C, 0x0000009B, 0xAAA99D9C,
                   0x00ADACAB, 0x00000000},
                  {0x84838281, 0x93929185, 0x00000094, 0xA3A2A195, 0xB2B1A5A4, 0x000000B3, 0xC2C1B5B4, 0x00C5C4C3,
                   0x00000000, 0xACABAAA9, 0xBBBAB9AD, 0x000000BC, 0xCBCAC9BD, 0xDAD9CDCC, 0x000000DB, 0xEAE9DDDC,
                   0x00EDECEB, 0x00000000}}},
        SramCase{7, 1,
                 {{0x04030201, 0x11070605, 0x00000012, 0x43424137, 0x47464544, 0x00000051, 0x2C2B2A29, 0x392F2E2D,
                   0x0000003A, 0x6B6A695F, 0x6F6E6D6C, 0x00000079},
                  {0x16151413, 0x23222117, 0x00000024, 0x55545352, 0x62615756, 0x00000063, 0x3E3D3C3B, 0x4B4A493F,
                   0x0000004C, 0x7D7C7B7A, 0x8A897F7E, 0x0000008B},
                  {0x31272625, 0x35343332, 0x00000036, 0x67666564, 0x00000000, 0x00000000, 0x594F4E4D, 0x5D5C5B5A,
                   0x0000005E, 0x8F8E8D8C, 0x00000000, 0x00000000}}},
        SramCase{7, 3,
                 {{0x04030201, 0x11070605, 0x00000012, 0x16151413, 0x23222117, 0x00000024, 0x31272625, 0x35343332,
                   0x00000036, 0x43424137, 0x47464544, 0x00000051, 0x55545352, 0x62615756, 0x00000063, 0x67666564,
                   0x00000000, 0x00000000, 0x2C2B2A29, 0x392F2E2D, 0x0000003A, 0x3E3D3C3B, 0x4B4A493F, 0x0000004C,
                   0x594F4E4D, 0x5D5C5B5A, 0x0000005E, 0x6B6A695F, 0x6F6E6D6C, 0x00000079, 0x7D7C7B7A, 0x8A897F7E,
                   0x0000008B, 0x8F8E8D8C, 0x00000000, 0x00000000},
                  {0x44434241, 0x51474645, 0x00000052, 0x56555453, 0x63626157, 0x00000064, 0x71676665, 0x75747372,
                   0x00000076, 0x83828177, 0x87868584, 0x00000091, 0x95949392, 0xA2A19796, 0x000000A3, 0xA7A6A5A4,
                   0x00000000, 0x00000000, 0x6C6B6A69, 0x796F6E6D, 0x0000007A, 0x7E7D7C7B, 0x8B8A897F, 0x0000008C,
                   0x998F8E8D, 0x9D9C9B9A, 0x0000009E, 0xABAAA99F, 0xAFAEADAC, 0x000000B9, 0xBDBCBBBA, 0xCAC9BFBE,
                   0x000000CB, 0xCFCECDCC, 0x00000000, 0x00000000},
                  {0x84838281, 0x91878685, 0x00000092, 0x96959493, 0xA3A2A197, 0x000000A4, 0xB1A7A6A5, 0xB5B4B3B2,
                   0x000000B6, 0xC3C2C1B7, 0xC7C6C5C4, 0x000000D1, 0xD5D4D3D2, 0xE2E1D7D6, 0x000000E3, 0xE7E6E5E4,
                   0x00000000, 0x00000000, 0xACABAAA9, 0xB9AFAEAD, 0x000000BA, 0xBEBDBCBB, 0xCBCAC9BF, 0x000000CC,
                   0xD9CFCECD, 0xDDDCDBDA, 0x000000DE, 0xEBEAE9DF, 0xEFEEEDEC, 0x000000F9, 0xFDFCFBFA, 0x0A09FFFE,
                   0x0000000B, 0x0F0E0D0C, 0x00000000, 0x00000000}}}),
    [](const ::testing::TestParamInfo<SramCase>& info) {
      return "kernel" + std::to_string(info.param.kernel) + "_channels" + std::to_string(info.param.channels);
    });

// ---- Whole record

class HrcRecordTest : public ::testing::Test {
 protected:
  HrcRecordTest() : device_(v2_mesh(1)) {}
  FakeGraph g_;
  FakeDevice device_;
};

TEST_F(HrcRecordTest, BlocksInOrderWithoutLookupTable) {
  auto l = hrc_layer(&g_, hrc_weights(3, 3, 2), 3);
  l->set_variable("max_value", make_vector<uint8_t>(TensorType::uint8, {255, 7}));
  const std::vector<Block> blocks = blocks_of(*record_program_input_conv2d_layer(device_, *l));
  ASSERT_EQ(blocks.size(), 12u);
  struct Expected {
    dma::Target target;
    uint16_t address;
  };
  const Expected expected[] = {
      {dma::Target::RegisterWrites, 8},  {dma::Target::RegisterWrites, 32}, {dma::Target::HrcSram, 40},
      {dma::Target::RegisterWrites, 32}, {dma::Target::HrcSram, 40},        {dma::Target::RegisterWrites, 32},
      {dma::Target::HrcSram, 40},        {dma::Target::RegisterWrites, 32}, {dma::Target::HrcSram, 40},
      {dma::Target::RegisterWrites, 8},  {dma::Target::RegisterWrites, 0},  {dma::Target::RegisterWrites, 0}};
  for (size_t k = 0; k < blocks.size(); ++k) {
    EXPECT_EQ(blocks[k].ident, HRC) << k;
    EXPECT_EQ(blocks[k].target, expected[k].target) << k;
    EXPECT_EQ(blocks[k].parameter, expected[k].address) << k;
  }
  // Kernel 3, 8-bit ReLU, Same, 3 channels; stride 1; padding value 3; one of padding on each side; 2 filters.
  EXPECT_EQ(blocks[0].words, (std::vector<uint32_t>{0x00000701, 0x00000101, 0x00030303, 0x00001111, 0x00010000}));
  EXPECT_EQ(blocks[1].words, (std::vector<uint32_t>{0x00000001, 0}));
  EXPECT_EQ(blocks[3].words, (std::vector<uint32_t>{0x00000002, 0}));
  EXPECT_EQ(blocks[5].words, (std::vector<uint32_t>{0x00000004, 0}));
  EXPECT_EQ(blocks[7].words, (std::vector<uint32_t>{0x80000000, 0}));
  // Filter 0: shift -1, scale 100, clamp 255, bias shift 3, bias -2; filter 1: 0, 101, 7, 4, -1.
  EXPECT_EQ(blocks[8].words, (std::vector<uint32_t>{0x0008193F, 0x000FE1FF, 0x00081940, 0x000FF203}));
  EXPECT_EQ(blocks[9].words, (std::vector<uint32_t>{0x00000700}));  // word 0 without its enable bit
  EXPECT_EQ(blocks[10].words, (std::vector<uint32_t>{1}));
  EXPECT_EQ(blocks[11].words, (std::vector<uint32_t>{0}));
  EXPECT_EQ(get_hrc_sram_size(*l), 3u * 6u + 4u);
}

TEST_F(HrcRecordTest, LookupTableBeforeTheActivationWords) {
  auto l = hrc_layer(&g_, hrc_weights(5, 1, 2), 1, 2);
  l->set_variable("lut_values", make_tensor<int32_t>(TensorType::int32, Shape{2048},
                                                     [](size_t k) { return int32_t(k) - 1024; }));
  l->set_variable("activation_shift", make_vector<int8_t>(TensorType::int8, {31, -32}));
  l->set_variable("activation_scales", make_vector<uint8_t>(TensorType::uint8, {255, 1}));
  const std::vector<Block> blocks = blocks_of(*record_program_input_conv2d_layer(device_, *l));
  ASSERT_EQ(blocks.size(), 14u);
  EXPECT_EQ(blocks[0].words[0], 0x00009B21u);  // kernel 5, 8-bit, LUT, one channel
  EXPECT_EQ(blocks[7].words, (std::vector<uint32_t>{0x20000000, 0}));
  ASSERT_EQ(blocks[8].words.size(), 2048u);
  EXPECT_EQ(blocks[8].words[0], 0x3C00u);     // -1024
  EXPECT_EQ(blocks[8].words[1023], 0x3FFFu);  // -1
  EXPECT_EQ(blocks[8].words[2047], 0x03FFu);  // 1023
  EXPECT_EQ(blocks[8].words, format_lut_values_for_hrc(l->vars->get("lut_values").get()));
  EXPECT_EQ(blocks[9].words, (std::vector<uint32_t>{0x80000000, 0}));
  // Filter 0: scale 100, bias -2, bias shift 3, shift -1, activation shift 31, scale 255.
  EXPECT_EQ(blocks[10].words, (std::vector<uint32_t>{0x0003FE64, 0x001FEFFE, 0x0004FF65, 0x00003000}));
  EXPECT_EQ(blocks[11].words, (std::vector<uint32_t>{0x00009B20}));
}

TEST_F(HrcRecordTest, LookupTableLayersNeedTheirThreeVariables) {
  for (const char* missing : {"lut_values", "activation_shift", "activation_scales"}) {
    auto l = hrc_layer(&g_, hrc_weights(3, 1, 2), 1, 2);
    l->set_variable("lut_values", make_tensor<int32_t>(TensorType::int32, Shape{2048}, [](size_t) { return 0; }));
    l->set_variable("activation_shift", make_vector<int8_t>(TensorType::int8, {0, 0}));
    l->set_variable("activation_scales", make_vector<uint8_t>(TensorType::uint8, {1, 1}));
    l->vars->tensors.erase(missing);
    EXPECT_THAT([&] { record_program_input_conv2d_layer(device_, *l); }, ThrowsMessage<std::runtime_error>(std::string("Layer 'hrc' has no variable \"") + missing + "\""));
  }
}

TEST_F(HrcRecordTest, RefusesWhatTheHrcCannotHold) {
  auto l = hrc_layer(&g_, hrc_weights(3, 3, 2), 3);
  l->inputs = {Shape{32, 32, 2}};
  EXPECT_THAT([&] { record_program_input_conv2d_layer(device_, *l); }, ThrowsMessage<std::runtime_error>("Wrong number of channles at HRC recording."));
  // Weights of two channels on a two-channel input: the weight layout refuses them too.
  l->set_variable("weights", hrc_weights(3, 2, 2));
  EXPECT_THAT([&] { format_hrc_weights(*l->vars->get("weights")); }, ThrowsMessage<std::runtime_error>("HRC weights must have 1 or 3 channels, not 2."));
  // A non-square kernel.
  auto tall = Dense::create(TensorType::int8, Shape{5, 3, 3, 2});
  EXPECT_THAT([&] { format_hrc_weights(*tall); }, ThrowsMessage<std::runtime_error>("HRC weights must have a square kernel, not 5x3."));
  auto reversed_tall = Dense::create(TensorType::int8, Shape{2, 3, 3, 5}, Dense::Layout::Reversed);
  EXPECT_THAT([&] { format_hrc_weights(*reversed_tall); }, ThrowsMessage<std::runtime_error>("HRC weights must have a square kernel, not 5x3."));
  // A short per-filter variable is refused, not read past.
  l->inputs = {Shape{32, 32, 3}};
  l->set_variable("weights", hrc_weights(3, 3, 2));
  l->set_variable("bias_shift", make_vector<uint8_t>(TensorType::uint8, {1}));
  EXPECT_THROW(record_program_input_conv2d_layer(device_, *l), std::runtime_error);
  l->vars->tensors.erase("bias_shift");
  EXPECT_THAT([&] { record_program_input_conv2d_layer(device_, *l); }, ThrowsMessage<std::runtime_error>("Layer 'hrc' has no variable \"bias_shift\""));
}

TEST_F(HrcRecordTest, SramSizeAndTheSizerAndRecorderDispatch) {
  auto l = hrc_layer(&g_, hrc_weights(7, 3, 511), 3);
  // 3066 lines of 3 words in each of 3 SRAMs, 2 words per filter: 28616 words, padded to 28624.
  EXPECT_EQ(get_hrc_sram_size(*l), 28624u);
  const MemorySizerImpl sizer;
  hw::Component hrc(hw::Type::HRC);
  EXPECT_EQ(sizer.get_weight_memory_size(l, hrc), 4u * 28624u);
  EXPECT_EQ(sizer.get_input_memory_size(l, hrc, l), 0u);

  auto small = hrc_layer(&g_, hrc_weights(4, 1, 3), 1);
  EXPECT_EQ(get_hrc_sram_size(*small), 9u + 9u + 6u);  // 6 lines, two to an offset, and 2 words a filter
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  const LayerRecorderImpl recorder(device_, limits);
  const auto rec = recorder.record_layer(*small, *small, nullptr, false, false, {}, false, false);
  EXPECT_EQ(blocks_of(*rec).size(), 10u);
}

TEST(HrcEngineLayer, RecordsALayerBuiltByTheEngine) {
  auto model = Model::create();
  auto input = Layer::create(LayerParams::create(LayerType::InputData, {{"input_width", 16},
                                                                        {"input_height", 12},
                                                                        {"input_channels", 1},
                                                                        {"input_bits", 8}})
                                 .get(),
                             "input");
  model->add(input);
  auto layer = Layer::create(LayerParams::create(LayerType::InputConv2D, {{"filters", 4},
                                                                          {"kernel_size", 3},
                                                                          {"kernel_stride", 2},
                                                                          {"padding", 0},
                                                                          {"pool_type", 0},
                                                                          {"pool_size", -1},
                                                                          {"activation", 1}})
                                 .get(),
                             "hrc");
  model->add(layer);
  layer->variables()->get("weights")->mutable_data_as<int8_t>()[0] = 5;
  EXPECT_EQ(check_input_conv2d_constraints(*layer), MappingStatus());
  FakeDevice device(v2_mesh(1));
  const std::vector<Block> blocks = blocks_of(*record_program_input_conv2d_layer(device, *layer));
  ASSERT_EQ(blocks.size(), 8u);  // registers, R, activations, then the three starting writes
  EXPECT_EQ(blocks[0].words, (std::vector<uint32_t>{0x00303701, 0x01010202, 0, 0, 0x00030000}));
  EXPECT_EQ(blocks[2].words.size(), 12u);
  EXPECT_EQ(blocks[2].words[0], 5u);
}

}  // namespace
}  // namespace ovrix::v2
