// Recording of a layer's skip-DMA channels from its mapping.
#include "backends/v2/skipdma.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mapping/layer_mapping.h"
#include "support/v2_fake_layer.h"
#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::Block;
using testing::blocks_of;
using testing::FakeGraph;
using testing::FakeLayer;
using testing::overflow_message;

hw::Component engine(hw::Type type, uint8_t col, uint8_t channel) {
  hw::Component c(type);
  c.ident = hw::Ident(col, 0, 0, channel);
  return c;
}

hw::Component np_at(uint8_t col, uint8_t row, uint8_t id) {
  hw::Component c(hw::Type::CNP2, hw::NpMapping{});
  c.ident = hw::Ident(col, row, id);
  return c;
}

struct Recorded {
  std::vector<hw::Ident> engines;
  std::vector<uint16_t> addresses;
  std::vector<std::vector<uint32_t>> words;
};

Recorded record(const Layer& layer) {
  auto rec = program::new_record(hw_versions::Proteo_v2);
  record_skipdma(rec.get(), layer);
  Recorded out;
  for (const Block& b : blocks_of(*rec)) {
    EXPECT_EQ(b.target, dma::Target::SkipDmaRegisters);
    out.engines.push_back(b.ident);
    out.addresses.push_back(b.parameter);
    out.words.push_back(b.words);
  }
  return out;
}

class SkipDmaRecordTest : public ::testing::Test {
 protected:
  SkipDmaRecordTest() {
    layer_ = g_.add("merge", LayerType::Conv2D, hw::TargetKind::CNP);
    layer_->inputs = {Shape{12, 4, 16}};
    layer_->output = Shape{10, 7, 8};
    layer_->in_bits = 8;
    layer_->out_bits = 8;
    *mapping_->nps = {np_at(2, 1, 3)};
    mapping_->index = 3;
    mapping_->output_index = 6;
    layer_->set_mapping(mapping_);
  }
  FakeGraph g_;
  std::shared_ptr<FakeLayer> layer_;
  std::shared_ptr<LayerMapping> mapping_ = std::make_shared<LayerMapping>(3);
};

TEST_F(SkipDmaRecordTest, NothingWithoutEngines) { EXPECT_TRUE(record(*layer_).engines.empty()); }

TEST_F(SkipDmaRecordTest, MergeLoadOnOneCnp) {
  const hw::Component load = engine(hw::Type::SKIP_DMA_LOAD, 0, 1);
  mapping_->skipdma_loads = {load};
  mapping_->load_channel_info = std::make_unique<LoadChannelInfo>(LoadChannelInfo{9, 2, 1, 24});
  mapping_->merge_info = std::make_unique<MergeLayerMapInfo>();
  mapping_->merge_info->channel = 10;
  const Recorded r = record(*layer_);
  EXPECT_EQ(r.addresses, (std::vector<uint16_t>{0x0103, 0x0128, 0x1001, 0x1104, 0x112B}));
  for (const auto& e : r.engines) EXPECT_EQ(e, load.ident);
  EXPECT_EQ(r.words[3], (std::vector<uint32_t>{0x02010082, 0x0A00, 0x0A0A0901}));
  EXPECT_EQ(r.words[4], (std::vector<uint32_t>{24}));
  // Without a merge the load serves the layer's own position number.
  mapping_->merge_info.reset();
  EXPECT_EQ(record(*layer_).words[3][1], 0x0300u);
  // The load feeds NPs: a component without an NP part cannot take it.
  mapping_->nps->push_back(hw::Component(hw::Type::CNP2));
  EXPECT_THAT([&] { record(*layer_); }, ThrowsMessage<std::invalid_argument>("Merging layer has no CNPs."));
  mapping_->nps->clear();
  EXPECT_THAT([&] { record(*layer_); }, ThrowsMessage<std::invalid_argument>("Merging layer has no CNPs."));
}

