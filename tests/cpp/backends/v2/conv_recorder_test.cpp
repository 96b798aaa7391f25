// Recording of v2 convolution layers: register blocks of split layers, block order per NP, the
// registers-only and excluded-NP modes, lookup tables, merge shifts and skip DMA.
#include "backends/v2/conv_recording.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/v2/cnp_tnp_config.h"
#include "backends/v2/cnp_weights.h"
#include "backends/v2/conv_registers.h"
#include "backends/v2/io_recorder.h"
#include "backends/v2/layer_recorder.h"
#include "backends/v2/shift_lut.h"
#include "engine/model.h"
#include "engine/program_info.h"
#include "mapping/layer_mapping.h"
#include "program/serializer.h"
#include "support/v2_fake_layer.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::Block;
using testing::blocks_of;
using testing::FakeDevice;
using testing::FakeGraph;
using testing::make_vector;
using testing::v2_mesh;

const hw::Ident NP_A(1, 1, 0);
const hw::Ident NP_B(1, 1, 2);
const hw::Ident DMA_IN(0, 2, 0);
const hw::Ident DMA_OUT(0, 2, 1);

hw::Component dma(const hw::Ident& ident) {
  hw::Component c(hw::Type::DMA);
  c.ident = ident;
  return c;
}

hw::Component cnp(const hw::Ident& ident, uint32_t start, uint32_t filters, const NpSpace& partition,
                  const NpSpace& window) {
  hw::NpMapping part;
  part.start_neuron = start;
  part.filters = filters;
  part.spatial_partition = partition;
  part.input_window = window;
  hw::Component c(hw::Type::CNP2, part);
  c.ident = ident;
  return c;
}

// An InputData (8 x 6 x 4, 8-bit) and one convolution after it, built by the engine, with a
// mapping set by hand: two NPs splitting the filters, the pass's DMA on both sides.
struct ConvModel {
  std::unique_ptr<Model> model = Model::create();
  std::shared_ptr<Layer> input;
  std::shared_ptr<Layer> layer;
  std::shared_ptr<LayerMapping> mapping = std::make_shared<LayerMapping>(1);

  ConvModel(LayerType type, std::map<std::string, int> params, uint32_t filters_a, uint32_t filters_b) {
    input = Layer::create(LayerParams::create(LayerType::InputData, {{"input_width", 8},
                                                                     {"input_height", 6},
                                                                     {"input_channels", 4},
                                                                     {"input_bits", 8}})
                              .get(),
                          "input");
    model->add(input);
    layer = Layer::create(LayerParams::create(type, params).get(), "conv");
    model->add(layer);
    const Shape in = layer->input_dimensions().front();
    const Shape out = layer->output_dimensions();
    const NpSpace whole_out(0, 0, Shape{out[0], out[1], in[2]});
    const NpSpace whole_in(0, 0, in);
    *mapping->nps = {cnp(NP_A, 0, filters_a, whole_out, whole_in), cnp(NP_B, filters_a, filters_b, whole_out, whole_in)};
    mapping->sources.push_back(std::make_shared<LayerMapping::ComponentList>(LayerMapping::ComponentList{dma(DMA_IN)}));
    mapping->destinations.push_back(
        std::make_shared<LayerMapping::ComponentList>(LayerMapping::ComponentList{dma(DMA_OUT)}));
    mapping->output_to_dma = true;
    std::dynamic_pointer_cast<LayerImpl>(layer)->set_mapping(mapping);
  }
  ~ConvModel() { std::dynamic_pointer_cast<LayerImpl>(layer)->set_mapping(nullptr); }

  std::shared_ptr<Dense> variable(const std::string& name) const { return layer->variables()->get(name); }
  template <class T, class Fn>
  void fill(const std::string& name, Fn value) {
    auto t = variable(name);
    T* p = t->mutable_data_as<T>();
    for (size_t k = 0; k < t->size(); ++k) p[k] = value(k);
  }
};

