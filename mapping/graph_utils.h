#pragma once
// Questions about a model's layer graph: depths, branches and merges, and the layers that run on an
// NP ("mappable" layers: neither without hardware component nor skip-DMA layers).
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/enums.h"
#include "mapping/hw_types.h"

namespace ovrix {

class Layer;

using LayerPtr = std::shared_ptr<Layer>;
using LayerList = std::vector<LayerPtr>;
// Depths of layers, keyed by the layer object; shared by the depth questions about one pass.
using DepthMemo = std::unordered_map<LayerPtr, uint32_t>;

// Whether the layer runs on that kind of component.
bool is_kind(const Layer& layer, hw::TargetKind kind);
bool is_kind(const LayerPtr& layer, hw::TargetKind kind);
// Whether the list holds that very layer.
bool contains(const LayerList& list, const LayerPtr& layer);
// The layer's kind; Unknown for a layer without parameters.
LayerType layer_type(const Layer& layer);
bool is_layer_type(const Layer& layer, LayerType type);

// 1 for a layer without inbound layers; else one more than its deepest input (a skip-DMA layer adds
// nothing).
uint32_t get_layer_depth(const LayerPtr& layer, DepthMemo* memo);
// Stable sort by ascending depth.
void sort_by_depth(LayerList* layers);
bool is_split_layer(const LayerPtr& layer);
bool is_merge(const LayerPtr& layer);
bool is_dual_output_layer(const LayerPtr& layer);
// The two branches that leave a layer: the first reaches the merge through the deeper layer.
std::pair<LayerList, LayerList> get_skipconnect_branch(const LayerPtr& layer);
// The leading layers of the list that must be mapped together because a branch is still open.
LayerList get_layers_to_map_together(const LayerList& layers);
// The shallowest layer present in both lists; null when there is none.
LayerPtr first_common_layer(const LayerList& first, const LayerList& second);

// Mappable-layer navigation; null stands for none.
LayerPtr first_mappable_layer(const LayerList& layers);
LayerPtr last_mappable_layer(const LayerList& layers);
LayerPtr get_mappable_layer(const LayerPtr& layer);
LayerPtr next_mappable_layer(const LayerPtr& layer);
LayerPtr previous_mappable_layer(const LayerPtr& layer);
bool is_skip_layer(const LayerPtr& layer);
bool is_dual_output_to_store_dma(const LayerPtr& layer);
bool is_alt_layer(const LayerPtr& layer, DepthMemo* memo);
bool layer_need_load_dma(const LayerPtr& layer);
bool layer_need_store_dma(const LayerPtr& layer);
int64_t get_out_branches_count(const LayerList& layers);

}  // namespace ovrix
