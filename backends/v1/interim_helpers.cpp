#include "backends/v1/interim_helpers.h"

#include <algorithm>
#include <stdexcept>

#include "mapping/host_hooks.h"

namespace ovrix::v1::interim {

uint32_t one_hot_id(uint8_t id) {
  constexpr uint32_t width = 4;
  if (id >= width) {
    // 1 << id does not fit the field; above 31 it would not even fit a word, so name the position.
    if (id < 32) panic("Attempted to write value %u into a %u-bit field, which will cause an overflow.", 1u << id, width);
    panic("NP position %u cannot be written as a %u-bit one-hot value.", unsigned{id}, width);
  }
  return 1u << id;
}

std::pair<uint8_t, uint8_t> column_range(const std::vector<hw::Component>& components) {
  if (components.empty()) throw std::runtime_error("Cannot route an NP to or from an empty list of components.");
  if (components.size() == 1 && components.front().type == hw::Type::HRC) return {1, 1};
  const auto [low, high] = std::minmax_element(
      components.begin(), components.end(),
      [](const hw::Component& a, const hw::Component& b) { return a.ident.col < b.ident.col; });
  return {low->ident.col, high->ident.col};
}

}  // namespace ovrix::v1::interim
