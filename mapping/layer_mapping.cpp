#include "mapping/layer_mapping.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

#include "mapping/skipdma_channels.h"

namespace ovrix {

namespace {

std::shared_ptr<LayerMapping::ComponentList> one_component(hw::Type type, const hw::Ident& ident) {
  hw::Component component(type);
  component.ident = ident;
  return std::make_shared<LayerMapping::ComponentList>(1, component);
}

}  // namespace

std::shared_ptr<LayerMapping> require_layer_mapping(const Layer& layer) {
  auto mapping = layer_mapping(layer);
  if (!mapping) throw std::runtime_error(fmt::format("Layer '{}' has no hardware mapping.", layer.get_name()));
  return mapping;
}

void LayerMappingBuilder::build_layer_mapping(const LayerList& layers, const LayerList& sequence_layers,
                                              const ComponentLists& components, const hw::Ident& dma_ident) {
  map_standalone(layers, components, dma_ident);
  DepthMemo memo;
  link_layers_mapping(layers, sequence_layers, &memo);
}

void LayerMappingBuilder::map_standalone(const LayerList& layers, const ComponentLists& components,
                                         const hw::Ident& dma_ident) {
  if (layers.size() != components.size())
    throw std::invalid_argument(fmt::format("A hardware pass of {} layers was given {} component lists.",
                                            layers.size(), components.size()));
  for (const LayerPtr& layer : layers)
    if (!layer) throw std::invalid_argument("A hardware pass cannot hold a null layer.");

  const LayerPtr first = first_mappable_layer(layers);
  const LayerPtr last = last_mappable_layer(layers);
  uint64_t counter = 0;
  for (size_t i = 0; i < layers.size(); ++i) {
    const LayerPtr& layer = layers[i];
    uint8_t index;
    if (is_kind(layer, hw::TargetKind::HRC)) {
      index = 0;
    } else if (is_kind(layer, hw::TargetKind::SkipDma)) {
      index = 255;
    } else {
      if (!is_kind(layer, hw::TargetKind::None)) ++counter;
      // A buffered temporal layer takes two position numbers and is known by the second.
      if (is_kind(layer, hw::TargetKind::TNP_B)) ++counter;
      index = checked_position_number(counter, *layer);
    }
    std::optional<hw::Ident> input_ident, output_ident;
    if (layer == first && !is_kind(first, hw::TargetKind::HRC)) input_ident = dma_ident;
    if (layer == last) output_ident = dma_ident;
    map_standalone(layer, components[i], index, input_ident, output_ident);
  }
}

std::shared_ptr<LayerMapping> LayerMappingBuilder::map_standalone(const LayerPtr& layer,
                                                                  const std::vector<hw::Component>& components,
                                                                  uint8_t index, std::optional<hw::Ident> input_ident,
                                                                  std::optional<hw::Ident> output_ident) {
  if (!layer) throw std::invalid_argument("Cannot map a null layer.");
  auto* holder = dynamic_cast<LayerImpl*>(layer.get());
  if (holder == nullptr)
    throw std::invalid_argument(fmt::format("Layer '{}' cannot hold a hardware mapping.", layer->get_name()));

  auto mapping = std::make_shared<LayerMapping>(index);
  if (is_kind(layer, hw::TargetKind::HRC))
    mapping->sources.push_back(one_component(hw::Type::HRC, hw::Ident()));
  else if (input_ident)
    mapping->sources.push_back(one_component(hw::Type::DMA, *input_ident));

  for (const hw::Component& component : components) {
    if (component.type == hw::Type::SKIP_DMA_STORE)
      mapping->skipdma_stores.push_back(component);
    else if (component.type == hw::Type::SKIP_DMA_LOAD)
      mapping->skipdma_loads.push_back(component);
    else
      mapping->nps->push_back(component);
  }
  mapping->tnp_b_with_skip_dma = !(mapping->skipdma_stores.empty() && mapping->skipdma_loads.empty()) &&
                                 is_kind(layer, hw::TargetKind::TNP_B);

  if (output_ident) {
    mapping->destinations.push_back(one_component(hw::Type::DMA, *output_ident));
    mapping->output_to_dma = true;
  }
  holder->set_mapping(mapping);
  return mapping;
}

void LayerMappingBuilder::link_layers_mapping(const LayerList& layers, const LayerList& sequence_layers,
                                              DepthMemo* memo) {
  for (const LayerPtr& layer : layers) {
    if (is_kind(layer, hw::TargetKind::None) || is_kind(layer, hw::TargetKind::SkipDma)) continue;
    update_layer_mapping(layer, layers, sequence_layers, memo);
  }
}

void LayerMappingBuilder::update_layer_mapping(const LayerPtr& layer, const LayerList& layers,
                                               const LayerList& sequence_layers, DepthMemo* memo) {
  const LayerList& inbounds = layer->inbound_layers();
  if (inbounds.empty()) return;
  const auto mapping = require_layer_mapping(*layer);

  shift_output_into_sram(layer, memo);
  if (is_merge(layer)) set_merge_layer_info(layer, layers, sequence_layers, memo);
  if (mapping->skipdma_store()) set_skipdma_store_channel_info(layer, layers, sequence_layers, memo);
  if (mapping->skipdma_store_dual_output()) set_skipdma_store_channel_dual_output_info(layer, sequence_layers, memo);
  if (mapping->skipdma_load()) set_skipdma_load_channel_info(layer, layers, sequence_layers, memo);
  if (is_alt_layer(layer, memo)) set_alt_layers(layer, layers, &mapping->destinations);

  // A layer fed from an earlier pass is linked by link_to_previous_pass instead.
  if (std::find(layers.begin(), layers.end(), inbounds.front()) == layers.end()) return;
  const LayerPtr previous = previous_mappable_layer(layer);
  if (!previous) return;
  const auto previous_mapping = require_layer_mapping(*previous);
  mapping->sources.push_back(previous_mapping->nps);
  // A layer that opens two branches already feeds both of them (set_alt_layers).
  if (!is_alt_layer(previous, memo)) {
    previous_mapping->destinations.push_back(mapping->nps);
    previous_mapping->output_index = mapping->index;
  }
  // The temporal layer's FIFO load receives the previous layer's output too.
  if (is_kind(layer, hw::TargetKind::TNP_B))
    previous_mapping->destinations.push_back(std::make_shared<LayerMapping::ComponentList>(mapping->skipdma_loads));
}

void LayerMappingBuilder::link_to_previous_pass(const LayerPtr& first_layer, const LayerPtr& previous_last_layer) {
  if (!first_layer || !previous_last_layer)
    throw std::runtime_error("Consecutive hardware passes need a layer running on hardware on each side.");
  const auto next = require_layer_mapping(*first_layer);
  const auto previous = require_layer_mapping(*previous_last_layer);
  const uint8_t channel = checked_position_number(uint64_t{previous->index} + 1, *previous_last_layer);

  previous->destinations.clear();
  previous->destinations.push_back(next->nps);
  previous->output_to_dma = false;
  previous->output_index = channel;
  next->input_index = channel;
  next->sources.push_back(previous->nps);
}

}  // namespace ovrix
