#include "mapping/graph_utils.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "engine/layer.h"

namespace ovrix {

namespace {

bool is_skip_dma(const LayerPtr& layer) { return is_kind(layer, hw::TargetKind::SkipDma); }
bool is_candidate(const LayerPtr& layer) {
  return !is_kind(layer, hw::TargetKind::None) && !is_kind(layer, hw::TargetKind::SkipDma);
}

uint32_t fresh_depth(const LayerPtr& layer) {
  DepthMemo memo;
  return get_layer_depth(layer, &memo);
}

using BranchMemo = std::unordered_map<const Layer*, std::pair<LayerList, LayerList>>;

// Branch pairs are remembered for the duration of one top-level question, so a chain of residual
// blocks costs one visit per layer instead of one per path.
const std::pair<LayerList, LayerList>& skipconnect_branch(const LayerPtr& layer, BranchMemo* memo) {
  auto found = memo->find(layer.get());
  if (found != memo->end()) return found->second;

  std::pair<LayerList, LayerList> result;
  const LayerList& outs = layer->outbound_layers();
  if (!outs.empty()) {
    auto follow = [memo](const LayerPtr& start) {
      LayerList branch{start};
      const LayerList& rest = skipconnect_branch(start, memo).first;
      branch.insert(branch.end(), rest.begin(), rest.end());
      return branch;
    };
    result.first = follow(outs[0]);
    if (outs.size() == 2) result.second = follow(outs[1]);
    sort_by_depth(&result.first);
    sort_by_depth(&result.second);
    const LayerPtr meet = first_common_layer(result.first, result.second);
    if (meet) {
      auto before = [](const LayerList& branch, const LayerPtr& m) -> LayerPtr {
        auto it = std::find(branch.begin(), branch.end(), m);
        return it == branch.begin() || it == branch.end() ? nullptr : *(it - 1);
      };
      const LayerPtr b1 = before(result.first, meet);
      const uint32_t d1 = b1 ? fresh_depth(b1) : 0;
      const LayerPtr b2 = before(result.second, meet);
      if (b2 && d1 < fresh_depth(b2)) std::swap(result.first, result.second);
    }
  }
  return memo->emplace(layer.get(), std::move(result)).first->second;
}

// Depth of the entry just before `meet` in a branch (of the branch's last entry when meet is not in it).
uint32_t depth_before(const LayerList& branch, const LayerPtr& meet) {
  auto it = std::find(branch.begin(), branch.end(), meet);
  const LayerPtr& entry = it == branch.end() ? branch.back() : *(it - 1);
  return fresh_depth(entry);
}

// Of two candidates, the one whose branch reaches the meeting point through the deeper layer; the
// default candidate a on ties.
LayerPtr branch_choice(const LayerPtr& a, const LayerPtr& b) {
  const LayerList ba = get_skipconnect_branch(a).first;
  const LayerList bb = get_skipconnect_branch(b).first;
  const LayerPtr meet = first_common_layer(ba, bb);
  const uint32_t da = ba.empty() || ba.front() == meet ? 0 : depth_before(ba, meet);
  if (bb.empty() || bb.front() == meet) return a;
  const uint32_t db = depth_before(bb, meet);
  return db > da ? b : a;
}

LayerList mapped_through(const LayerList& layers) {
  LayerList out;
  for (const LayerPtr& l : layers)
    if (LayerPtr m = get_mappable_layer(l)) out.push_back(std::move(m));
  return out;
}

}  // namespace

bool is_kind(const Layer& layer, hw::TargetKind kind) { return layer.is_target_component(kind); }
bool is_kind(const LayerPtr& layer, hw::TargetKind kind) { return layer->is_target_component(kind); }

bool contains(const LayerList& list, const LayerPtr& layer) {
  return std::find(list.begin(), list.end(), layer) != list.end();
}

LayerType layer_type(const Layer& layer) {
  const LayerParams* params = layer.params();
  return params == nullptr ? LayerType::Unknown : params->layer_type();
}

bool is_layer_type(const Layer& layer, LayerType type) { return layer_type(layer) == type; }

uint32_t get_layer_depth(const LayerPtr& layer, DepthMemo* memo) {
  auto found = memo->find(layer);
  if (found != memo->end()) return found->second;
  const LayerList& ins = layer->inbound_layers();
  if (ins.empty()) return 1;
  uint32_t deepest = 0;
  for (const LayerPtr& in : ins) deepest = std::max(deepest, get_layer_depth(in, memo));
  const uint32_t depth = deepest + (is_skip_dma(layer) ? 0 : 1);
  memo->emplace(layer, depth);
  return depth;
}

void sort_by_depth(LayerList* layers) {
  DepthMemo memo;
  std::vector<std::pair<uint32_t, LayerPtr>> keyed;
  keyed.reserve(layers->size());
  for (const LayerPtr& l : *layers) keyed.emplace_back(get_layer_depth(l, &memo), l);
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i < keyed.size(); ++i) (*layers)[i] = std::move(keyed[i].second);
}

