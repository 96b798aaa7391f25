// Mesh routing, configuration DMA and partial-reconfiguration words of a v2 NP, and the FNP input
// layouts they read.
#include "backends/v2/mesh_registers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backends/v2/default_regs.h"
#include "backends/v2/fnp_padding.h"
#include "support/v2_fake_layer.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::connect;
using testing::FakeGraph;
using testing::FakeLayer;
using testing::overflow_message;

hw::Component at(hw::Type type, uint8_t col, uint8_t row = 1, uint8_t id = 0) {
  hw::Component c(type);
  c.ident = hw::Ident(col, row, id);
  return c;
}

const std::unique_ptr<AltLayerMapInfo> NO_ALT;

TEST(MeshRouting, ColumnRangesGolden) {
  RegisterBlock regs(64, 0);
  format_mesh_registers_set_output_to_NPs(&regs, {at(hw::Type::CNP1, 3), at(hw::Type::CNP1, 2)},
                                          {at(hw::Type::CNP2, 4), at(hw::Type::CNP2, 5)},
                                          {at(hw::Type::CNP2, 6), at(hw::Type::CNP2, 7)}, NO_ALT, 9,
                                          {.end_of_pass = true});
  RegisterBlock expected(64, 0);
  expected[44] = 0xFF08000C;
  expected[45] = 0x09000706;
  expected[46] = 0x00000302;
  expected[47] = 0x00000704;
  EXPECT_EQ(regs, expected);
}

TEST(MeshRouting, WordFortyFourWhateverItHeld) {
  RegisterBlock regs(64, 0xFFFFFFFF);
  format_mesh_registers_set_output_to_NPs(&regs, {at(hw::Type::CNP1, 1)}, {at(hw::Type::CNP1, 1)},
                                          {at(hw::Type::CNP1, 1)}, NO_ALT, 1, {});
  EXPECT_EQ(regs[44], 0xFF08FFF8u);
  EXPECT_EQ(regs[46], 0x7FFF0101u);  // bit 31 cleared, bits 16-30 kept
  EXPECT_EQ(regs[45], 0x01FF0101u);  // bits 16-23 kept
  EXPECT_EQ(regs[47], 0xFFFF0101u);
}

TEST(MeshRouting, PointToPoint) {
  RegisterBlock regs(64, 0);
  format_mesh_registers_set_output_to_NPs(&regs, {at(hw::Type::DMA, 0, 2, 1)}, {at(hw::Type::CNP1, 1)},
                                          {at(hw::Type::CNP2, 3, 2, 1)}, NO_ALT, 7, {.p2p_in = true, .p2p_out = true});
  EXPECT_EQ(regs[44], 0xFF080009u);
  EXPECT_EQ(regs[45], 0x07200302u);
  EXPECT_EQ(regs[46], 0x00200002u);
  EXPECT_EQ(regs[47], 0x00000301u);
}

TEST(MeshRouting, ThreeFlagsAsArgumentsWriteTheSameWords) {
  // One source and one destination, in other places, so that each flag changes other bits.
  const std::vector<hw::Component> in{at(hw::Type::CNP1, 2, 3, 1)}, nps{at(hw::Type::CNP2, 4)},
      out{at(hw::Type::CNP2, 6, 5, 2)};
  for (int flags = 0; flags < 8; ++flags) {
    const bool p2p_in = flags & 1, p2p_out = flags & 2, end_of_pass = flags & 4;
    RegisterBlock routed(64, 0x5A5A5A5A), flagged = routed;
    format_mesh_registers_set_output_to_NPs(&routed, in, nps, out, NO_ALT, 6,
                                            {.p2p_in = p2p_in, .p2p_out = p2p_out, .end_of_pass = end_of_pass});
    format_mesh_registers_set_output_to_NPs(&flagged, in, nps, out, NO_ALT, 6, p2p_in, p2p_out, end_of_pass);
    EXPECT_EQ(flagged, routed) << flags;
  }
}

TEST(MeshRouting, SingleHrcCountsAsColumnOne) {
  RegisterBlock regs(64, 0);
  format_mesh_registers_set_output_to_NPs(&regs, {at(hw::Type::HRC, 0, 0)}, {at(hw::Type::CNP1, 4)},
                                          {at(hw::Type::HRC, 9, 9)}, NO_ALT, 0, {});
  EXPECT_EQ(regs[46] & 0xFFFF, 0x0101u);
  EXPECT_EQ(regs[45] & 0xFFFF, 0x0101u);
  EXPECT_EQ(regs[47], 0x00000401u);
}

