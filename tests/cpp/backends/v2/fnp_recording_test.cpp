// Recording of v2 dense layers on FNP3 and FNP2 NPs: register words, block order, the FNP2 filters
// track, registers-only and excluded NPs, width refusals.
#include "backends/v2/fnp_recording.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/v2/compatibility_checker.h"
#include "backends/v2/default_regs.h"
#include "backends/v2/layer_recorder.h"
#include "backends/v2/memory_sizer.h"
#include "backends/v2/shift_lut.h"
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
using testing::make_matrix;
using testing::make_tensor;
using testing::make_vector;
using testing::mapping_of_nps;
using testing::np_component;
using testing::overflow_message;
using testing::v2_mesh;

const hw::Ident CNP_IN(1, 1, 0);
const hw::Ident FNP(2, 1, 0);
const hw::Ident DMA_OUT(0, 2, 1);

// The FNP3 RAM and input shifts of the layer below (aligned rows of 5 x 2 x 3, two neurons).
const std::vector<uint32_t> RAM = {0x03C802FD, 0x0000FF09, 0x130D0701, 0x00000019, 0x140E0802, 0x0000001A,
                                   0x150F0903, 0x0000001B, 0x16100A04, 0x0000001C, 0x17110B05, 0x0000001D,
                                   0x18120C06, 0x0000001E, 0x1F110705, 0x000004FF, 0xEDF3F9FF, 0x000000E7,
                                   0xECF2F8FE, 0x000000E6, 0xEBF1F7FD, 0x000000E5, 0xEAF0F6FC, 0x000000E4,
                                   0xE9EFF5FB, 0x000000E3, 0xE8EEF4FA, 0x000000E2};
const std::vector<uint32_t> SHIFTS = {0x130D0701, 0x00000019, 0x140E0802, 0x0000001A, 0x150F0903, 0x0000001B,
                                      0x16100A04, 0x0000001C, 0x17110B05, 0x0000001D, 0x18120C06, 0x0000001E};

class DenseRecorderTest : public ::testing::Test {
 protected:
  DenseRecorderTest()
      : device_(v2_mesh(2)), limits_(compute_hardware_constraints(IpVersion::v2, SramSize_v2)) {
    conv_ = g_.add("conv", LayerType::Conv2D, hw::TargetKind::CNP);
    dense_ = g_.add("dense", LayerType::Dense1D, hw::TargetKind::FNP);
    testing::connect(conv_, dense_);
    dense_->inputs = {Shape{5, 2, 3}};
    dense_->output = Shape{1, 1, 2};
    dense_->activation_on = true;
    dense_->act = ActivationType::ReLU;
    dense_->set("weights_bits", 8);
    dense_->set("activation", 1);
    dense_->set_variable("weights", make_matrix(30, 2, [](uint32_t i, uint32_t k) { return int(i + 1) * (k ? -1 : 1); }));
    dense_->set_variable("input_shift", make_tensor<uint8_t>(TensorType::uint8, Shape{30},
                                                             [](size_t k) { return uint8_t(k + 1); }));
    dense_->set_variable("bias", make_vector<int8_t>(TensorType::int8, {-3, 5}));
    dense_->set_variable("bias_shift", make_vector<uint8_t>(TensorType::uint8, {2, 7}));
    dense_->set_variable("max_value", make_vector<uint8_t>(TensorType::uint8, {200, 17}));
    dense_->set_variable("max_value_shift", make_vector<uint8_t>(TensorType::uint8, {3, 31}));
    dense_->set_variable("output_scales", make_vector<uint8_t>(TensorType::uint8, {9, 255}));
    dense_->set_variable("output_shift", make_vector<int8_t>(TensorType::int8, {-1, 4}));
    map_on(hw::Type::FNP3);
  }
  ~DenseRecorderTest() override { dense_->set_mapping(nullptr); }

  void map_on(hw::Type type) {
    mapping_ = mapping_of_nps({np_component(type, FNP, 0, 2, Shape{1, 1, 2}, Shape{5, 2, 3})},
                              {component(hw::Type::CNP2, CNP_IN)}, {component(hw::Type::DMA, DMA_OUT)});
    mapping_->output_index = 3;
    mapping_->output_to_dma = true;
    dense_->set_mapping(mapping_);
  }

  // Recorded as a layer inside its sequence (its input laid out as the CNP gives it) unless `first`.
  std::unique_ptr<program::Record> record(bool first = false, bool registers_only = false,
                                          std::vector<hw::Ident> excluded = {}, bool starts_pass = false,
                                          std::shared_ptr<Layer> next = nullptr) {
    return record_program_dense1d_layer(device_, limits_, *dense_, first ? *dense_ : *conv_, std::move(next),
                                        starts_pass, false, excluded, registers_only);
  }