bool is_split_layer(const LayerPtr& layer) { return layer->outbound_layers().size() >= 2; }

bool is_merge(const LayerPtr& layer) {
  if (!is_kind(layer, hw::TargetKind::CNP)) return false;
  const LayerList& ins = layer->inbound_layers();
  if (ins.empty()) return false;
  const LayerPtr& node = ins.front();
  if (!is_skip_dma(node)) return false;
  const LayerList& outs = node->outbound_layers();
  const auto cnps = std::count_if(outs.begin(), outs.end(), [](const LayerPtr& o) { return is_kind(o, hw::TargetKind::CNP); });
  if (cnps == 1) return true;
  return contains(get_skipconnect_branch(node).first, layer);
}

bool is_dual_output_layer(const LayerPtr& layer) {
  return is_merge(layer) && !layer->inbound_layers().empty() && is_split_layer(layer->inbound_layers().front());
}

std::pair<LayerList, LayerList> get_skipconnect_branch(const LayerPtr& layer) {
  BranchMemo memo;
  return skipconnect_branch(layer, &memo);
}

LayerList get_layers_to_map_together(const LayerList& layers) {
  int64_t open = 1;
  LayerList result;
  for (size_t i = 0; i < layers.size(); ++i) {
    const LayerPtr& layer = layers[i];
    const int64_t in = i == 0 ? 1 : int64_t(layer->inbound_layers().size());
    const int64_t out = int64_t(layer->outbound_layers().size());
    open += out - in;
    result.push_back(layer);
    if (open == 1 && !is_skip_dma(layer)) return result;
  }
  return result;
}

LayerPtr first_common_layer(const LayerList& first, const LayerList& second) {
  if (first.empty() || second.empty()) return nullptr;
  const std::unordered_set<LayerPtr> in_second(second.begin(), second.end());
  LayerList common;
  for (const LayerPtr& l : first)
    if (in_second.count(l)) common.push_back(l);
  if (common.empty()) return nullptr;
  sort_by_depth(&common);
  return common.front();
}

namespace {

// The layers that can be mapped, shallowest first.
LayerList candidates_by_depth(const LayerList& layers) {
  LayerList candidates;
  for (const LayerPtr& l : layers)
    if (l && is_candidate(l)) candidates.push_back(l);
  sort_by_depth(&candidates);
  return candidates;
}

}  // namespace

LayerPtr first_mappable_layer(const LayerList& layers) {
  const LayerList candidates = candidates_by_depth(layers);
  if (candidates.empty()) return nullptr;
  if (candidates.size() == 1) return candidates.front();
  DepthMemo memo;
  if (get_layer_depth(candidates[0], &memo) < get_layer_depth(candidates[1], &memo)) return candidates[0];
  return branch_choice(candidates[0], candidates[1]);
}

