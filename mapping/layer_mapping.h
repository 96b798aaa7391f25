#pragma once
// A layer's place in a hardware pass: the components that run it, its position number, the component
// lists that feed it and that it feeds, its skip-DMA engines and their channel records. Created per
// pass by the layer-mapping builder and stored in the layer; the serializer and the editions read it.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/layer.h"
#include "engine/tensor.h"
#include "mapping/graph_utils.h"
#include "mapping/hw_description.h"
#include "mapping/hw_types.h"

namespace ovrix {

// Channel of a skip-DMA store (or of the second, dual-output store).
struct StoreChannelInfo {
  uint8_t depth = 0;
  uint8_t direct = 0;
  uint8_t slot = 0;
};

// Channel of a skip-DMA load.
struct LoadChannelInfo {
  uint8_t channel = 0;
  uint8_t depth = 0;
  uint8_t slot = 0;
  uint32_t sram_shift = 0;
};

// Merge channel, Add shifts and dual-output target of a merge layer.
struct MergeLayerMapInfo {
  bool is_add = false;
  uint8_t channel = 0;
  std::shared_ptr<Tensor> a_shift;
  std::shared_ptr<Tensor> b_shift;
  std::shared_ptr<Tensor> output_shift;
  bool dual_output = false;
  uint8_t dual_output_target = 0;
  bool not_first = true;
};

// Written on the first layers of the two branches that an alternative-branch layer opens.
struct AltLayerMapInfo {
  uint8_t is_second = 0;
  uint32_t component_count = 0;
  uint8_t first_branch_index = 0;
};

class LayerMapping : public Layer::Mapping {
 public:
  using ComponentList = std::vector<hw::Component>;

  explicit LayerMapping(uint8_t index = 0) : index(index) {}

  // First skip-DMA load, or null.
  const hw::Component* skipdma_load() const { return skipdma_loads.empty() ? nullptr : &skipdma_loads.front(); }

  // One store: the ordinary store, unless the layer's dual output uses it; two stores: the first.
  int32_t get_skipdma_store_index() const {
    if (skipdma_stores.size() == 1) return merge_info && merge_info->dual_output ? -1 : 0;
    if (skipdma_stores.size() == 2) return 0;
    return -1;
  }
  const hw::Component* skipdma_store() const { return store_at(get_skipdma_store_index()); }
  hw::Component* skipdma_store() { return store_at(get_skipdma_store_index()); }

  // The last store when the layer has a dual output.
  int32_t get_skipdma_store_dual_output_index() const {
    if (!merge_info || !merge_info->dual_output || skipdma_stores.empty()) return -1;
    return static_cast<int32_t>(skipdma_stores.size()) - 1;
  }
  const hw::Component* skipdma_store_dual_output() const { return store_at(get_skipdma_store_dual_output_index()); }
  hw::Component* skipdma_store_dual_output() { return store_at(get_skipdma_store_dual_output_index()); }

  std::shared_ptr<ComponentList> nps = std::make_shared<ComponentList>();
  uint8_t index = 0;
  uint8_t output_index = 255;
  uint8_t input_index = 0;
  bool output_to_dma = false;
  std::unique_ptr<MergeLayerMapInfo> merge_info;
  std::unique_ptr<StoreChannelInfo> store_channel_info;
  std::unique_ptr<StoreChannelInfo> store_dual_output_channel_info;
  std::unique_ptr<LoadChannelInfo> load_channel_info;
  std::unique_ptr<AltLayerMapInfo> alt_info;
  std::unique_ptr<uint32_t> output_sram_shift;
  bool tnp_b_with_skip_dma = false;
  std::vector<std::shared_ptr<ComponentList>> sources;
  std::vector<std::shared_ptr<ComponentList>> destinations;
  std::vector<hw::Component> skipdma_stores;
  std::vector<hw::Component> skipdma_loads;

 private:
  const hw::Component* store_at(int32_t i) const { return i < 0 ? nullptr : &skipdma_stores[i]; }
  hw::Component* store_at(int32_t i) { return i < 0 ? nullptr : &skipdma_stores[i]; }
};

// The layer's mapping, or null when it has none (or one of another kind).
inline std::shared_ptr<LayerMapping> layer_mapping(const Layer& layer) {
  return std::dynamic_pointer_cast<LayerMapping>(layer.mapping());
}

// The layer's mapping where one is required: a layer without one is refused with
// std::runtime_error "Layer '<name>' has no hardware mapping.".
std::shared_ptr<LayerMapping> require_layer_mapping(const Layer& layer);

// One component list per layer of a pass, in the same order.
using ComponentLists = std::vector<std::vector<hw::Component>>;

// Creates the mappings of the layers of one hardware pass, stores each in its layer and links them:
// to each other, through the skip-DMA channels, and to the last layer of the previous pass.
class LayerMappingBuilder {
 public:
  // map_standalone over the pass, then link_layers_mapping with a fresh depth memo. Slot numbers are
  // counted against sequence_layers (the model's whole layer list); dma_ident is the DMA that brings
  // the pass's input and takes its output. One component list per layer, else std::invalid_argument.
  static void build_layer_mapping(const LayerList& layers, const LayerList& sequence_layers,
                                  const ComponentLists& components, const hw::Ident& dma_ident);
  // Gives every layer its position number and a new mapping: HRC layers 0, skip-DMA layers 255,
  // the others counting up from 1 (a TNP_B layer takes two numbers and is known by the second). The
  // first mappable layer reads from the DMA (unless it runs on the HRC), the last one writes to it.
  static void map_standalone(const LayerList& layers, const ComponentLists& components, const hw::Ident& dma_ident);
  // Creates one layer's mapping and stores it in the layer (which must be an engine LayerImpl).
  static std::shared_ptr<LayerMapping> map_standalone(const LayerPtr& layer, const std::vector<hw::Component>& components,
                                                      uint8_t index, std::optional<hw::Ident> input_ident,
                                                      std::optional<hw::Ident> output_ident);
  // update_layer_mapping for every layer that runs on a component (neither kind 0 nor skip DMA).
  static void link_layers_mapping(const LayerList& layers, const LayerList& sequence_layers, DepthMemo* memo);
  // Channel records of one layer, then its links to the previous mappable layer of the same pass.
  static void update_layer_mapping(const LayerPtr& layer, const LayerList& layers, const LayerList& sequence_layers,
                                   DepthMemo* memo);
  // Makes the previous pass's last layer feed the new pass's first layer; both must be mapped.
  static void link_to_previous_pass(const LayerPtr& first_layer, const LayerPtr& previous_last_layer);
};

}  // namespace ovrix
