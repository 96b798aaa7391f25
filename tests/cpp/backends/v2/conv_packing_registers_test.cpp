// The words a convolution's register builder writes itself: pool size P, pool stride and flag and
// the padded borders (word 27), the outbound max-pooling bit (word 2), the input packing (words 4
// and 28), channel containers and filter groups (words 11, 21, 29) and the depthwise channel cut
// (words 3 and 22), for pooling kinds, input widths and depthwise NPs with all or part of the channels.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>

#include "backends/v2/conv_registers.h"
#include "mapping/layer_mapping.h"
#include "support/v2_fake_layer.h"

namespace ovrix::v2 {
namespace {

using testing::connect;
using testing::FakeGraph;

struct PackingCase {
  const char* name;
  bool depthwise;
  uint8_t input_bits;
  uint32_t start, filters, np_channels;  // the NP's share; np_channels: channels of its partition
  int pool_type, pool_size;
  uint8_t pool_stride;
  uint8_t pool_flag;
  PaddingParams pool_padding;  // before and after along y, then along x
  bool outbound_max_pooling;
  // expected
  uint32_t w2, w3_depthwise_bits, w4, chcont, w21, w22, w27, w28, w29;
};

void PrintTo(const PackingCase& c, std::ostream* os) { *os << c.name; }

class ConvPackingRegisters : public ::testing::TestWithParam<PackingCase> {};

// An input of width 5, height 4 and 6 channels, kernel 3, on one NP whose window is the whole input.
TEST_P(ConvPackingRegisters, Words) {
  const PackingCase& c = GetParam();
  FakeGraph g;
  RegisterMap regs;
  const auto make = [&](auto layer) {
    layer->inputs = {Shape{5, 4, 6}};
    layer->output = Shape{5, 4, c.depthwise ? 6u : 10u};
    layer->in_bits = c.input_bits;
    layer->activation_on = true;
    layer->act = ActivationType::ReLU;
    for (auto [k, v] : std::map<std::string, int>{{"kernel_size", 3}, {"kernel_stride", 1}, {"padding", 1},
                                                  {"activation", 1}, {"weights_bits", 8}, {"pool_type", c.pool_type},
                                                  {"pool_size", c.pool_size}})
      layer->set(k, v);
    if (!c.depthwise) layer->set("filters", 10);
    layer->conv.output_width = 5;
    layer->conv.output_height = 4;
    layer->conv.padding = PaddingParams{1, 1, 1, 1};
    layer->pool_params.stride_x = c.pool_stride;
    layer->pool_params.stride_y = c.pool_stride;
    layer->pool_params.padding = c.pool_padding;
    layer->pool_params.flag = c.pool_flag;
    if (c.outbound_max_pooling) {
      auto next = g.add("next", LayerType::Conv2D, hw::TargetKind::CNP);
      next->pool = PoolType::Max;
      connect(layer, next);
    }
    auto mapping = std::make_shared<LayerMapping>(2);
    hw::NpMapping part;
    part.start_neuron = c.start;
    part.filters = c.filters;
    part.spatial_partition = NpSpace(0, 0, Shape{5, 4, c.np_channels});
    part.input_window = NpSpace(0, 0, Shape{5, 4, c.np_channels});
    hw::Component np(hw::Type::CNP2, part);
    np.ident = hw::Ident(1, 1, 0);
    *mapping->nps = {np};
    hw::Component dma(hw::Type::DMA);
    mapping->sources.push_back(std::make_shared<LayerMapping::ComponentList>(LayerMapping::ComponentList{dma}));
    mapping->destinations.push_back(std::make_shared<LayerMapping::ComponentList>(LayerMapping::ComponentList{dma}));
    layer->set_mapping(mapping);
    regs = c.depthwise ? format_dwconv2d_np_registers(*layer, nullptr, false, false, {}, false, false)
                       : format_conv2d_np_registers(*layer, nullptr, false, false, {}, false, false);
  };
  if (c.depthwise)
    make(g.add<DepthwiseConv2D>("conv", LayerType::DepthwiseConv2D, hw::TargetKind::CNP));
  else
    make(g.add<Conv2D>("conv", LayerType::Conv2D, hw::TargetKind::CNP));
  ASSERT_EQ(regs.size(), 1u);
  const RegisterBlock& r = regs.begin()->second;
  EXPECT_EQ(r[2], c.w2);
  EXPECT_EQ(r[3] & 0x404u, c.w3_depthwise_bits);
  EXPECT_EQ(r[4], c.w4);
  EXPECT_EQ(r[11] >> 12, c.chcont);
  EXPECT_EQ(r[21], c.w21);
  EXPECT_EQ(r[22], c.w22);
  EXPECT_EQ(r[27], c.w27);
  EXPECT_EQ(r[28], c.w28);
  EXPECT_EQ(r[29], c.w29);
}

// 8-bit rows of 5 values: R = 8 bytes, Q = 2 words; 4-bit rows: R = 4 bytes. Input words S =
// (R × C / 4) × H. 10 filters of kernel 3: 12 words a channel container, 2 filter groups.
INSTANTIATE_TEST_SUITE_P(
    Kinds, ConvPackingRegisters,
    ::testing::Values(
        PackingCase{"no pooling: P 1, stride 1", false, 8, 0, 10, 6, 0, 1, 7, 1, {1, 1, 1, 1}, false,
                    0x8, 0, 0x80000030, 12, 10, 0, 0x11, 0x0008000C, 0x00020000},
        PackingCase{"max pooling 2, stride 2, padded right and bottom", false, 8, 0, 10, 6, 1, 2, 2, 1,
                    {0, 1, 0, 1}, false, 0x8, 0, 0x80000030, 12, 10, 0, 0x5122, 0x0008000C, 0x00020000},
        PackingCase{"max pooling padded on all sides", false, 8, 0, 10, 6, 1, 2, 2, 0, {1, 1, 1, 1}, false,
                    0x8, 0, 0x80000030, 12, 10, 0, 0xF022, 0x0008000C, 0x00020000},
        PackingCase{"global average pooling: P 1, the record's stride", false, 8, 0, 10, 6, 2, -1, 3, 0,
                    {0, 0, 0, 0}, false, 0x8, 0, 0x80000030, 12, 10, 0, 0x31, 0x0008000C, 0x00020000},
        PackingCase{"average pooling of size 2", false, 8, 0, 10, 6, 2, 2, 2, 0, {0, 0, 0, 0}, false, 0x8, 0,
                    0x80000030, 12, 10, 0, 0x22, 0x0008000C, 0x00020000},
        PackingCase{"4-bit input rows", false, 4, 0, 10, 6, 0, 1, 1, 0, {0, 0, 0, 0}, false, 0x8, 0, 0x80000018,
                    12, 10, 0, 0x11, 0x00040006, 0x00020000},
        PackingCase{"followed by max pooling", false, 8, 0, 10, 6, 0, 1, 1, 0, {0, 0, 0, 0}, true, 0x108, 0,
                    0x80000030, 12, 10, 0, 0x11, 0x0008000C, 0x00020000},
        PackingCase{"depthwise, every channel", true, 8, 0, 6, 6, 0, 1, 1, 0, {0, 0, 0, 0}, false, 0x8, 0x4,
                    0x80000030, 6, 0, 0, 0x11, 0x00200002, 0x00010000},
        PackingCase{"depthwise, channels 2 to 5", true, 8, 2, 4, 4, 0, 1, 1, 0, {0, 0, 0, 0}, false, 0x8, 0x404,
                    0x80000020, 4, 0, 0x00040002, 0x11, 0x00200002, 0x00010000},
        PackingCase{"depthwise, 4-bit rows", true, 4, 0, 6, 6, 0, 1, 1, 0, {0, 0, 0, 0}, false, 0x8, 0x4,
                    0x80000018, 6, 0, 0, 0x11, 0x00100001, 0x00010000}));

}  // namespace
}  // namespace ovrix::v2