TEST(MeshRouting, OutputIndexOfATnpB) {
  RegisterBlock regs(64, 0);
  format_mesh_registers_set_output_to_NPs(&regs, {at(hw::Type::CNP1, 1)}, {at(hw::Type::CNP1, 1)},
                                          {at(hw::Type::TNP_B, 2)}, NO_ALT, 5, {});
  EXPECT_EQ(regs[45] >> 24, 4u);
  format_mesh_registers_set_output_to_NPs(&regs, {at(hw::Type::CNP1, 1)}, {at(hw::Type::CNP1, 1)},
                                          {at(hw::Type::CNP1, 2)}, NO_ALT, 5, {});
  EXPECT_EQ(regs[45] >> 24, 5u);
  EXPECT_THAT([&] {
        format_mesh_registers_set_output_to_NPs(&regs, {at(hw::Type::CNP1, 1)}, {at(hw::Type::CNP1, 1)},
                                                {at(hw::Type::TNP_B, 2)}, NO_ALT, 0, {});
      }, ThrowsMessage<std::runtime_error>(overflow_message(4294967295u, 8)));
}

TEST(MeshRouting, AlternateLayer) {
  RegisterBlock regs(64, 0);
  auto alt = std::make_unique<AltLayerMapInfo>();
  alt->is_second = 1;
  alt->component_count = 3;
  alt->first_branch_index = 7;
  format_mesh_registers_set_output_to_NPs(&regs, {at(hw::Type::CNP1, 1)}, {at(hw::Type::CNP1, 1)},
                                          {at(hw::Type::CNP1, 2)}, alt, 2, {});
  EXPECT_EQ(regs[46], 0x00080101u);
  EXPECT_EQ(regs[52], 0x03070010u);
  alt->component_count = 256;
  EXPECT_THAT([&] {
        format_mesh_registers_set_output_to_NPs(&regs, {at(hw::Type::CNP1, 1)}, {at(hw::Type::CNP1, 1)},
                                                {at(hw::Type::CNP1, 2)}, alt, 2, {});
      }, ThrowsMessage<std::runtime_error>(overflow_message(256, 8)));
}

TEST(MeshRouting, Refusals) {
  RegisterBlock regs(64, 0);
  const std::vector<hw::Component> two{at(hw::Type::CNP1, 1), at(hw::Type::CNP1, 2)};
  const std::vector<hw::Component> one{at(hw::Type::CNP1, 1)};
  EXPECT_THAT([&] { format_mesh_registers_set_output_to_NPs(&regs, one, one, two, NO_ALT, 1, {.p2p_out = true}); }, ThrowsMessage<std::runtime_error>("Cannot use P2P OUT mode for multiple NPs."));
  EXPECT_EQ(regs[44], 0xFF080009u);  // written before the refusal
  EXPECT_THAT([&] { format_mesh_registers_set_output_to_NPs(&regs, two, one, one, NO_ALT, 1, {.p2p_in = true}); }, ThrowsMessage<std::runtime_error>("Cannot use P2P IN mode for multiple NPs."));
  EXPECT_THAT([&] { format_mesh_registers_set_output_to_NPs(&regs, one, one, {}, NO_ALT, 1, {.p2p_out = true}); }, ThrowsMessage<std::runtime_error>("Cannot use P2P OUT mode for multiple NPs."));
  // Without a component there is no column range to write.
  EXPECT_THROW(format_mesh_registers_set_output_to_NPs(&regs, one, one, {}, NO_ALT, 1, {}),
               std::runtime_error);
  EXPECT_THROW(format_mesh_registers_set_output_to_NPs(&regs, {}, one, one, NO_ALT, 1, {}),
               std::runtime_error);
  EXPECT_THROW(format_mesh_registers_set_output_to_NPs(&regs, one, {}, one, NO_ALT, 1, {}),
               std::runtime_error);
  EXPECT_THAT([&] {
        format_mesh_registers_set_output_to_NPs(&regs, one, one, {at(hw::Type::CNP1, 1, 1, 4)}, NO_ALT, 1, {.p2p_out = true});
      }, ThrowsMessage<std::runtime_error>(overflow_message(16, 4)));
}

TEST(ConfigDma, WordFortyNine) {
  RegisterBlock regs(64, 0xFFFFFFFF);
  format_mesh_cfg_dma_reg(&regs, hw::Ident(3, 2, 1));
  EXPECT_EQ(regs[49], 0xFFF20302u);
  EXPECT_THAT([&] { format_mesh_cfg_dma_reg(&regs, hw::Ident(3, 2, 4)); }, ThrowsMessage<std::runtime_error>(overflow_message(16, 4)));
}

TEST(InputBufferSpikes, BitSevenOfWordTwo) {
  RegisterBlock regs(64, 0);
  set_ib_spikes(&regs);
  EXPECT_EQ(regs[2], 0x80u);
}

// ---- Partial reconfiguration