  FakeGraph g_;
  FakeDevice device_;
  HardwareConstraints limits_;
  std::shared_ptr<FakeLayer> conv_;
  std::shared_ptr<FakeLayer> dense_;
  std::shared_ptr<LayerMapping> mapping_;
};

RegisterBlock expected_fnp3_registers() {
  RegisterBlock r = default_np_regs(0, 1, false, false);
  r[1] = 0x01000030;   // FNP mode, FNP3
  r[3] = 0x0101B0B3;   // NP number 1; 8-bit inputs, weights, outputs; ReLU
  r[10] = 0x00050002;  // width 5, height 2
  r[11] = 0x00008000;  // rows of 8 bytes
  r[14] = 0xA000000C;  // 12 words of input memory
  r[15] = 0x000E0002;  // 2 neurons of 14 words
  r[17] = 0x0010001C;  // 28 words of RAM in the FNP3's SRAM
  r[28] = 0x00080006;  // rows of 8 bytes, groups of 6 words
  r[44] = 0xFF080009;  // output point to point towards the DMA
  r[45] = 0x03200002;
  r[46] = 0x00000101;  // input from column 1
  r[47] = 0x00000200;  // columns 0 to 2
  return r;
}

TEST_F(DenseRecorderTest, Fnp3RegistersShiftsAndRamInOrder) {
  const auto rec = record();
  EXPECT_EQ(rec->hw_version(), hw_versions::Proteo_v2);
  EXPECT_EQ(rec->fnp2_filters_track(), nullptr);
  const std::vector<Block> blocks = blocks_of(*rec);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].target, dma::Target::NpRegisters);
  EXPECT_EQ(blocks[0].words, expected_fnp3_registers());
  EXPECT_EQ(blocks[1].target, dma::Target::InputShift);
  EXPECT_EQ(blocks[1].words, SHIFTS);
  EXPECT_EQ(blocks[2].target, dma::Target::Fnp3WeightMemory);
  EXPECT_EQ(blocks[2].words, RAM);
  for (const Block& b : blocks) {
    EXPECT_EQ(b.ident, FNP);
    EXPECT_EQ(b.parameter, 0);
    EXPECT_EQ(b.track, 0u);
  }
}

TEST_F(DenseRecorderTest, Fnp2KeepsItsRamInTheFiltersTrack) {
  map_on(hw::Type::FNP2);
  const auto rec = record();
  const std::vector<Block> blocks = blocks_of(*rec);
  ASSERT_EQ(blocks.size(), 2u);
  RegisterBlock expected = expected_fnp3_registers();
  expected[1] = 0x00000030;  // not an FNP3
  expected[17] = 0x00000005;
  EXPECT_EQ(blocks[0].words, expected);
  EXPECT_EQ(blocks[1].words, SHIFTS);
  ASSERT_NE(rec->fnp2_filters_track(), nullptr);
  EXPECT_EQ(rec->fnp2_filters_track()->np, FNP);
  EXPECT_EQ(rec->fnp2_filters_track()->words, RAM);
}

TEST_F(DenseRecorderTest, FirstLayerOfTheSequenceTakesItsInputFlat) {
  const std::vector<Block> blocks = blocks_of(*record(true));
  ASSERT_EQ(blocks.size(), 3u);
  const RegisterBlock& r = blocks[0].words;
  EXPECT_EQ(r[10], 0x00010001u);  // 1 x 1 x 30
  EXPECT_EQ(r[11], 0u);
  EXPECT_EQ(r[28], 0u);
  EXPECT_EQ(r[14], 0xA0000008u);  // 30 bytes of input
  EXPECT_EQ(r[15], 0x000A0002u);  // neurons of 8 + 2 words
  EXPECT_EQ(blocks[1].words, format_input_shift(*dense_->vars->get("input_shift")));
  ASSERT_EQ(blocks[2].words.size(), 20u);
  EXPECT_EQ(blocks[2].words[2], 0x04030201u);  // weights of inputs 0 to 3 in flat order
}