std::map<std::string, int> conv_params() {
  return {{"filters", 10},    {"kernel_size", 3}, {"kernel_stride", 1}, {"padding", 1},  {"activation", 1},
          {"pool_type", 0},   {"pool_size", 1},   {"weights_bits", 8},  {"output_bits", 8}};
}

class ConvRecorderTest : public ::testing::Test {
 protected:
  ConvRecorderTest() : device_(v2_mesh(2)) {}
  std::unique_ptr<program::Record> record(const ConvModel& m, bool registers_only = false,
                                          std::vector<hw::Ident> excluded = {}) {
    return record_program_conv2d_layer(device_, *m.layer, nullptr, false, false, excluded, registers_only, false);
  }
  FakeDevice device_;
};

void fill_sample(ConvModel& m) {
  m.fill<int8_t>("weights", [](size_t k) { return static_cast<int8_t>(k * 7 + 1); });
  m.fill<uint8_t>("input_shift", [](size_t k) { return static_cast<uint8_t>(k + 1); });
  m.fill<int8_t>("bias", [](size_t k) { return static_cast<int8_t>(k) - 5; });
  m.fill<uint8_t>("output_scales", [](size_t k) { return static_cast<uint8_t>(k + 1); });
  m.fill<uint8_t>("max_value", [](size_t k) { return static_cast<uint8_t>(200 - k); });
}

TEST_F(ConvRecorderTest, GoldenRegistersOfAFilterSplit) {
  ConvModel m(LayerType::Conv2D, conv_params(), 8, 2);
  fill_sample(m);
  const RegisterMap regs = format_conv2d_np_registers(*m.layer, nullptr, false, false, {}, false, false);
  ASSERT_EQ(regs.size(), 2u);
  RegisterBlock a(64, 0);
  a[1] = 0x00000020;
  a[2] = 0x00000008;
  a[3] = 0x0102B0B3;  // NP number 1, 8-bit data and weights, ReLU, 2 NPs
  a[4] = 0x80000030;  // 48 words of input
  a[5] = 0x00130100;
  a[6] = 0x08040000;
  a[8] = 0x00080006;
  a[10] = 0x00080006;
  a[11] = 0x00006008;  // 6 words a channel container, input container of 8
  a[12] = 0x52000000;
  a[13] = 0x00000010;
  a[20] = 0x30000000;
  a[21] = 8;
  a[25] = 0x00080006;
  a[26] = 0x00080000;
  a[27] = 0x00000011;
  a[28] = 0x00080008;
  a[29] = 0x00010000;
  a[37] = 0xFF000000;
  a[44] = 0xFF080009;  // point to point towards the DMA
  a[45] = 0xFF200002;
  a[46] = 0x00000000;
  a[47] = 0x00000100;
  a[52] = 0x00000080;
  a[56] = 0x00800000;
  a[57] = 0x00000040;
  EXPECT_EQ(regs.at(NP_A), a);

  RegisterBlock b = a;
  b[21] = 2;
  b[26] = 0x00020008;
  b[56] = 0x01800100;  // upper pair of the node
  EXPECT_EQ(regs.at(NP_B), b);
}

