#pragma once
// Small helpers the v1 back-end shares with the other editions in spirit: integer rounding, saturated
// 32-bit sizes, one-hot NP ids and column ranges of component lists. Kept here until the editions
// share one copy of them; nothing in this file is specific to v1.
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "mapping/hw_description.h"

namespace ovrix::v1::interim {

constexpr uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
constexpr uint64_t round_up(uint64_t a, uint64_t m) { return ceil_div(a, m) * m; }
// A 64-bit size handed out through a 32-bit interface: values past 32 bits become 0xFFFFFFFF, which
// fits no memory and no register field, so a check downstream still refuses it.
constexpr uint32_t saturate32(uint64_t v) {
  return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max() : static_cast<uint32_t>(v);
}

// One-hot code of a component's position inside its node (1 << id) for a 4-bit field. Positions 4 and up
// are refused with set_field's overflow text, never folded onto a smaller position.
uint32_t one_hot_id(uint8_t id);

// Lowest and highest column of a component list; a single HRC component counts as column 1. An empty
// list has no column range: std::runtime_error.
std::pair<uint8_t, uint8_t> column_range(const std::vector<hw::Component>& components);

}  // namespace ovrix::v1::interim
