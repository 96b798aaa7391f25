// The v2 memory sizes of a layer on a component.
#include "backends/v2/memory_sizer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/v2_fake_layer.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::connect;
using testing::FakeGraph;
using testing::FakeLayer;

// A component of that type whose input window is x × y and whose partition holds c channels.
hw::Component np(hw::Type type, uint32_t x, uint32_t y, uint32_t c, uint32_t filters = 0) {
  hw::NpMapping part;
  part.filters = filters;
  part.input_window = NpSpace(0, 0, Shape{x, y, c});
  part.spatial_partition = NpSpace(0, 0, Shape{x, y, c});
  return hw::Component(type, part);
}

class SizerTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeLayer> layer(LayerType type, hw::TargetKind target = hw::TargetKind::CNP) {
    auto l = g_.add("l", type, target);
    l->inputs = {Shape{16, 16, 16}};
    l->output = Shape{16, 16, 16};
    return l;
  }
  uint32_t input(const std::shared_ptr<FakeLayer>& l, const hw::Component& c) {
    return sizer_.get_input_memory_size(l, c, l);
  }
  FakeGraph g_;
  MemorySizerImpl sizer_;
};

TEST_F(SizerTest, KindsWithoutMemoryAndKindsRefused) {
  for (LayerType type : {LayerType::Add, LayerType::Concatenate, LayerType::Dequantizer, LayerType::Quantizer,
                         LayerType::StatefulRecurrent}) {
    auto l = layer(type);
    EXPECT_EQ(input(l, np(hw::Type::CNP1, 4, 4, 4)), 0u);
    EXPECT_EQ(sizer_.get_weight_memory_size(l, np(hw::Type::CNP1, 4, 4, 4)), 0u);
  }
  EXPECT_EQ(input(layer(LayerType::InputConv2D, hw::TargetKind::HRC), np(hw::Type::HRC, 4, 4, 4)), 0u);
  for (LayerType type : {LayerType::InputData, LayerType::FullyConnected, LayerType::Unknown}) {
    auto l = layer(type);
    EXPECT_THAT([&] { input(l, np(hw::Type::CNP1, 4, 4, 4)); }, ThrowsMessage<std::invalid_argument>("Invalid v2 layer type."));
    EXPECT_THAT([&] { sizer_.get_weight_memory_size(l, np(hw::Type::CNP1, 4, 4, 4)); }, ThrowsMessage<std::invalid_argument>("Invalid v2 layer type."));
  }
}

TEST_F(SizerTest, ConvolutionInput) {
  auto conv = layer(LayerType::Conv2D);
  EXPECT_EQ(input(conv, np(hw::Type::CNP2, 5, 3, 16)), 384u);  // rows of 8 bytes
  conv->in_bits = 4;
  EXPECT_EQ(input(conv, np(hw::Type::CNP1, 5, 3, 16)), 192u);  // rows of 4 bytes
  EXPECT_EQ(input(conv, np(hw::Type::FNP3, 5, 3, 16)), 0u);
  EXPECT_EQ(input(conv, np(hw::Type::TNP_B, 5, 3, 16)), 0u);
  // Fed by an Add: 512 words are reserved ahead of the data.
  auto add = layer(LayerType::Add, hw::TargetKind::SkipDma);
  connect(add, conv);
  EXPECT_EQ(input(conv, np(hw::Type::CNP1, 5, 3, 16)), 192u + 2048u);
  for (LayerType type : {LayerType::DepthwiseConv2D, LayerType::Conv2DTranspose, LayerType::DepthwiseConv2DTranspose})
    EXPECT_EQ(input(layer(type), np(hw::Type::CNP2, 5, 3, 16)), 384u);
}

TEST_F(SizerTest, TemporalInput) {
  auto t = layer(LayerType::BufferTempConv, hw::TargetKind::TNP_B);
  t->set("fifo_size", 2);
  EXPECT_EQ(input(t, np(hw::Type::TNP_B, 4, 4, 3)), 768u);
  t->fake_params.values().erase("fifo_size");
  EXPECT_EQ(input(t, np(hw::Type::TNP_B, 4, 4, 3)), 256u);
  EXPECT_EQ(input(t, np(hw::Type::CNP1, 4, 4, 3)), 0u);
}