TEST_F(ConvRecorderTest, GoldenRegistersOfAWidthSplit) {
  ConvModel m(LayerType::Conv2D, conv_params(), 10, 10);
  // Two NPs of 4 columns each; their input windows overlap by the kernel's halo.
  *m.mapping->nps = {cnp(NP_A, 0, 10, NpSpace(0, 0, Shape{4, 6, 4}), NpSpace(0, 0, Shape{5, 6, 4})),
                     cnp(NP_B, 0, 10, NpSpace(4, 0, Shape{4, 6, 4}), NpSpace(3, 0, Shape{5, 6, 4}))};
  const RegisterMap regs = format_conv2d_np_registers(*m.layer, nullptr, false, false, {}, false, false);
  struct Expected {
    hw::Ident np;
    uint32_t w8, w9, w10, w11, w24, w25;
  };
  for (const Expected& e : {Expected{NP_A, 0x00040006, 0x00000000, 0x00050006, 0x0000C004, 0x00000000, 0x00040006},
                            Expected{NP_B, 0x70040006, 0x00030000, 0x00050006, 0x0000C004, 0x00040000, 0x00040006}}) {
    const RegisterBlock& r = regs.at(e.np);
    EXPECT_EQ(r[8], e.w8);    // partition 6 x 4, window offset along x (-1 for the second NP)
    EXPECT_EQ(r[9], e.w9);    // window origin
    EXPECT_EQ(r[10], e.w10);  // window 6 x 5
    EXPECT_EQ(r[11], e.w11);  // 12 words a channel container (16 filter slots), input container 4
    EXPECT_EQ(r[24], e.w24);  // first output column
    EXPECT_EQ(r[25], e.w25);  // 6 rows, 4 columns
    EXPECT_EQ(r[4], 0x80000030u);  // rows of 8 bytes, 4 channels, 6 rows
    EXPECT_EQ(r[26], 0x000A0000u);
    EXPECT_EQ(r[29], 0x00020000u);
  }
}

TEST_F(ConvRecorderTest, BlocksPerNpInOrder) {
  ConvModel m(LayerType::Conv2D, conv_params(), 8, 2);
  fill_sample(m);
  const auto rec = record(m);
  EXPECT_EQ(rec->hw_version(), hw_versions::Proteo_v2);
  const std::vector<Block> blocks = blocks_of(*rec);
  ASSERT_EQ(blocks.size(), 8u);
  const auto weights = m.variable("weights");
  const auto shifts = format_input_shift(*m.variable("input_shift"));
  const std::pair<hw::Ident, dma::Target> expected[] = {
      {NP_A, dma::Target::NpRegisters}, {NP_A, dma::Target::Weights}, {NP_A, dma::Target::InputShift},
      {NP_A, dma::Target::Variables},   {NP_B, dma::Target::NpRegisters}, {NP_B, dma::Target::Weights},
      {NP_B, dma::Target::InputShift},  {NP_B, dma::Target::Variables}};
  for (size_t k = 0; k < blocks.size(); ++k) {
    EXPECT_EQ(blocks[k].ident, expected[k].first) << k;
    EXPECT_EQ(blocks[k].target, expected[k].second) << k;
    EXPECT_EQ(blocks[k].parameter, 0) << k;
    EXPECT_EQ(blocks[k].track, 0u) << k;
  }
  EXPECT_EQ(blocks[1].words, format_conv2d_cnp_weights(*weights, 0, 8, 8));
  EXPECT_EQ(blocks[5].words, format_conv2d_cnp_weights(*weights, 8, 2, 8));
  EXPECT_EQ(blocks[2].words, (std::vector<uint32_t>{0x04030201, 0}));
  EXPECT_EQ(blocks[6].words, shifts);  // every NP gets all the input shifts
  ASSERT_EQ(blocks[3].words.size(), 16u);
  EXPECT_EQ(blocks[3].words[0], 0x0000FB01u);   // scale 1, bias -5
  EXPECT_EQ(blocks[3].words[1], 200u);          // max value
  ASSERT_EQ(blocks[7].words.size(), 4u);
  EXPECT_EQ(blocks[7].words[0], 0x00000309u);   // channel 8: scale 9, bias 3
  EXPECT_EQ(blocks[7].words[1], 192u);
}

TEST_F(ConvRecorderTest, RegistersOnlyAndExcludedNps) {
  ConvModel m(LayerType::Conv2D, conv_params(), 8, 2);
  fill_sample(m);
  const std::vector<Block> only = blocks_of(*record(m, true));
  ASSERT_EQ(only.size(), 2u);
  EXPECT_EQ(only[0].ident, NP_A);
  EXPECT_EQ(only[1].ident, NP_B);
  for (const Block& b : only) {
    EXPECT_EQ(b.target, dma::Target::NpRegisters);
    EXPECT_EQ(b.words[3] >> 24, 0xFEu);  // the NP number of an NP the pass does not use
    EXPECT_EQ(b.words[52], 0u);          // no merge fields
  }
  const std::vector<Block> excluded = blocks_of(*record(m, false, {NP_A}));
  ASSERT_EQ(excluded.size(), 4u);
  for (const Block& b : excluded) EXPECT_EQ(b.ident, NP_B);
  EXPECT_TRUE(blocks_of(*record(m, false, {NP_A, NP_B})).empty());
}