// The next layer of a pass, mapped on three CNPs, fed from columns 1 and 2 and a skip-DMA load in
// column 7.
struct NextLayer {
  FakeGraph g;
  std::shared_ptr<FakeLayer> layer;
  std::shared_ptr<FakeLayer> inbound;
  std::shared_ptr<LayerMapping> mapping = std::make_shared<LayerMapping>(4);
  hw::Component np;

  explicit NextLayer(hw::TargetKind target = hw::TargetKind::CNP) {
    layer = g.add("next", LayerType::Conv2D, target);
    inbound = g.add("in", LayerType::Conv2D, hw::TargetKind::CNP);
    connect(inbound, layer);
    layer->inputs = {Shape{16, 8, 16}};
    layer->set("weights_bits", 8);
    hw::NpMapping part;
    part.start_neuron = 8;
    part.filters = 8;
    part.spatial_partition = NpSpace(4, 2, Shape{6, 5, 16});
    part.input_window = NpSpace(3, 1, Shape{8, 7, 16});
    np = hw::Component(hw::Type::CNP2, part);
    np.ident = hw::Ident(3, 1, 0);
    *mapping->nps = {np, at(hw::Type::CNP2, 3, 1, 1), at(hw::Type::CNP2, 4)};
    mapping->input_index = 9;
    mapping->sources.push_back(std::make_shared<LayerMapping::ComponentList>(
        LayerMapping::ComponentList{at(hw::Type::CNP1, 2), at(hw::Type::CNP1, 1)}));
    mapping->skipdma_loads = {at(hw::Type::SKIP_DMA_LOAD, 7)};
    layer->set_mapping(mapping);
  }
};

TEST(PartialReconfig, CnpLayerGolden) {
  NextLayer next;
  RegisterBlock regs(64, 0);
  update_partial_reconfig_regs(&regs, *next.layer, next.np, true);
  RegisterBlock expected(64, 0);
  expected[32] = 0x09000035;
  expected[33] = 0x00040002;
  expected[34] = 0x00060005;
  expected[35] = 0x00080020;  // rows of 8 bytes, 8 x 16 / 4 words
  expected[41] = 0x03000701;
  expected[44] = 0x00008000;
  EXPECT_EQ(regs, expected);
}

TEST(PartialReconfig, PooledInputAndMerge) {
  NextLayer next;
  next.inbound->pool = PoolType::Max;
  next.mapping->merge_info = std::make_unique<MergeLayerMapInfo>();
  next.mapping->merge_info->is_add = false;
  RegisterBlock regs(64, 0);
  update_partial_reconfig_regs(&regs, *next.layer, next.np, false);
  EXPECT_EQ(regs[32], 0x0900087Du);  // max pooling bit 11, merge bits 3 and 6
  EXPECT_EQ(regs[40], 160u);          // (8 x 16 x 8 / 32) x 5
  EXPECT_EQ(regs[44], 0u);
  next.mapping->merge_info->is_add = true;
  update_partial_reconfig_regs(&regs, *next.layer, next.np, false);
  EXPECT_EQ(regs[32] & 0x48u, 0x08u);
  // An inbound with max pooling whose activation is on gives unpooled input.
  next.inbound->activation_on = true;
  RegisterBlock fresh(64, 0);
  update_partial_reconfig_regs(&fresh, *next.layer, next.np, false);
  EXPECT_EQ(fresh[32] & 0x800u, 0u);
  EXPECT_EQ(fresh[40], 0u);
}

TEST(PartialReconfig, SeparableLayer) {
  NextLayer next;
  next.layer->depthwise = true;
  RegisterBlock regs(64, 0);
  update_partial_reconfig_regs(&regs, *next.layer, next.np, false);
  EXPECT_EQ(regs[35], 0x00288002u);  // 2 words a row, 2 x 5 x 4 bytes, separable bit 15
  EXPECT_EQ(regs[32] & 0x400u, 0x400u);
  EXPECT_EQ(regs[42], 0x00080008u);
  // An NP with every channel does not cut them.
  next.np.np->filters = 16;
  next.np.np->start_neuron = 0;
  RegisterBlock all(64, 0);
  update_partial_reconfig_regs(&all, *next.layer, next.np, false);
  EXPECT_EQ(all[32] & 0x400u, 0u);
  EXPECT_EQ(all[42], 0u);
}