LayerPtr last_mappable_layer(const LayerList& layers) {
  const LayerList candidates = candidates_by_depth(layers);
  if (candidates.empty()) return nullptr;
  if (candidates.size() == 1) return candidates.front();
  const LayerPtr& last = candidates[candidates.size() - 1];
  const LayerPtr& before = candidates[candidates.size() - 2];
  DepthMemo memo;
  if (get_layer_depth(before, &memo) < get_layer_depth(last, &memo)) return last;
  return branch_choice(last, before);
}

LayerPtr get_mappable_layer(const LayerPtr& layer) {
  if (!is_skip_dma(layer)) return layer;
  LayerList outs;
  for (const LayerPtr& o : layer->outbound_layers())
    if (!is_skip_dma(o)) outs.push_back(o);
  if (outs.empty()) return nullptr;
  if (outs.size() == 1) return outs.front();
  return branch_choice(outs[0], outs[1]);
}

LayerPtr next_mappable_layer(const LayerPtr& layer) {
  const LayerList mapped = mapped_through(layer->outbound_layers());
  return first_mappable_layer(mapped);
}

LayerPtr previous_mappable_layer(const LayerPtr& layer) {
  const LayerList& ins = layer->inbound_layers();
  if (ins.empty()) return nullptr;
  const LayerPtr& p = ins.front();
  if (!is_skip_dma(p)) return p;
  if (!is_merge(layer)) {
    const LayerList branch = get_skipconnect_branch(p).first;
    return branch.empty() ? nullptr : get_mappable_layer(branch.front());
  }
  LayerList sources = mapped_through(p->inbound_layers());
  if (sources.empty()) return nullptr;
  sort_by_depth(&sources);
  return sources.back();
}

bool is_skip_layer(const LayerPtr& layer) {
  for (const LayerPtr& o : layer->outbound_layers()) {
    if (!is_skip_dma(o)) continue;
    LayerList sources = mapped_through(o->inbound_layers());
    if (sources.empty()) continue;
    sort_by_depth(&sources);
    if (sources.front() == layer) return true;
  }
  return false;
}

bool is_dual_output_to_store_dma(const LayerPtr& layer) {
  if (!is_dual_output_layer(layer)) return false;
  const LayerList& outs = layer->inbound_layers().front()->outbound_layers();
  const LayerPtr a = get_mappable_layer(outs[0]);
  const LayerPtr b = get_mappable_layer(outs[1]);
  if (!a || !b) return a != b;
  DepthMemo memo;
  return get_layer_depth(a, &memo) != get_layer_depth(b, &memo);
}

bool is_alt_layer(const LayerPtr& layer, DepthMemo* memo) {
  const LayerList& outs = layer->outbound_layers();
  if (outs.size() != 2) return false;
  const LayerPtr a = get_mappable_layer(outs[0]);
  const LayerPtr b = get_mappable_layer(outs[1]);
  if (!a || !b) return false;
  return get_layer_depth(a, memo) == get_layer_depth(b, memo);
}

bool layer_need_load_dma(const LayerPtr& layer) {
  if (is_kind(layer, hw::TargetKind::TNP_B)) return true;
  return is_merge(layer);
}

bool layer_need_store_dma(const LayerPtr& layer) {
  if (is_kind(layer, hw::TargetKind::TNP_B)) return true;
  return is_skip_layer(layer) || is_dual_output_to_store_dma(layer);
}

int64_t get_out_branches_count(const LayerList& layers) {
  if (layers.empty()) return 0;
  LayerList sorted = layers;
  sort_by_depth(&sorted);
  int64_t count = 1;
  for (const LayerPtr& l : sorted) {
    const int64_t in = l == layers.front() ? 1 : int64_t(l->inbound_layers().size());
    count += int64_t(l->outbound_layers().size()) - in;
  }
  return count;
}

}  // namespace ovrix