TEST_F(ConvRecorderTest, PassFlagsAndPartialReconfiguration) {
  ConvModel m(LayerType::Conv2D, conv_params(), 8, 2);
  ConvModel next(LayerType::Conv2D, conv_params(), 8, 2);
  // The next pass reuses NP_B only.
  next.mapping->nps->erase(next.mapping->nps->begin());
  next.mapping->input_index = 6;
  const RegisterMap regs = format_conv2d_np_registers(*m.layer, next.layer, true, true, {}, false, false);
  EXPECT_EQ(regs.at(NP_A)[2], 0x88u);  // input-buffer spikes
  EXPECT_EQ(regs.at(NP_A)[32], 0u);
  EXPECT_EQ(regs.at(NP_B)[32], 0x06000035u);
  EXPECT_EQ(regs.at(NP_B)[44], 0xFF08800Du);  // end of pass in bits 2 and 15
  EXPECT_EQ(regs.at(NP_A)[44], 0xFF08000Du);
}

TEST_F(ConvRecorderTest, WrongKindAndUnmappedLayer) {
  auto params = conv_params();
  params.erase("filters");
  ConvModel dw(LayerType::DepthwiseConv2D, params, 2, 2);
  EXPECT_THAT([&] { record(dw); }, ThrowsMessage<std::runtime_error>("Invalid layer type for CNP recording."));
  EXPECT_THAT([&] { record_program_transposed_conv2d_layer(device_, *dw.layer, nullptr, false, false, {}, false, false); }, ThrowsMessage<std::runtime_error>("Invalid layer type for CNP recording."));
  std::dynamic_pointer_cast<LayerImpl>(dw.layer)->set_mapping(nullptr);
  EXPECT_THAT([&] { record_program_dwconv2d_layer(device_, *dw.layer, nullptr, false, false, {}, false, false); }, ThrowsMessage<std::runtime_error>("Layer 'conv' is not mapped."));
}

TEST_F(ConvRecorderTest, LookupTables) {
  auto params = conv_params();
  params["activation"] = 2;
  ConvModel m(LayerType::Conv2D, params, 8, 2);
  auto lut = m.variable("lut_values");
  for (size_t k = 0; k < lut->size(); ++k) lut->mutable_data_as<int32_t>()[k] = static_cast<int32_t>(k) - 1024;
  const std::vector<Block> blocks = blocks_of(*record(m));
  ASSERT_EQ(blocks.size(), 10u);
  EXPECT_EQ(blocks[4].target, dma::Target::LookUpTable);
  EXPECT_EQ(blocks[4].words, format_lut_values_for_cnp(lut.get()));
  EXPECT_EQ(blocks[9].target, dma::Target::LookUpTable);
  // Without a lookup-table activation there is no lookup table, whatever the variables hold.
  ConvModel relu(LayerType::Conv2D, conv_params(), 8, 2);
  EXPECT_EQ(blocks_of(*record(relu)).size(), 8u);
}

