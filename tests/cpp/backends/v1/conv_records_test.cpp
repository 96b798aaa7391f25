// The records of mapped v1 convolutions: which blocks each NP gets and in which order, what skipped NPs
// and registers-only recording leave out, the separable pointwise offset, the threshold words, the
// weight sizes the checks read, and that a refused value fails the whole record.
#include <gtest/gtest.h>

#include "backends/v1/cnp_sizes.h"
#include "backends/v1/conv_recording.h"
#include "backends/v1/mesh_registers.h"
#include "backends/v1/np_registers.h"
#include "backends/v1/sep_conv_recording.h"
#include "engine/dma.h"
#include "mapping/hardware_constraints.h"
#include "mapping/mesh.h"
#include "support/fakes.h"
#include "support/message_of.h"
#include "support/v1_cnp_layers.h"
#include "support/v1_table.h"
#include "support/v1_tensors.h"

namespace ovrix::v1 {
namespace {

// One DMA block of a record: NP, target, header parameter and payload.
struct Block {
  hw::Ident np;
  uint32_t target;
  uint32_t parameter;
  std::vector<uint32_t> words;
};

std::vector<Block> blocks(const program::Record& record) {
  std::vector<Block> out;
  for (const auto& track : record.tracks()) {
    const auto& w = track.words();
    for (size_t i = 0; i < w.size();) {
      Block b;
      b.np = hw::Ident(uint8_t(w[i]), uint8_t(w[i] >> 8), uint8_t(w[i] >> 16), 0);
      const bool xl = (w[i] >> 31) != 0;
      b.parameter = w[i + 1] & 0xFFFF;
      b.target = w[i + 1] >> 28;
      const uint32_t size = ((w[i + 1] >> 16) & 0xFFF) * (xl ? 16 : 1);
      b.words.assign(w.begin() + i + 2, w.begin() + i + 2 + size);
      out.push_back(std::move(b));
      i += 2 + size;
    }
  }
  return out;
}

std::string layout(const std::vector<Block>& bs) {
  std::string s;
  for (const auto& b : bs)
    s += (s.empty() ? "" : " ") + std::to_string(b.np.col) + "." + std::to_string(b.np.row) + "." +
         std::to_string(b.np.id) + ":" + std::to_string(b.target) + "/" + std::to_string(b.words.size()) +
         (b.parameter ? "@" + std::to_string(b.parameter) : "");
  return s;
}

const test_support::FakeDevice& device() {
  static const test_support::FakeDevice d(HwVersion(0xBC, 0xA1, 3, 6),
                                          Mesh(IpVersion::v1, hw::Ident(), hw::Ident(1, 0, 0), std::nullopt, {}, {}));
  return d;
}

// Two NPs splitting 12 filters of a 3x3 layer over a 6x6x2 input, thresholds and steps set.
const char* kTwoNps =
    "in=6x6x2 ib=2 k=3 pad=1 f=12 wb=2 act=1 ab=2 index=2 out=3 src=1.0.0 dst=3.0.0 "
    "np=2.0.0/0,0,6x6x2/0,0,6x6x2/0/8 np=2.0.1/0,0,6x6x2/0,0,6x6x2/8/4";

testing::MappedLayers two_np_layer(const std::string& kind, const std::vector<int>& weights = {1, 0, -1}) {
  auto keys = testing::keys_of(testing::split(std::string(kTwoNps) + " kind=" + kind));
  auto layers = testing::mapped_layers(keys);
  auto vars = layers.layer->variables();
  if (kind == "sep") {
    vars->set("weights", testing::filled(TensorType::int2, Shape{1, 2, 3, 3}, weights));
    vars->set("weights_pw", testing::filled(TensorType::int2, Shape{12, 2}, weights));
  } else {
    vars->set("weights", testing::filled(TensorType::int2, Shape{12, 2, 3, 3}, weights));
  }
  vars->set("threshold", testing::filled(TensorType::int32, Shape{12}, {5, -3, 100}));
  vars->set("act_step", testing::filled(TensorType::float32, Shape{12}, {1, 2, 3}));
  return layers;
}

TEST(V1ConvRecords, BlocksPerNpInMappingOrder) {
  const auto layers = two_np_layer("conv");
  const auto all = blocks(*record_program_conv_layer(device(), *layers.layer, nullptr, false, false, {}, false));
  // 2-bit 3x3 weights: 16 words per channel; thresholds: two words per filter.
  EXPECT_EQ(layout(all), "2.0.0:7/50 2.0.0:0/32 2.0.0:4/16 2.0.1:7/50 2.0.1:0/32 2.0.1:4/8");
  // Filters 8..11 of the second NP: thresholds 100, 5, -3, 100 with steps 3, 1, 2, 3 (in sixteenths).
  EXPECT_EQ(all[5].words, (std::vector<uint32_t>{100, 48, 5, 16, 0xFFFFD, 32, 100, 48}));
  EXPECT_EQ(layout(blocks(*record_program_conv_layer(device(), *layers.layer, nullptr, false, false, {}, true))),
            "2.0.0:7/50 2.0.1:7/50");
  EXPECT_EQ(layout(blocks(*record_program_conv_layer(device(), *layers.layer, nullptr, false, false,
                                                     {hw::Ident(2, 0, 0)}, false))),
            "2.0.1:7/50 2.0.1:0/32 2.0.1:4/8");
}

TEST(V1ConvRecords, SeparableBlocks) {
  const auto layers = two_np_layer("sep");
  const auto all = blocks(*record_program_sep_conv_layer(device(), *layers.layer, nullptr, false, false, {}, false));
  // Depthwise 2-bit 3x3: two channels share a slot (2 words); pointwise after it, at 16-word unit 1.
  EXPECT_EQ(layout(all),
            "2.0.0:7/50 2.0.0:0/2 2.0.0:0/4@1 2.0.0:4/16 2.0.1:7/50 2.0.1:0/2 2.0.1:0/4@1 2.0.1:4/8");
  EXPECT_EQ(all[1].words, all[5].words);
  EXPECT_NE(all[2].words, all[6].words);
  EXPECT_EQ(layout(blocks(*record_program_sep_conv_layer(device(), *layers.layer, nullptr, false, false, {}, true))),
            "2.0.0:7/50 2.0.1:7/50");
}

TEST(V1ConvRecords, RefusedValuesFailTheRecord) {
  const auto layers = two_np_layer("conv", {1, 0, -2});
  EXPECT_EQ(test_support::message_of(
                [&] { record_program_conv_layer(device(), *layers.layer, nullptr, false, false, {}, false); }),
            "Backend hardware(CNP): weight -2 of filter 0, channel 0, row 0, column 2 does not fit the 2-bit weight "
            "layout (-1 to 1).");
  const auto steps = two_np_layer("conv");
  steps.layer->variables()->set("act_step", testing::filled(TensorType::float32, Shape{12}, {1, 70000}));
  EXPECT_EQ(test_support::message_of(
                [&] { record_program_conv_layer(device(), *steps.layer, nullptr, false, false, {}, false); }),
            "Backend hardware(CNP): act_step should be between 0 and 65535. Receives act_step 70000.");
  EXPECT_THROW(record_program_sep_conv_layer(device(), *steps.layer, nullptr, false, false, {}, false), std::bad_cast);
}

TEST(V1ConvRecords, WeightSizesAndFit) {
  const auto conv = two_np_layer("conv");
  const auto sep = two_np_layer("sep");
  EXPECT_EQ(get_weights_size(*conv.layer, 12), 32u);  // 2 channels x 16 words
  // Depthwise 16 words (rounded), pointwise 2 channels x 2 slots x 2 words.
  EXPECT_EQ(get_weights_size(*sep.layer, 12), 16u + 2u * 2u * 2u);
  HardwareConstraints limits;
  limits.cnp_weight_limit = 16;
  EXPECT_TRUE(check_weights_size_fit_cnp(limits, *conv.layer, 12));
  limits.cnp_weight_limit = 15;
  EXPECT_FALSE(check_weights_size_fit_cnp(limits, *conv.layer, 12));
  // Past the normal header's reach the size is rounded to 16 words.
  const uint32_t before = dma::xl_threshold();
  dma::set_xl_threshold(16);
  EXPECT_EQ(get_weights_size(*sep.layer, 12), 32u);
  EXPECT_EQ(get_weights_size(*conv.layer, 12), 32u);
  dma::set_xl_threshold(before);
  // The standard layout's words per channel must fit a 10-bit field in units of 4.
  limits.cnp_weight_limit = 0xFFFFFFFF;
  EXPECT_TRUE(check_weights_size_fit_cnp(limits, *conv.layer, 5096));
  EXPECT_FALSE(check_weights_size_fit_cnp(limits, *conv.layer, 5097));
}

TEST(V1ConvRecords, SizeQuestionsOnOtherLayers) {
  auto input = LayerParams::create(LayerType::InputData, {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}});
  const auto layer = Layer::create(input.get(), "in");
  EXPECT_EQ(test_support::message_of([&] { get_weights_size(*layer, 1); }), "Unexpected layer type for CNP");
  auto conv = LayerParams::create(LayerType::Convolutional, {{"filters", 4}});
  const auto unbuilt = Layer::create(conv.get(), "c");
  EXPECT_EQ(test_support::message_of([&] { get_weights_size(*unbuilt, 1); }), "Cannot get input size before it is set.");
}

}  // namespace
}  // namespace ovrix::v1

