#include "backends/v2/skipdma_words.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backends/common/sizes.h"
#include "backends/v2/np_registers.h"
#include "mapping/host_hooks.h"
#include "program/reg_detail.h"

namespace ovrix::v2 {

namespace {

// Routing word.
constexpr RegDetail ROUTE_MODE{0, 4};
constexpr RegDetail ROUTE_ID{4, 4};
constexpr RegDetail ROUTE_ROW{16, 8};
constexpr RegDetail ROUTE_COLUMN{24, 8};
constexpr RegDetail ROUTE_FIRST_COLUMN{16, 8};
constexpr RegDetail ROUTE_LAST_COLUMN{24, 8};
constexpr uint32_t ROUTE_MODE_POINT_TO_POINT = 2;
constexpr uint32_t ROUTE_MODE_COLUMNS = 1;

// Store selection word.
constexpr RegDetail SELECT_DIRECT{0, 1};
constexpr RegDetail SELECT_SOURCE_INDEX{8, 8};

// Store slots and geometry.
constexpr uint32_t STORE_SLOTS_FIRST_WORD = 2;
constexpr uint32_t STORE_DEFAULT_SLOTS = 2;
constexpr RegDetail STORE_SLOT_COUNT{0, 12};
constexpr uint32_t STORE_BURST_WORD = 0x20;
constexpr RegDetail GEOMETRY_FIFO{0, 4};
constexpr RegDetail GEOMETRY_RESERVED_28{28, 1};
constexpr RegDetail GEOMETRY_ROW_WORDS{0, 10};
constexpr RegDetail GEOMETRY_TOTAL_WORDS{0, 21};

// Load words.
constexpr RegDetail LOAD_COUNT{8, 8};
constexpr RegDetail LOAD_ENABLE{0, 1};
constexpr RegDetail LOAD_CHANNEL{8, 8};
constexpr RegDetail LOAD_COUNT_A{16, 8};
constexpr RegDetail LOAD_COUNT_B{24, 8};
constexpr RegDetail LOAD_SRAM_SHIFT{0, 12};
constexpr uint32_t LOAD_SLOTS_WORD = 2;
constexpr uint32_t LOAD_MODE_WORD = 0x00020002;
constexpr RegDetail LOAD_MODE_LOW{0, 16};
constexpr RegDetail LOAD_FIFO{16, 8};

uint32_t field_value(const RegDetail& field, uint64_t value) {
  if (value > 0xFFFFFFFFu)
    panic("Attempted to write value %llu into a %u-bit field, which will cause an overflow.",
          static_cast<unsigned long long>(value), field.width);
  uint32_t word = 0;
  set_field(&word, field, static_cast<uint32_t>(value));
  return word;
}

}  // namespace

uint16_t skipdma_address(uint8_t channel, uint32_t reg) {
  const uint32_t address = uint32_t{channel} * 256 + reg;
  if (address > 0xFFFF)
    throw std::invalid_argument("Skip DMA channel " + std::to_string(channel) + " has no register " +
                                std::to_string(reg) + ".");
  return static_cast<uint16_t>(address);
}

uint32_t skipdma_routing_word(const std::vector<hw::Ident>& components) {
  if (components.empty()) throw std::invalid_argument("A skip DMA engine needs at least one component to route.");
  uint32_t word = 0;
  if (components.size() == 1) {
    const hw::Ident& c = components.front();
    set_field(&word, ROUTE_MODE, ROUTE_MODE_POINT_TO_POINT);
    set_field(&word, ROUTE_ID, one_hot_id(c.id));
    set_field(&word, ROUTE_ROW, c.row);
    set_field(&word, ROUTE_COLUMN, c.col);
    return word;
  }
  const auto [first, last] = std::minmax_element(components.begin(), components.end(),
                                                 [](const hw::Ident& a, const hw::Ident& b) { return a.col < b.col; });
  set_field(&word, ROUTE_MODE, ROUTE_MODE_COLUMNS);
  set_field(&word, ROUTE_FIRST_COLUMN, first->col);
  set_field(&word, ROUTE_LAST_COLUMN, last->col);
  return word;
}

ChannelWrites skipdma_store_writes(const StoreChannel& s) {
  ChannelWrites writes;
  const auto add = [&](uint16_t address, std::vector<uint32_t> words) { writes.emplace(address, std::move(words)); };
  add(SKIPDMA_REG_GLOBAL, {0});

  uint32_t select = 0;
  set_field(&select, SELECT_DIRECT, s.tnp_b || s.select_sources ? 1 : 0);
  set_field(&select, SELECT_SOURCE_INDEX, s.source_index);
  add(skipdma_address(s.channel, SKIPDMA_REG_STORE_SELECT), {select});
  if (s.select_sources) add(skipdma_address(s.channel, SKIPDMA_REG_STORE_ROUTE), {skipdma_routing_word(s.sources)});

  const uint32_t slots = s.tnp_b ? s.fifo + 1 : STORE_DEFAULT_SLOTS;
  add(skipdma_address(s.channel, SKIPDMA_REG_STORE_SLOTS), {STORE_SLOTS_FIRST_WORD, field_value(STORE_SLOT_COUNT, slots)});
  add(skipdma_address(s.channel, SKIPDMA_REG_STORE_BURST), {STORE_BURST_WORD});

  uint32_t fifo_word = field_value(GEOMETRY_FIFO, s.fifo);
  set_field(&fifo_word, GEOMETRY_RESERVED_28, 0);
  // A TNP-B store keeps whole pixels (all channels of one position), other stores whole rows.
  const uint32_t row_words = size32(s.tnp_b ? ceil_div(uint64_t{s.bits} * s.channels, 32) : ceil_div(uint64_t{s.bits} * s.width, 32));
  const uint64_t total = uint64_t{row_words} * (s.tnp_b ? s.width : s.height);
  const uint32_t row_word = field_value(GEOMETRY_ROW_WORDS, row_words);
  add(skipdma_address(s.channel, SKIPDMA_REG_STORE_GEOMETRY), {fifo_word, row_word, field_value(GEOMETRY_TOTAL_WORDS, total)});
  return writes;
}

ChannelWrites skipdma_load_writes(const LoadChannel& l) {
  ChannelWrites writes;
  const auto add = [&](uint16_t address, std::vector<uint32_t> words) { writes.emplace(address, std::move(words)); };
  add(SKIPDMA_REG_GLOBAL, {0});

  uint32_t control = 0;
  set_field(&control, LOAD_ENABLE, 1);
  set_field(&control, LOAD_CHANNEL, l.load_channel);
  set_field(&control, LOAD_COUNT_A, l.count);
  set_field(&control, LOAD_COUNT_B, l.count);
  add(skipdma_address(l.channel, SKIPDMA_REG_LOAD_ROUTE),
      {skipdma_routing_word(l.targets), field_value(LOAD_COUNT, l.count), control});
  add(skipdma_address(l.channel, SKIPDMA_REG_LOAD_SRAM_SHIFT), {field_value(LOAD_SRAM_SHIFT, l.sram_shift)});
  if (!l.tnp_b) {
    add(skipdma_address(l.channel, SKIPDMA_REG_LOAD_SLOTS), {LOAD_SLOTS_WORD});
    add(skipdma_address(l.channel, SKIPDMA_REG_LOAD_MODE), {LOAD_MODE_WORD});
  } else {
    uint32_t mode = field_value(LOAD_FIFO, l.fifo);
    set_field(&mode, LOAD_MODE_LOW, 2);
    add(skipdma_address(l.channel, SKIPDMA_REG_LOAD_MODE), {mode});
  }
  return writes;
}

}  // namespace ovrix::v2
