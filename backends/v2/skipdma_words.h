#pragma once
// Register writes of the skip-DMA store and load channels of a v2 mesh: for each engine, an ordered
// map from 16-bit register address (channel × 256 + register) to the words written there. The
// first write to an address wins; the writes are recorded in increasing address order.
#include <cstdint>
#include <map>
#include <vector>

#include "mapping/hw_types.h"

namespace ovrix::v2 {

using ChannelWrites = std::map<uint16_t, std::vector<uint32_t>>;

// Register indexes of a skip-DMA channel (added to channel × 256), and the one global register.
inline constexpr uint32_t SKIPDMA_REG_LOAD_RESET = 0x00;
inline constexpr uint32_t SKIPDMA_REG_LOAD_MODE = 0x03;
inline constexpr uint32_t SKIPDMA_REG_STORE_BURST = 0x1C;
inline constexpr uint32_t SKIPDMA_REG_STORE_SLOTS = 0x22;
inline constexpr uint32_t SKIPDMA_REG_LOAD_SLOTS = 0x28;
inline constexpr uint32_t SKIPDMA_REG_STORE_GEOMETRY = 0x3C;
inline constexpr uint16_t SKIPDMA_REG_GLOBAL = 0x1001;
inline constexpr uint32_t SKIPDMA_REG_LOAD_ROUTE = 0x1004;
inline constexpr uint32_t SKIPDMA_REG_STORE_ROUTE = 0x1024;
inline constexpr uint32_t SKIPDMA_REG_STORE_SELECT = 0x1026;
inline constexpr uint32_t SKIPDMA_REG_LOAD_SRAM_SHIFT = 0x102B;

// Word written twice to the load channel of a TNP-B layer before its other writes.
inline constexpr uint32_t SKIPDMA_TNP_B_LOAD_RESET_WORD = 0x83000601;

// Address of register `reg` of channel `channel`; refused (std::invalid_argument) when it does not
// fit 16 bits.
uint16_t skipdma_address(uint8_t channel, uint32_t reg);

// The components that exchange data with an engine: one component by row, column and one-hot id;
// several by their column range. An empty list is refused (std::invalid_argument).
uint32_t skipdma_routing_word(const std::vector<hw::Ident>& components);

struct StoreChannel {
  uint8_t channel = 0;
  bool tnp_b = false;
  uint32_t source_index = 0;  // position number the store takes its data from (8-bit)
  bool select_sources = false;  // the store reads its sources directly (routing word written)
  std::vector<hw::Ident> sources;
  uint8_t bits = 0;  // width of the stored values
  uint32_t width = 0, height = 0, channels = 0;
  uint32_t fifo = 0;  // frames of a TNP-B FIFO
};
ChannelWrites skipdma_store_writes(const StoreChannel& store);

struct LoadChannel {
  uint8_t channel = 0;
  bool tnp_b = false;
  uint32_t load_channel = 0;  // the channel of the layer's channel block the load serves (8-bit)
  uint32_t count = 0;         // position number the loaded data goes to (8-bit)
  std::vector<hw::Ident> targets;  // the layer's own components
  uint32_t sram_shift = 0;    // 12-bit
  uint32_t fifo = 0;
};
ChannelWrites skipdma_load_writes(const LoadChannel& load);

}  // namespace ovrix::v2