namespace ovrix::v1 {
namespace {

// The partial-reconfiguration words for a dense layer that follows on an FNP: its whole input, and at
// least 0x2501 input words unless word 1 bit 4 says otherwise.
TEST(V1PartialReconfiguration, DenseLayerNext) {
  auto model = Model::create();
  auto input = LayerParams::create(LayerType::InputData,
                                   {{"input_width", 5}, {"input_height", 4}, {"input_channels", 3}, {"input_bits", 4}});
  model->add(Layer::create(input.get(), "input"));
  auto dense = LayerParams::create(LayerType::FullyConnected, {{"units", 4}});
  const auto fc = Layer::create(dense.get(), "fc");
  model->add(fc);
  auto mapping = std::make_shared<LayerMapping>(uint8_t{1});
  hw::Component np(hw::Type::FNP3);
  np.ident = hw::Ident(3, 1, 2);
  mapping->nps->push_back(np);
  mapping->input_index = 9;
  dynamic_cast<LayerImpl&>(*fc).set_mapping(mapping);

  std::vector<uint32_t> regs = default_np_regs();
  std::vector<uint32_t> expected = regs;
  update_partial_reconfig_regs(&regs, *fc, np);
  expected[32] = 0x09000027;
  expected[34] = 0x00050004;
  expected[35] = 20;
  expected[4] = expected[14] = 0x2501;
  EXPECT_EQ(regs, expected);

  regs = default_np_regs();
  regs[1] = 0x10;
  regs[14] = 0xFFFC0001;  // bits 18-31 are kept
  update_partial_reconfig_regs(&regs, *fc, np);
  EXPECT_EQ(regs[4], 2u);  // (5 x 4 x 3 + 31) / 32
  EXPECT_EQ(regs[14], 0xFFFC0002u);
}

}  // namespace
}  // namespace ovrix::v1
