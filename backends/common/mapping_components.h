#pragma once
// The components around a mapped layer as every edition routes them: the layer's mapping, the
// components that feed it and those it sends to, and the column range a component list spans.
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "mapping/hw_description.h"
#include "mapping/layer_mapping.h"

namespace ovrix {

// The components that feed a mapped layer: the lists of its sources in order, then its skip-DMA
// loads, then its skip-DMA stores when a TNP-B layer reads them back.
std::vector<hw::Component> source_components(const LayerMapping& mapping);
// The components a mapped layer sends to: the lists of its destinations in order, then its skip-DMA
// stores unless a TNP-B layer reads them back.
std::vector<hw::Component> destination_components(const LayerMapping& mapping);

// The layer's mapping; a layer without one is refused naming the layer (std::runtime_error).
const LayerMapping& mapping_of(const Layer& layer);

// Lowest and highest column of a component list; a single HRC component counts as column 1. An
// empty list has no column range and is refused (std::runtime_error).
std::pair<uint8_t, uint8_t> column_range(const std::vector<hw::Component>& components);

}  // namespace ovrix