TEST_F(SkipDmaRecordTest, StoreOfTheOutputThenDualStoreThenLoad) {
  mapping_->skipdma_stores = {engine(hw::Type::SKIP_DMA_STORE, 5, 2), engine(hw::Type::SKIP_DMA_STORE, 5, 4)};
  mapping_->skipdma_loads = {engine(hw::Type::SKIP_DMA_LOAD, 0, 1)};
  mapping_->store_channel_info = std::make_unique<StoreChannelInfo>(StoreChannelInfo{1, 1, 3});
  mapping_->merge_info = std::make_unique<MergeLayerMapInfo>();
  mapping_->merge_info->dual_output = true;
  mapping_->merge_info->dual_output_target = 21;
  mapping_->merge_info->channel = 10;
  const Recorded r = record(*layer_);
  ASSERT_EQ(r.addresses.size(), 6u + 5u + 5u);
  // The ordinary store (channel 2) reads the layer's NPs directly: routing word written.
  EXPECT_EQ(std::vector<uint16_t>(r.addresses.begin(), r.addresses.begin() + 6),
            (std::vector<uint16_t>{0x021C, 0x0222, 0x023C, 0x1001, 0x1224, 0x1226}));
  EXPECT_EQ(r.words[2], (std::vector<uint32_t>{0, 3, 21}));  // the output: 10 x 7 at 8 bits
  EXPECT_EQ(r.words[4], (std::vector<uint32_t>{0x02010082}));
  EXPECT_EQ(r.words[5], (std::vector<uint32_t>{0x0601}));   // output position 6, direct
  // The dual-output store (channel 4) keeps the layer's input and has no routing word.
  EXPECT_EQ(std::vector<uint16_t>(r.addresses.begin() + 6, r.addresses.begin() + 11),
            (std::vector<uint16_t>{0x041C, 0x0422, 0x043C, 0x1001, 0x1426}));
  EXPECT_EQ(r.words[8], (std::vector<uint32_t>{0, 3, 12}));  // the input: 12 x 4 at 8 bits
  EXPECT_EQ(r.words[10], (std::vector<uint32_t>{0x1500}));
  EXPECT_EQ(r.engines[6], hw::Ident(5, 0, 0, 4));
  EXPECT_EQ(r.engines[11], hw::Ident(0, 0, 0, 1));
}

TEST_F(SkipDmaRecordTest, TnpBFifo) {
  layer_->target = hw::TargetKind::TNP_B;
  layer_->set("fifo_size", 3);
  mapping_->tnp_b_with_skip_dma = true;
  mapping_->sources.push_back(std::make_shared<LayerMapping::ComponentList>(LayerMapping::ComponentList{np_at(1, 1, 0)}));
  mapping_->skipdma_stores = {engine(hw::Type::SKIP_DMA_STORE, 6, 0)};
  mapping_->skipdma_loads = {engine(hw::Type::SKIP_DMA_LOAD, 6, 1)};
  mapping_->store_channel_info = std::make_unique<StoreChannelInfo>(StoreChannelInfo{4, 1, 0});
  const Recorded r = record(*layer_);
  ASSERT_EQ(r.addresses.size(), 2u + 6u + 4u);
  EXPECT_EQ(r.addresses[0], 0x0100);
  EXPECT_EQ(r.addresses[1], 0x0100);
  EXPECT_EQ(r.words[0], (std::vector<uint32_t>{0x83000601}));
  EXPECT_EQ(r.engines[0], hw::Ident(6, 0, 0, 1));
  // Store: the position before the layer's, its FIFO slots, pixels of 16 channels (4 words).
  EXPECT_EQ(r.words[3], (std::vector<uint32_t>{2, 4}));
  EXPECT_EQ(r.words[4], (std::vector<uint32_t>{3, 4, 48}));
  // Routing of the input side: the inbound NP, the load and the store, columns 1 to 6.
  EXPECT_EQ(r.words[6], (std::vector<uint32_t>{0x06010001}));
  EXPECT_EQ(r.words[7], (std::vector<uint32_t>{0x0201}));
  // Load: its position number and the FIFO depth.
  EXPECT_EQ(r.addresses[8], 0x0103);
  EXPECT_EQ(r.words[8], (std::vector<uint32_t>{0x00030002}));
  mapping_->skipdma_loads.clear();
  EXPECT_THROW(record(*layer_), std::runtime_error);
}

TEST_F(SkipDmaRecordTest, ATnpBAtPositionZeroHasNoSource) {
  layer_->target = hw::TargetKind::TNP_B;
  layer_->set("fifo_size", 1);
  mapping_->index = 0;
  mapping_->sources.push_back(std::make_shared<LayerMapping::ComponentList>(LayerMapping::ComponentList{np_at(1, 1, 0)}));
  mapping_->skipdma_stores = {engine(hw::Type::SKIP_DMA_STORE, 6, 0)};
  mapping_->skipdma_loads = {engine(hw::Type::SKIP_DMA_LOAD, 6, 1)};
  EXPECT_THAT([&] { record(*layer_); }, ThrowsMessage<std::runtime_error>(overflow_message(4294967295u, 8)));
}

}  // namespace
}  // namespace ovrix::v2