TEST_F(ConvRecorderTest, DepthwiseNpsGetTheirOwnChannels) {
  auto params = conv_params();
  params.erase("filters");
  ConvModel m(LayerType::DepthwiseConv2D, params, 3, 1);
  m.fill<int8_t>("weights", [](size_t k) { return static_cast<int8_t>(k + 1); });
  m.fill<uint8_t>("input_shift", [](size_t k) { return static_cast<uint8_t>(k + 1); });
  const std::vector<Block> blocks =
      blocks_of(*record_program_dwconv2d_layer(device_, *m.layer, nullptr, false, false, {}, false, false));
  ASSERT_EQ(blocks.size(), 8u);
  EXPECT_EQ(blocks[1].target, dma::Target::Weights);
  EXPECT_EQ(blocks[1].words, format_depthwise_conv_cnp_weights(*m.variable("weights"), 0, 3, 8));
  EXPECT_EQ(blocks[2].words, (std::vector<uint32_t>{0x00030201, 0}));
  EXPECT_EQ(blocks[6].words, (std::vector<uint32_t>{0x00000004, 0}));
  const RegisterMap regs = format_dwconv2d_np_registers(*m.layer, nullptr, false, false, {}, false, false);
  // Part of the channels: channel group enable, cut origin and size; depthwise bit.
  EXPECT_EQ(regs.at(NP_A)[3] & 0x404u, 0x404u);
  EXPECT_EQ(regs.at(NP_A)[22], 0x00030000u);
  EXPECT_EQ(regs.at(NP_B)[22], 0x00010003u);
  EXPECT_EQ(regs.at(NP_A)[11] >> 12, 3u);         // 3 channels of kernel 3
  EXPECT_EQ(regs.at(NP_A)[28], 0x00300002u);      // 2 words a row, 4 x 2 x 6 words
  EXPECT_EQ(regs.at(NP_A)[29], 0x00010000u);
  EXPECT_EQ(regs.at(NP_A)[21], 0u);
}

TEST_F(ConvRecorderTest, TransposedLayers) {
  auto params = conv_params();
  params["kernel_size"] = 4;
  ConvModel m(LayerType::Conv2DTranspose, params, 8, 2);
  const std::vector<Block> blocks =
      blocks_of(*record_program_transposed_conv2d_layer(device_, *m.layer, nullptr, false, false, {}, false, false));
  ASSERT_EQ(blocks.size(), 8u);
  EXPECT_EQ(blocks[1].target, dma::Target::Weights);
  const RegisterMap regs = format_transposed_conv2d_np_registers(*m.layer, nullptr, false, false, {}, false, false);
  const RegisterBlock& a = regs.at(NP_A);
  EXPECT_EQ(a[20], 0x40000200u);  // kernel 4, transposed, stride 1
  EXPECT_EQ(a[27], 0x11u);        // no pooling
  EXPECT_EQ(a[11] >> 12, 12u);    // 12 words a channel container
  EXPECT_EQ(a[11] & 0xFF, 32u);   // twice the partition width
}

// ---- Variables a recording needs

using FakeConv = testing::FakeLayerT<Conv2D>;

std::shared_ptr<FakeConv> fake_conv(FakeGraph* g, std::shared_ptr<LayerMapping> mapping) {
  auto l = g->add<Conv2D>("fake", LayerType::Conv2D, hw::TargetKind::CNP);
  l->inputs = {Shape{8, 6, 4}};
  l->output = Shape{8, 6, 2};
  for (auto [k, v] : conv_params()) l->set(k, v);
  l->set("filters", 2);
  l->activation_on = true;
  l->act = ActivationType::ReLU;
  l->conv.output_width = 8;
  l->conv.output_height = 6;
  l->conv.padding = PaddingParams{1, 1, 1, 1};
  l->pool_params.stride_x = l->pool_params.stride_y = 1;
  l->set_variable("weights", testing::make_weights(3, 4, 2, [](uint32_t, uint32_t, uint32_t, uint32_t) { return 1; }));
  l->set_variable("input_shift", make_vector<uint8_t>(TensorType::uint8, {0, 0, 0, 0}));
  *mapping->nps = {cnp(NP_A, 0, 2, NpSpace(0, 0, Shape{8, 6, 4}), NpSpace(0, 0, Shape{8, 6, 4}))};
  mapping->sources.push_back(std::make_shared<LayerMapping::ComponentList>(LayerMapping::ComponentList{dma(DMA_IN)}));
  mapping->destinations.push_back(
      std::make_shared<LayerMapping::ComponentList>(LayerMapping::ComponentList{dma(DMA_OUT)}));
  mapping->output_to_dma = true;
  l->set_mapping(mapping);
  return l;
}

