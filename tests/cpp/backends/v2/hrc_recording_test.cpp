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
#include "support/golden.h"
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
using testing::v2_mesh;

const hw::Ident HRC{};

// ---- Configuration registers

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

// tests/data/v2/hrc_registers.txt: a configuration, its padding values, then its words or its refusal.
class HrcRegisterWords : public ::testing::TestWithParam<golden::Case> {};

TEST_P(HrcRegisterWords, WordsOrRefusal) {
  const golden::Case& c = GetParam();
  ASSERT_EQ(c.fields.size(), 3u);
  const auto v = golden::numbers(c[0]);
  ASSERT_EQ(v.size(), 14u);
  HrcConfig cfg = config(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8],
                         PaddingParams{uint32_t(v[9]), uint32_t(v[10]), uint32_t(v[11]), uint32_t(v[12])}, v[13]);
  std::shared_ptr<Dense> values;
  if (!c[1].empty()) values = make_vector<uint8_t>(TensorType::uint8, golden::words<uint8_t>(c[1]));
  cfg.padding_value = values.get();
  if (c[2].rfind("0", 0) == 0) {
    const HrcRegisters words = format_hrc_registers(cfg);
    EXPECT_EQ(std::vector<uint32_t>(words.begin(), words.end()), golden::words(c[2]));
  } else {
    EXPECT_THAT([&] { format_hrc_registers(cfg); }, ThrowsMessage<std::runtime_error>(golden::text(c[2])));
  }
}

INSTANTIATE_TEST_SUITE_P(Configurations, HrcRegisterWords, ::testing::ValuesIn(golden::cases("v2/hrc_registers.txt")),
                         golden::line_name);

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


class HrcSramContents : public ::testing::TestWithParam<golden::Case> {};

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
  const golden::Case& c = GetParam();
  ASSERT_EQ(c.fields.size(), 4u);
  const auto shape = golden::words(c[0]);
  FakeGraph g;
  FakeDevice device(v2_mesh(1));
  auto l = hrc_layer(&g, hrc_weights(shape.at(0), shape.at(1), 2), shape.at(1));
  const auto srams = sram_writes(*record_program_input_conv2d_layer(device, *l));
  const uint32_t select[3] = {1u << 0, 1u << 1, 1u << 2};
  for (int s = 0; s < 3; ++s) {
    if (c[s + 1].empty()) {
      EXPECT_EQ(srams.count(select[s]), 0u) << "an empty SRAM is not written";
    } else {
      ASSERT_EQ(srams.count(select[s]), 1u) << s;
      EXPECT_EQ(srams.at(select[s]), golden::words(c[s + 1])) << "SRAM " << s;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(KernelsAndChannels, HrcSramContents, ::testing::ValuesIn(golden::cases("v2/hrc_srams.txt")),
                         golden::line_name);

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
