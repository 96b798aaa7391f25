#include "backends/common/mapping_components.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

namespace ovrix {

namespace {

void append(std::vector<hw::Component>* out, const std::vector<hw::Component>& list) {
  out->insert(out->end(), list.begin(), list.end());
}

}  // namespace

const LayerMapping& mapping_of(const Layer& layer) {
  const auto mapping = layer.mapping();
  const auto* concrete = dynamic_cast<const LayerMapping*>(mapping.get());
  if (concrete == nullptr) throw std::runtime_error(fmt::format("Layer '{}' is not mapped.", layer.get_name()));
  return *concrete;
}

std::vector<hw::Component> source_components(const LayerMapping& mapping) {
  std::vector<hw::Component> out;
  for (const auto& list : mapping.sources)
    if (list) append(&out, *list);
  append(&out, mapping.skipdma_loads);
  if (mapping.tnp_b_with_skip_dma) append(&out, mapping.skipdma_stores);
  return out;
}

std::vector<hw::Component> destination_components(const LayerMapping& mapping) {
  std::vector<hw::Component> out;
  for (const auto& list : mapping.destinations)
    if (list) append(&out, *list);
  if (!mapping.tnp_b_with_skip_dma) append(&out, mapping.skipdma_stores);
  return out;
}

std::pair<uint8_t, uint8_t> column_range(const std::vector<hw::Component>& components) {
  if (components.empty()) throw std::runtime_error("Cannot route an NP to or from an empty list of components.");
  if (components.size() == 1 && components.front().type == hw::Type::HRC) return {1, 1};
  const auto [low, high] = std::minmax_element(
      components.begin(), components.end(),
      [](const hw::Component& a, const hw::Component& b) { return a.ident.col < b.ident.col; });
  return {low->ident.col, high->ident.col};
}

}  // namespace ovrix