TEST_F(ConvRecorderTest, MissingVariablesNameTheLayerAndTheVariable) {
  FakeGraph g;
  auto mapping = std::make_shared<LayerMapping>(1);
  auto l = fake_conv(&g, mapping);
  EXPECT_EQ(blocks_of(*record_program_conv2d_layer(device_, *l, nullptr, false, false, {}, false, false)).size(), 4u);

  l->vars->tensors.erase("input_shift");
  EXPECT_THAT([&] { record_program_conv2d_layer(device_, *l, nullptr, false, false, {}, false, false); }, ThrowsMessage<std::runtime_error>("Layer 'fake' has no variable \"input_shift\""));
  // Registers alone need no input shift.
  EXPECT_EQ(blocks_of(*record_program_conv2d_layer(device_, *l, nullptr, false, false, {}, true, false)).size(), 1u);
  l->set_variable("input_shift", make_vector<uint8_t>(TensorType::uint8, {0, 0, 0, 0}));

  auto weights = l->vars->tensors["weights"];
  l->vars->tensors.erase("weights");
  EXPECT_THAT([&] { record_program_conv2d_layer(device_, *l, nullptr, false, false, {}, true, false); }, ThrowsMessage<std::runtime_error>("Layer 'fake' has no variable \"weights\""));
  l->set_variable("weights", weights);

  l->act = ActivationType::LUT;
  EXPECT_THAT([&] { record_program_conv2d_layer(device_, *l, nullptr, false, false, {}, false, false); }, ThrowsMessage<std::runtime_error>("Layer 'fake' has no variable \"lut_values\""));
  l->set_variable("lut_values", make_vector<int32_t>(TensorType::int32, std::vector<int32_t>(2047, 0)));
  EXPECT_THAT([&] { record_program_conv2d_layer(device_, *l, nullptr, false, false, {}, false, false); }, ThrowsMessage<std::runtime_error>("Wrong size for LUT."));
}

TEST_F(ConvRecorderTest, MergeShiftsAndSkipDma) {
  FakeGraph g;
  auto mapping = std::make_shared<LayerMapping>(1);
  auto l = fake_conv(&g, mapping);
  hw::Component load(hw::Type::SKIP_DMA_LOAD);
  load.ident = hw::Ident(0, 3, 0, 1);
  mapping->skipdma_loads = {load};
  mapping->load_channel_info = std::make_unique<LoadChannelInfo>();
  mapping->merge_info = std::make_unique<MergeLayerMapInfo>();
  mapping->merge_info->is_add = true;
  mapping->merge_info->channel = 10;
  mapping->merge_info->a_shift = make_vector<uint8_t>(TensorType::uint8, {2, 5});
  mapping->merge_info->b_shift = make_vector<uint8_t>(TensorType::uint8, {5, 2});
  EXPECT_THAT([&] { record_program_conv2d_layer(device_, *l, nullptr, false, false, {}, false, false); }, ThrowsMessage<std::runtime_error>("Layer 'fake' has no variable \"output_shift\" from its Add inbound"));
  mapping->merge_info->output_shift = make_vector<int8_t>(TensorType::int8, {-3, -8});

  const std::vector<Block> blocks =
      blocks_of(*record_program_conv2d_layer(device_, *l, nullptr, false, false, {}, false, false));
  ASSERT_EQ(blocks.size(), 10u);
  EXPECT_EQ(blocks[4].target, dma::Target::MergeShifts);
  EXPECT_EQ(blocks[4].words, (std::vector<uint32_t>{0x53A3}));
  // The load channel's writes come last, in address order, on the load engine.
  const uint16_t addresses[] = {0x0103, 0x0128, 0x1001, 0x1104, 0x112B};
  for (size_t k = 0; k < 5; ++k) {
    EXPECT_EQ(blocks[5 + k].ident, load.ident);
    EXPECT_EQ(blocks[5 + k].target, dma::Target::SkipDmaRegisters);
    EXPECT_EQ(blocks[5 + k].parameter, addresses[k]);
  }
  EXPECT_EQ(blocks[8].words, (std::vector<uint32_t>{0x01010012, 0x0A00, 0x0A0A0001}));
  // The register block carries the merge.
  EXPECT_EQ(blocks[0].words[52], 0x000A0097u);
  EXPECT_EQ(blocks[0].words[56], 0x00800008u);

  // A merge that is not an Add has no merge shifts.
  mapping->merge_info->is_add = false;
  EXPECT_EQ(blocks_of(*record_program_conv2d_layer(device_, *l, nullptr, false, false, {}, false, false)).size(), 9u);
  // Registers only: no skip DMA either.
  EXPECT_EQ(blocks_of(*record_program_conv2d_layer(device_, *l, nullptr, false, false, {}, true, false)).size(), 1u);
}