TEST_F(DenseRecorderTest, RegistersOnlyExcludedNpsAndPassFlags) {
  const std::vector<Block> only = blocks_of(*record(false, true));
  ASSERT_EQ(only.size(), 2u);
  EXPECT_EQ(only[0].target, dma::Target::NpRegisters);
  EXPECT_EQ(only[0].words[3] >> 24, 0xFEu);
  EXPECT_EQ(only[1].target, dma::Target::InputShift);

  const auto excluded = record(false, false, {FNP});
  EXPECT_TRUE(excluded->tracks().empty());
  EXPECT_EQ(excluded->fnp2_filters_track(), nullptr);

  const std::vector<Block> starting = blocks_of(*record(false, false, {}, true));
  EXPECT_EQ(starting[0].words[2], 0x88u);  // input buffer receives spikes

  // A next layer on the same FNP gets its partial-reconfiguration words.
  auto next = g_.add("next", LayerType::Dense1D, hw::TargetKind::FNP);
  next->inputs = {Shape{1, 1, 2}};
  next->set("weights_bits", 8);
  auto next_mapping = mapping_of_nps({np_component(hw::Type::FNP3, FNP, 0, 1, Shape{1, 1, 1}, Shape{1, 1, 2})},
                                     {component(hw::Type::FNP3, FNP)}, {component(hw::Type::DMA, DMA_OUT)});
  next->set_mapping(next_mapping);
  const std::vector<Block> reconfigured = blocks_of(*record(false, false, {}, false, next));
  EXPECT_EQ(reconfigured[0].words[32] & 0x7u, 0x7u);  // enabled, FNP mode, valid
  EXPECT_EQ(reconfigured[0].words[34], 0x00010001u);  // 1 x 1
}

TEST_F(DenseRecorderTest, WidthRefusalsComeBeforeAnyBlock) {
  struct Case {
    uint8_t in, weights, out;
    const char* message;
  };
  const Case cases[] = {
      {2, 8, 8, "Wrong input_bits at FNP recording."},
      {8, 2, 8, "Wrong weight bitwidth at FNP recording."},
      {8, 8, 2, "Wrong output bitwidth at FNP recording."},
      {8, 8, 33, "Wrong output bitwidth at FNP recording."},
      {2, 2, 2, "Wrong input_bits at FNP recording."},
      {8, 2, 33, "Wrong weight bitwidth at FNP recording."},
  };
  for (const Case& c : cases) {
    RegisterBlock regs = default_np_regs(0, 1, false, false);
    const RegisterBlock before = regs;
    EXPECT_THAT([&] {
          format_fnp_registers(limits_, &regs, hw::Type::FNP3, c.in, c.out, false, Shape{1, 1, 4}, false,
                               *make_matrix(4, 1, [](uint32_t, uint32_t) { return 1; }), c.weights, INPUT_PADDING_FLAT);
        }, ThrowsMessage<std::runtime_error>(c.message));
    EXPECT_EQ(regs, before);
  }
  dense_->out_bits = 2;
  EXPECT_THAT([&] { record(); }, ThrowsMessage<std::runtime_error>("Wrong output bitwidth at FNP recording."));
}

struct WordCase {
  uint8_t in, weights, out;
  bool activation;
  uint32_t word3_low;  // bits 0-23
};

class FnpWord3 : public ::testing::TestWithParam<WordCase> {};

TEST_P(FnpWord3, DataWidthsAndActivation) {
  const WordCase& c = GetParam();
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  RegisterBlock regs = default_np_regs(0, 7, false, false);
  format_fnp_registers(limits, &regs, hw::Type::FNP3, c.in, c.out, c.activation, Shape{1, 1, 8}, true,
                       *make_matrix(8, 3, [](uint32_t, uint32_t) { return 1; }), c.weights, INPUT_PADDING_FLAT);
  EXPECT_EQ(regs[3], 0x07000000u | c.word3_low);
  EXPECT_EQ(regs[1], 0x01400030u);  // single buffer
}

INSTANTIATE_TEST_SUITE_P(
    Widths, FnpWord3,
    ::testing::Values(WordCase{8, 4, 8, false, 0x0170A3},   // potentials out, no activation: bit 14
                      WordCase{8, 4, 8, true, 0x01B0A3},    // activation: bit 15
                      WordCase{4, 4, 4, true, 0x01A0A2},
                      WordCase{8, 8, 32, false, 0x0130B3},  // 32-bit potentials: no bit 14
                      WordCase{8, 8, 28, false, 0x0130B3},
                      WordCase{4, 4, 9, false, 0x0130A2}));

