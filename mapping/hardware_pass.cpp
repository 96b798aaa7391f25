#include "mapping/hardware_pass.h"

namespace ovrix {

HardwarePass::HardwarePass(const LayerList& layers, const LayerList& sequence_layers, const ComponentLists& components,
                           const hw::Ident& dma_ident, const std::shared_ptr<HardwarePass>& previous) {
  this->layers = layers;
  std::vector<std::shared_ptr<Layer::Mapping>> before;
  for (const LayerPtr& layer : layers) before.push_back(layer ? layer->mapping() : nullptr);
  try {
    LayerMappingBuilder::build_layer_mapping(layers, sequence_layers, components, dma_ident);
    for (const LayerPtr& layer : layers) created_.push_back(layer->mapping());
    if (previous)
      LayerMappingBuilder::link_to_previous_pass(first_mappable_layer(layers), last_mappable_layer(previous->layers));
  } catch (...) {
    // No pass owns the mappings made so far: they would otherwise stay on the layers.
    created_.clear();
    for (size_t i = 0; i < layers.size(); ++i) {
      std::shared_ptr<Layer::Mapping> now = layers[i] ? layers[i]->mapping() : nullptr;
      created_.push_back(now != before[i] ? now : nullptr);
    }
    unmap();
    throw;
  }
}

HardwarePass::~HardwarePass() { unmap(); }

void HardwarePass::unmap() noexcept {
  for (size_t i = 0; i < layers.size() && i < created_.size(); ++i) {
    auto* holder = dynamic_cast<LayerImpl*>(layers[i].get());
    if (holder == nullptr) continue;
    const std::shared_ptr<Layer::Mapping> mine = created_[i].lock();
    if (mine && holder->mapping() == mine) holder->set_mapping(nullptr);
  }
  created_.clear();
}

}  // namespace ovrix