TEST_F(SizerTest, ConvolutionWeights) {
  auto conv = layer(LayerType::Conv2D);
  conv->set("kernel_size", 3);
  conv->set("weights_bits", 8);
  conv->inputs = {Shape{16, 16, 8}};
  EXPECT_EQ(sizer_.get_weight_memory_size(conv, np(hw::Type::CNP1, 4, 4, 8, 8)), 600u);  // 48 words of 100 bits
  conv->set("weights_bits", 4);
  EXPECT_EQ(sizer_.get_weight_memory_size(conv, np(hw::Type::CNP1, 4, 4, 8, 9)), 600u);  // 6 words a channel
  EXPECT_EQ(sizer_.get_weight_memory_size(conv, np(hw::Type::FNP3, 4, 4, 8, 9)), 0u);
  auto dw = layer(LayerType::DepthwiseConv2D);
  dw->set("kernel_size", 3);
  dw->set("weights_bits", 8);
  EXPECT_EQ(sizer_.get_weight_memory_size(dw, np(hw::Type::CNP2, 4, 4, 5, 5)), 63u);  // 500 bits
  EXPECT_EQ(sizer_.get_weight_memory_size(dw, np(hw::Type::TNP_B, 4, 4, 5, 5)), 0u);
}

TEST_F(SizerTest, ExternalMemoryOfStores) {
  auto l = layer(LayerType::Conv2D);
  l->output = Shape{10, 7, 32};
  const hw::Component store(hw::Type::SKIP_DMA_STORE);
  // 8-bit rows of 10 values: 3 words; 7 rows, 32 channels: 672 words a frame.
  EXPECT_EQ(sizer_.get_external_memory_size(l, store, false, false), 4u * 672 * 3);
  EXPECT_EQ(sizer_.get_external_memory_size(l, store, false, true), 4u * 672 * 2);
  // The input of a dual output: 16 x 16 x 16 at 4 bits.
  l->in_bits = 4;
  EXPECT_EQ(sizer_.get_external_memory_size(l, store, true, true), 4u * 2 * 16 * 16 * 2);
  // Frames kept until the deepest consumer: 3 plus the depth gap.
  auto mid = layer(LayerType::Conv2D);
  auto merge = layer(LayerType::Add, hw::TargetKind::SkipDma);
  auto deep = layer(LayerType::Conv2D);
  connect(l, mid);
  connect(mid, deep);
  connect(l, deep);
  connect(deep, merge);
  EXPECT_EQ(sizer_.get_external_memory_size(l, store, false, false), 4u * 672 * 5);
  EXPECT_EQ(sizer_.get_external_memory_size(l, hw::Component(hw::Type::CNP1), false, false), 0u);
  EXPECT_EQ(sizer_.get_external_memory_size(l, hw::Component(hw::Type::SKIP_DMA_LOAD), false, false), 0u);
  EXPECT_THROW(sizer_.get_external_memory_size(l, hw::Component(hw::Type::FNP2), false, false), std::runtime_error);
}

TEST_F(SizerTest, ExternalMemoryOfATemporalFifo) {
  auto t = layer(LayerType::DepthwiseBufferTempConv, hw::TargetKind::TNP_B);
  t->inputs = {Shape{4, 3, 40}};  // 40 channels of 8 bits: 10 words a pixel
  const hw::Component store(hw::Type::SKIP_DMA_STORE);
  EXPECT_EQ(sizer_.get_external_memory_size(t, store, false, false), 0u);  // no FIFO
  t->set("fifo_size", 3);
  EXPECT_EQ(sizer_.get_external_memory_size(t, store, true, true), 4u * 10 * 4 * 3 * 4);
}

TEST_F(SizerTest, LumoSramsAndLaterKinds) {
  auto l = layer(LayerType::Conv2D);
  EXPECT_EQ(sizer_.get_fsram_64b_memory_size(l), 0u);
  EXPECT_EQ(sizer_.get_tsram_51b_memory_size(l), 0u);
  EXPECT_EQ(sizer_.get_evsram_32b_memory_size(l), 0u);
  EXPECT_EQ(sizer_.get_stsram_32b_memory_size(l), 0u);
  l->set("kernel_size", 1);
  l->set("weights_bits", 8);
  const MemoryInfo info = sizer_.get_memory_info(l, np(hw::Type::CNP2, 5, 3, 16, 24), l, false, false);
  EXPECT_EQ(info, (MemoryInfo{384, 400, 0, 0, 0, 0, 0}));  // 16 channels of 2 words of 100 bits
  auto dense = layer(LayerType::Dense1D, hw::TargetKind::FNP);
  EXPECT_THROW(input(dense, np(hw::Type::FNP3, 1, 1, 1)), std::runtime_error);
  EXPECT_THROW(sizer_.get_weight_memory_size(dense, np(hw::Type::FNP3, 1, 1, 1)), std::runtime_error);
  EXPECT_EQ(sizer_.get_weight_memory_size(dense, np(hw::Type::FNP2, 1, 1, 1)), 0u);
}

}  // namespace
}  // namespace ovrix::v2