TEST(FnpRegisters, FieldOverflows) {
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, SramSize_v2);
  const auto weights = make_matrix(4, 1, [](uint32_t, uint32_t) { return 1; });
  RegisterBlock regs = default_np_regs(0, 1, false, false);
  EXPECT_THAT([&] { format_fnp_registers(limits, &regs, hw::Type::FNP3, 8, 8, false, Shape{2048, 1, 1}, false, *weights, 8,
                                 INPUT_PADDING_FLAT); }, ThrowsMessage<std::runtime_error>(overflow_message(2048, 11)));
  EXPECT_THAT([&] { format_fnp_registers(limits, &regs, hw::Type::FNP3, 8, 8, false, Shape{1, 2048, 1}, false, *weights, 8,
                                 INPUT_PADDING_FLAT); }, ThrowsMessage<std::runtime_error>(overflow_message(2048, 11)));
  // 65536 neurons do not fit the 16-bit count.
  const auto wide = make_matrix(1, 65536, [](uint32_t, uint32_t) { return 1; });
  EXPECT_THAT([&] { format_fnp_registers(limits, &regs, hw::Type::FNP2, 8, 8, false, Shape{1, 1, 1}, false, *wide, 8,
                                 INPUT_PADDING_FLAT); }, ThrowsMessage<std::runtime_error>(overflow_message(65536, 16)));
  // The FNP3 RAM size wraps at the FNP3 budget.
  HardwareConstraints small = limits;
  small.fnp3_weight_limit = 5;
  format_fnp_registers(small, &regs, hw::Type::FNP3, 8, 8, false, Shape{1, 1, 4}, false, *weights, 8,
                       INPUT_PADDING_FLAT);
  EXPECT_EQ(regs[17], 0x00100003u);  // 3 words modulo 5
  small.fnp3_weight_limit = 0;
  EXPECT_THAT([&] { format_fnp_registers(small, &regs, hw::Type::FNP3, 8, 8, false, Shape{1, 1, 4}, false, *weights, 8,
                                 INPUT_PADDING_FLAT); }, ThrowsMessage<std::runtime_error>("The device has no FNP3 weight memory to record a dense layer into."));
}

TEST_F(DenseRecorderTest, NeedsItsVariablesAndItsNp) {
  dense_->vars->tensors.erase("input_shift");
  EXPECT_THAT([&] { record(); }, ThrowsMessage<std::runtime_error>("Layer 'dense' has no variable \"input_shift\""));
  dense_->set_variable("input_shift", make_tensor<uint8_t>(TensorType::uint8, Shape{30}, [](size_t) { return 0; }));
  mapping_->nps->clear();
  EXPECT_THROW(record(), std::out_of_range);
  dense_->set_mapping(nullptr);
  EXPECT_THAT([&] { record(); }, ThrowsMessage<std::runtime_error>("Layer 'dense' is not mapped."));
}

TEST_F(DenseRecorderTest, TheLayerRecorderDispatchesDenseLayers) {
  const LayerRecorderImpl recorder(device_, limits_);
  const auto rec = recorder.record_layer(*dense_, *conv_, nullptr, false, false, {}, false, false);
  const std::vector<Block> blocks = blocks_of(*rec);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].words, expected_fnp3_registers());
  EXPECT_EQ(blocks[2].words, RAM);
}

}  // namespace
}  // namespace ovrix::v2

namespace ovrix::v2 {
namespace {

TEST_F(DenseRecorderTest, SizerAndCheckerSizes) {
  const MemorySizerImpl sizer;
  const hw::Component fnp3(hw::Type::FNP3);
  const hw::Component fnp2(hw::Type::FNP2);
  // Inside its sequence the input keeps the CNP's rows (12 words); first of the sequence it is flat (8).
  EXPECT_EQ(sizer.get_input_memory_size(dense_, fnp3, conv_), 48u);
  EXPECT_EQ(sizer.get_input_memory_size(dense_, fnp3, dense_), 32u);
  EXPECT_EQ(sizer.get_input_memory_size(dense_, fnp3, nullptr), 48u);
  // 28 words of RAM: in the FNP3's SRAM, or in external memory for an FNP2.
  EXPECT_EQ(get_fnp_sram_size(*dense_), 28u);
  EXPECT_EQ(sizer.get_weight_memory_size(dense_, fnp3), 112u);
  EXPECT_EQ(sizer.get_weight_memory_size(dense_, fnp2), 0u);
  EXPECT_EQ(sizer.get_external_memory_size(dense_, fnp2, false, false), 112u);
  EXPECT_EQ(sizer.get_external_memory_size(dense_, fnp3, false, false), 0u);

  const CompatibilityCheckerImpl checker(device_, limits_);
  EXPECT_TRUE(checker.is_fnp3_compatible(*dense_));
  HardwareConstraints small = limits_;
  small.fnp3_weight_limit = 27;
  EXPECT_FALSE(checker.check_fnp3_sram_size(small, *dense_));
  small.fnp3_weight_limit = 28;
  EXPECT_TRUE(checker.check_fnp3_sram_size(small, *dense_));
}

}  // namespace
}  // namespace ovrix::v2