// The v2 recorders behind the program serializer: a one-pass program of one convolution.
TEST_F(ConvRecorderTest, SerializedProgramOfOneLayer) {
  ConvModel m(LayerType::Conv2D, conv_params(), 8, 2);
  fill_sample(m);
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  const LayerRecorderImpl layers(device_, limits);
  const IoRecorderImpl io(device_);
  SequenceSerializer serializer(layers, io);
  serializer.serialize_version(device_.version());
  EXPECT_EQ(serializer.serialize_scc_program(false, false, false, false, false, Shape{8, 6, 4}, Shape{8, 6, 10}), 1u);
  EXPECT_EQ(serializer.serialize_layer_program(*m.input, *m.input, nullptr, false, false, {}, false, false), 0u);
  EXPECT_EQ(serializer.serialize_layer_program(*m.layer, *m.layer, nullptr, false, false, {}, false, false), 1u);
  serializer.finalize_pass();
  serializer.serialize_epg_tracks(*m.layer, 1, 2, 3, false, false, false);
  serializer.record_dummy_desc_hdr(false);
  auto pass = std::make_shared<Sequence::Pass>();
  pass->layers = {m.input, m.layer};
  std::vector<uint8_t> program;
  serializer.finalize({.version = "1.0",
                       .input_shape = Shape{8, 6, 4},
                       .output_shape = Shape{8, 6, 10},
                       .output_bits = 8,
                       .output_flag = true,
                       .descriptors_per_pass = 1,
                       .input_bits = 8},
                      {pass}, &program);
  const ProgramInfo info(program.data(), program.size());
  // The program data holds at least the layer's words.
  size_t words = 0;
  const auto record = layers.record_layer(*m.layer, *m.layer, nullptr, false, false, {}, false, false);
  for (const auto& track : record->tracks()) words += track.size();
  // Per NP, each block with its two header words: registers, weights (4 channels of 18 words),
  // input shifts, variables (8 and 2 channels).
  EXPECT_EQ(words, (66u + 74 + 4 + 18) + (66u + 74 + 4 + 6));
  EXPECT_GE(program_data_memory_required(info), 4 * words);
}

TEST_F(ConvRecorderTest, RecordingErrorsBecomeMappingFailures) {
  FakeGraph g;
  auto mapping = std::make_shared<LayerMapping>(1);
  auto l = fake_conv(&g, mapping);
  l->vars->tensors.erase("weights");
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  const LayerRecorderImpl layers(device_, limits);
  const IoRecorderImpl io(device_);
  SequenceSerializer serializer(layers, io);
  serializer.serialize_version(device_.version());
  EXPECT_THAT([&] { serializer.serialize_layer_program(*l, *l, nullptr, false, false, {}, false, false); }, ThrowsMessage<std::runtime_error>("Cannot map layer 'fake'. Error: Layer 'fake' has no variable \"weights\"."));
}

}  // namespace
}  // namespace ovrix::v2
