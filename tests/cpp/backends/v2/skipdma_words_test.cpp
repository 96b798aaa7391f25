#include "backends/v2/skipdma_words.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/v2_util.h"

namespace ovrix::v2 {
namespace {

using ::testing::ThrowsMessage;

using testing::overflow_message;

std::vector<uint16_t> addresses(const ChannelWrites& writes) {
  std::vector<uint16_t> out;
  for (const auto& [address, words] : writes) out.push_back(address);
  return out;
}

TEST(SkipDmaRouting, OneComponentOrAColumnRange) {
  EXPECT_EQ(skipdma_routing_word({hw::Ident(2, 1, 3)}), 0x02010082u);
  EXPECT_EQ(skipdma_routing_word({hw::Ident(3, 1, 0), hw::Ident(2, 4, 1), hw::Ident(5, 1, 2)}), 0x05020001u);
  EXPECT_THAT([] { skipdma_routing_word({hw::Ident(2, 1, 4)}); }, ThrowsMessage<std::runtime_error>(overflow_message(16, 4)));
  EXPECT_THROW(skipdma_routing_word({}), std::invalid_argument);
}

TEST(SkipDmaAddress, ChannelTimes256PlusRegister) {
  EXPECT_EQ(skipdma_address(1, 0x1004), 0x1104);
  EXPECT_EQ(skipdma_address(2, 0x3C), 0x023C);
  EXPECT_EQ(skipdma_address(0xEF, 0x102B), 0xFF2B);
  EXPECT_THROW(skipdma_address(0xF0, 0x1026), std::invalid_argument);
}

TEST(SkipDmaLoad, MergeLayerOnOneCnp) {
  LoadChannel load;
  load.channel = 1;
  load.load_channel = 9;
  load.count = 10;
  load.targets = {hw::Ident(2, 1, 3)};
  load.sram_shift = 64;
  const ChannelWrites writes = skipdma_load_writes(load);
  EXPECT_EQ(addresses(writes), (std::vector<uint16_t>{0x0103, 0x0128, 0x1001, 0x1104, 0x112B}));
  EXPECT_EQ(writes.at(0x0103), (std::vector<uint32_t>{0x00020002}));
  EXPECT_EQ(writes.at(0x0128), (std::vector<uint32_t>{2}));
  EXPECT_EQ(writes.at(0x1001), (std::vector<uint32_t>{0}));
  EXPECT_EQ(writes.at(0x1104), (std::vector<uint32_t>{0x02010082, 0x0A00, 0x0A0A0901}));
  EXPECT_EQ(writes.at(0x112B), (std::vector<uint32_t>{64}));
}

TEST(SkipDmaLoad, TnpBFifoAndLimits) {
  LoadChannel load;
  load.channel = 0;
  load.tnp_b = true;
  load.count = 3;
  load.targets = {hw::Ident(1, 1, 0), hw::Ident(4, 1, 0)};
  load.fifo = 255;
  const ChannelWrites writes = skipdma_load_writes(load);
  EXPECT_EQ(addresses(writes), (std::vector<uint16_t>{0x0003, 0x1001, 0x1004, 0x102B}));
  EXPECT_EQ(writes.at(0x0003), (std::vector<uint32_t>{0x00FF0002}));
  EXPECT_EQ(writes.at(0x1004).front(), 0x04010001u);

  load.fifo = 256;
  EXPECT_THAT([&] { skipdma_load_writes(load); }, ThrowsMessage<std::runtime_error>(overflow_message(256, 8)));
  load.fifo = 1;
  load.count = 256;
  EXPECT_THAT([&] { skipdma_load_writes(load); }, ThrowsMessage<std::runtime_error>(overflow_message(256, 8)));
  load.count = 1;
  load.sram_shift = 4096;
  EXPECT_THAT([&] { skipdma_load_writes(load); }, ThrowsMessage<std::runtime_error>(overflow_message(4096, 12)));
}

TEST(SkipDmaStore, OrdinaryLayerGeometry) {
  StoreChannel store;
  store.channel = 3;
  store.source_index = 7;
  store.bits = 8;
  store.width = 10;
  store.height = 7;
  store.channels = 32;
  const ChannelWrites writes = skipdma_store_writes(store);
  EXPECT_EQ(addresses(writes), (std::vector<uint16_t>{0x031C, 0x0322, 0x033C, 0x1001, 0x1326}));
  EXPECT_EQ(writes.at(0x031C), (std::vector<uint32_t>{0x20}));
  EXPECT_EQ(writes.at(0x0322), (std::vector<uint32_t>{2, 2}));
  EXPECT_EQ(writes.at(0x033C), (std::vector<uint32_t>{0, 3, 21}));  // 3 words per row, 21 in all
  EXPECT_EQ(writes.at(0x1326), (std::vector<uint32_t>{0x0700}));
}

TEST(SkipDmaStore, SelectedSourcesAddTheRoutingWord) {
  StoreChannel store;
  store.channel = 2;
  store.source_index = 4;
  store.select_sources = true;
  store.sources = {hw::Ident(2, 1, 3)};
  store.bits = 4;
  store.width = 9;
  store.height = 2;
  const ChannelWrites writes = skipdma_store_writes(store);
  EXPECT_EQ(addresses(writes), (std::vector<uint16_t>{0x021C, 0x0222, 0x023C, 0x1001, 0x1224, 0x1226}));
  EXPECT_EQ(writes.at(0x1224), (std::vector<uint32_t>{0x02010082}));
  EXPECT_EQ(writes.at(0x1226), (std::vector<uint32_t>{0x0401}));
  EXPECT_EQ(writes.at(0x023C), (std::vector<uint32_t>{0, 2, 4}));
}

TEST(SkipDmaStore, TnpBKeepsPixelsAndItsFifo) {
  StoreChannel store;
  store.channel = 0;
  store.tnp_b = true;
  store.source_index = 2;
  store.sources = {hw::Ident(1, 1, 0)};
  store.bits = 8;
  store.width = 5;
  store.height = 6;
  store.channels = 8;  // 2 words per pixel
  store.fifo = 15;
  const ChannelWrites writes = skipdma_store_writes(store);
  EXPECT_EQ(writes.at(0x0022), (std::vector<uint32_t>{2, 16}));
  EXPECT_EQ(writes.at(0x003C), (std::vector<uint32_t>{15, 2, 10}));
  EXPECT_EQ(writes.at(0x1026), (std::vector<uint32_t>{0x0201}));
  EXPECT_FALSE(writes.contains(0x1024));

  store.fifo = 16;  // the load side would accept it, the store's 4-bit field does not
  EXPECT_THAT([&] { skipdma_store_writes(store); }, ThrowsMessage<std::runtime_error>(overflow_message(16, 4)));
}

TEST(SkipDmaStore, FieldLimits) {
  StoreChannel store;
  store.bits = 8;
  store.width = 4;
  store.height = 1;
  store.source_index = 256;
  EXPECT_THAT([&] { skipdma_store_writes(store); }, ThrowsMessage<std::runtime_error>(overflow_message(256, 8)));
  store.source_index = 0xFFFFFFFF;  // a TNP-B at position 0 has no position before it
  EXPECT_THAT([&] { skipdma_store_writes(store); }, ThrowsMessage<std::runtime_error>(overflow_message(0xFFFFFFFF, 8)));
  store.source_index = 1;
  store.width = 4 * 1024;  // 1024 words per row
  EXPECT_THAT([&] { skipdma_store_writes(store); }, ThrowsMessage<std::runtime_error>(overflow_message(1024, 10)));
  store.width = 4 * 1023;
  store.height = 2051;  // 1023 * 2051 words
  EXPECT_THAT([&] { skipdma_store_writes(store); }, ThrowsMessage<std::runtime_error>(overflow_message(1023ull * 2051, 21)));
  store.tnp_b = true;
  store.channels = 8;
  store.width = 4;
  store.fifo = 4095;  // 4096 slots
  EXPECT_THAT([&] { skipdma_store_writes(store); }, ThrowsMessage<std::runtime_error>(overflow_message(4096, 12)));
}

}  // namespace
}  // namespace ovrix::v2