TEST(PartialReconfig, FnpLayerRowsByPaddingMode) {
  NextLayer next(hw::TargetKind::FNP);
  next.layer->inputs = {Shape{10, 1, 8}};
  next.layer->in_bits = 4;
  next.np.np->input_window.shape = Shape{10, 1, 8};
  RegisterBlock regs(64, 0);
  update_partial_reconfig_regs(&regs, *next.layer, next.np, false);  // from a CNP: packed rows
  EXPECT_EQ(get_fnp_supported_padding(*next.layer, false), INPUT_PADDING_PACKED_ROWS);
  EXPECT_EQ(regs[32], 0x09000027u);
  EXPECT_EQ(regs[33], 0u);
  EXPECT_EQ(regs[34], 0x000A0001u);
  EXPECT_EQ(regs[35], 0x0005000Au);  // 5-byte rows, 10 words

  next.layer->in.clear();  // without inbound the input is one flat vector, rows padded to 4 bytes
  RegisterBlock flat(64, 0);
  update_partial_reconfig_regs(&flat, *next.layer, next.np, false);
  EXPECT_EQ(flat[35], 0x00080010u);

  next.layer->inputs = {Shape{64, 8, 8}};
  next.layer->in_bits = 8;
  RegisterBlock none(64, 0);
  EXPECT_THAT([&] { update_partial_reconfig_regs(&none, *next.layer, next.np, false); }, ThrowsMessage<std::runtime_error>("Unsupported padding."));
}

TEST(PartialReconfig, Refusals) {
  NextLayer next;
  RegisterBlock regs(64, 0);
  next.layer->in_bits = 16;
  EXPECT_THAT([&] { update_partial_reconfig_regs(&regs, *next.layer, next.np, false); }, ThrowsMessage<std::runtime_error>(overflow_message(6, 2)));
  next.layer->in_bits = 8;
  next.mapping->nps->resize(128);
  EXPECT_THAT([&] { update_partial_reconfig_regs(&regs, *next.layer, next.np, false); }, ThrowsMessage<std::runtime_error>(overflow_message(128, 7)));
  next.mapping->nps->resize(3);
  next.mapping->sources.clear();
  next.mapping->skipdma_loads.clear();
  EXPECT_THROW(update_partial_reconfig_regs(&regs, *next.layer, next.np, false), std::runtime_error);
  next.layer->set_mapping(nullptr);
  EXPECT_THAT([&] { update_partial_reconfig_regs(&regs, *next.layer, next.np, false); }, ThrowsMessage<std::runtime_error>("Layer 'next' is not mapped."));
}

// ---- FNP input layouts

struct PaddingCase {
  uint32_t w, h, c;
  uint8_t bits;
  hw::TargetKind from;  // None: no inbound layer
  bool ignore_inbound;
  InputPadding mode;
};

class FnpPaddingTest : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(FnpPaddingTest, Mode) {
  const auto& p = GetParam();
  FakeGraph g;
  auto dense = g.add("dense", LayerType::Dense1D, hw::TargetKind::FNP);
  dense->inputs = {Shape{p.w, p.h, p.c}};
  dense->in_bits = p.bits;
  dense->set("weights_bits", 8);
  if (p.from != hw::TargetKind::None) connect(g.add("in", LayerType::Conv2D, p.from), dense);
  EXPECT_EQ(get_fnp_supported_padding(*dense, p.ignore_inbound), p.mode);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FnpPaddingTest,
    ::testing::Values(PaddingCase{4, 1, 512, 8, hw::TargetKind::CNP, false, INPUT_PADDING_ALIGNED_ROWS},
                      PaddingCase{4, 1, 513, 8, hw::TargetKind::CNP, false, INPUT_PADDING_NONE},
                      PaddingCase{1, 1, 2048, 8, hw::TargetKind::CNP, false, INPUT_PADDING_PACKED_ROWS},
                      PaddingCase{1, 1, 2048, 8, hw::TargetKind::TNP_B, false, INPUT_PADDING_PACKED_ROWS},
                      PaddingCase{1, 1, 2048, 8, hw::TargetKind::CNP, true, INPUT_PADDING_FLAT},
                      PaddingCase{1, 1, 2049, 8, hw::TargetKind::CNP, true, INPUT_PADDING_NONE},
                      PaddingCase{1, 1, 100, 4, hw::TargetKind::CNP, false, INPUT_PADDING_PACKED_ROWS},
                      PaddingCase{4, 1, 4, 8, hw::TargetKind::HRC, false, INPUT_PADDING_PACKED_ROWS},
                      PaddingCase{4, 1, 4, 8, hw::TargetKind::FNP, false, INPUT_PADDING_FLAT},
                      PaddingCase{1, 1, 2048, 8, hw::TargetKind::None, false, INPUT_PADDING_FLAT},
                      // 3 values of 4 bits: 2 bytes padded to 4, counted as 3 + 2 per row
                      PaddingCase{3, 409, 1, 4, hw::TargetKind::CNP, false, INPUT_PADDING_PACKED_ROWS},
                      PaddingCase{3, 410, 1, 4, hw::TargetKind::CNP, false, INPUT_PADDING_NONE}));

}  // namespace
}  // namespace ovrix::v2
