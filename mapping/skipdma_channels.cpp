#include "mapping/skipdma_channels.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

#include "engine/layer.h"
#include "mapping/mapping_status.h"

namespace ovrix {

namespace {

bool is_skip_dma(const LayerPtr& layer) { return is_kind(layer, hw::TargetKind::SkipDma); }
bool is_tnp_b(const LayerPtr& layer) { return is_kind(layer, hw::TargetKind::TNP_B); }

[[noreturn]] void refuse(const Layer& layer, const std::string& message) {
  MappingStatus(layer.get_name(), message).throw_exception();
}

uint8_t checked(uint64_t value, uint64_t limit, const Layer& layer, const char* what, const char* cause) {
  if (value > limit)
    refuse(layer, fmt::format("The {} number {} does not fit in 8 bits: the model needs too many {}.", what, value,
                              cause));
  return static_cast<uint8_t>(value);
}

// FIFO depth of a buffered temporal layer: its frames plus the one being written.
uint8_t fifo_depth(const Layer& layer) {
  return static_cast<uint8_t>(static_cast<uint32_t>(layer.params()->get("fifo_size")) + 1);
}

const LayerPtr& first_inbound(const LayerPtr& layer) {
  const LayerList& ins = layer->inbound_layers();
  if (ins.empty()) throw std::runtime_error(fmt::format("Layer '{}' has no inbound layer.", layer->get_name()));
  return ins.front();
}

// The largest 8-bit depth gap from `from` to its outbound layers (0 without outbound layer).
uint8_t largest_gap_to_outbounds(const LayerPtr& from, DepthMemo* memo) {
  const uint32_t base = get_layer_depth(from, memo);
  uint8_t gap = 0;
  for (const LayerPtr& out : from->outbound_layers())
    gap = std::max(gap, static_cast<uint8_t>(get_layer_depth(out, memo) - base));
  return gap;
}

LayerList sorted_by_depth(LayerList layers) {
  sort_by_depth(&layers);
  return layers;
}

// Counts the layers of `list`, from its second entry up to and including `layer` (the whole list
// when the layer is absent), that satisfy `counted`.
template <class Pred>
uint64_t count_up_to(const LayerList& list, const LayerPtr& layer, Pred counted) {
  uint64_t count = 0;
  for (size_t i = 1; i < list.size(); ++i) {
    if (counted(list[i])) ++count;
    if (list[i] == layer) break;
  }
  return count;
}

}  // namespace

uint8_t checked_position_number(uint64_t value, const Layer& layer) {
  return checked(value, max_position_number, layer, "position", "layers in one hardware pass");
}
uint8_t checked_channel_number(uint64_t value, const Layer& layer) {
  return checked(value, max_position_number, layer, "skip-DMA channel", "skip connections");
}
uint8_t checked_slot_number(uint64_t value, const Layer& layer) {
  return checked(value, max_slot_number, layer, "skip-DMA slot", "skip connections");
}

uint64_t skipdma_channel_base(const LayerPtr& layer, const LayerList& layers, const LayerList& sequence_layers) {
  const uint64_t base = uint64_t{sequence_layers.size()} + 1;
  if (!layers.empty() && layers.front() == layer) return base;
  return base + 4 * count_up_to(layers, layer, [](const LayerPtr& l) {
           return layer_need_load_dma(l) || layer_need_store_dma(l);
         });
}

uint64_t skipdma_store_slot(const LayerPtr& layer, const LayerList& sequence_layers) {
  if (!sequence_layers.empty() && sequence_layers.front() == layer) return 1;
  return 1 + 2 * count_up_to(sequence_layers, layer, [](const LayerPtr& l) {
           return layer_need_store_dma(l) || is_dual_output_layer(l);
         });
}

uint64_t skipdma_dual_output_slot(const LayerPtr& layer, const LayerList& sequence_layers) {
  return skipdma_store_slot(layer, sequence_layers) + 1;
}

void shift_output_into_sram(const LayerPtr& layer, DepthMemo* memo) {
  if (is_skip_dma(layer) || layer->outbound_layers().empty()) return;
  const LayerPtr& concat = layer->outbound_layers().front();
  if (layer_type(*concat) != LayerType::Concatenate) return;
  const LayerList& ins = concat->inbound_layers();
  if (ins.size() < 2) return;
  const LayerPtr& a = ins[0];
  const LayerPtr& b = ins[1];
  // The deeper second input writes its channels after those of the first.
  if (b == layer && get_layer_depth(a, memo) < get_layer_depth(b, memo))
    require_layer_mapping(*layer)->output_sram_shift = std::make_unique<uint32_t>(a->output_dimensions()[2]);
}

void set_merge_layer_info(const LayerPtr& layer, const LayerList& layers, const LayerList& sequence_layers,
                          DepthMemo* memo) {
  const auto mapping = require_layer_mapping(*layer);
  mapping->merge_info = std::make_unique<MergeLayerMapInfo>();
  MergeLayerMapInfo& info = *mapping->merge_info;

  const LayerPtr& node = first_inbound(layer);
  info.is_add = layer_type(*node) == LayerType::Add;
  info.channel = checked_channel_number(skipdma_channel_base(layer, layers, sequence_layers) + 1, *layer);
  info.not_first = layer != first_mappable_layer(layers);

  if (info.is_add) {
    if (const auto vars = node->variables()) {
      info.a_shift = vars->get("a_shift");
      info.b_shift = vars->get("b_shift");
      info.output_shift = vars->get("output_shift");
    }
    // a_shift belongs to the deeper input of the Add.
    const LayerList& ins = node->inbound_layers();
    if (ins.size() >= 2 && get_layer_depth(ins[0], memo) < get_layer_depth(ins[1], memo))
      std::swap(info.a_shift, info.b_shift);
  }

  info.dual_output = is_dual_output_layer(layer);
  if (!info.dual_output) return;
  if (is_dual_output_to_store_dma(layer)) {
    info.dual_output_target = checked_channel_number(skipdma_channel_base(layer, layers, sequence_layers) + 3, *layer);
    return;
  }
  // The dual output feeds the first layer of the other branch directly, inside this pass.
  const LayerList& outs = node->outbound_layers();
  LayerPtr other;
  if (!outs.empty()) other = get_mappable_layer(outs[0] == layer && outs.size() > 1 ? outs[1] : outs[0]);
  if (!other || !contains(layers, other))
    refuse(*layer, "Hardware partial reconfiguration with layers on the second branch is not supported.");
  info.dual_output_target = require_layer_mapping(*other)->index;
}

void set_skipdma_store_channel_info(const LayerPtr& layer, const LayerList& layers, const LayerList& sequence_layers,
                                    DepthMemo* memo) {
  const auto mapping = require_layer_mapping(*layer);
  auto info = std::make_unique<StoreChannelInfo>();
  info->depth = largest_gap_to_outbounds(layer, memo);

  if (is_tnp_b(layer)) {
    info->depth = fifo_depth(*layer);
    info->direct = 1;
    const auto it = std::find(sequence_layers.begin(), sequence_layers.end(), layer);
    if (it == sequence_layers.end()) refuse(*layer, "Layer not found in the sequence.");
    info->slot = checked_slot_number(static_cast<uint64_t>(it - sequence_layers.begin()), *layer);
    mapping->store_channel_info = std::move(info);
    return;
  }

  info->slot = checked_slot_number(skipdma_store_slot(layer, sequence_layers), *layer);
  const LayerList& outs = layer->outbound_layers();
  if (outs.size() == 1 && is_skip_dma(outs.front())) {
    // The layer's output goes straight into the skip-DMA layer's channel.
    mapping->output_index = checked_channel_number(skipdma_channel_base(layer, layers, sequence_layers) + 2, *layer);
    info->direct = 1;
  }
  mapping->store_channel_info = std::move(info);
}

void set_skipdma_store_channel_dual_output_info(const LayerPtr& layer, const LayerList& sequence_layers,
                                                DepthMemo* memo) {
  const auto mapping = require_layer_mapping(*layer);
  auto info = std::make_unique<StoreChannelInfo>();
  info->depth = largest_gap_to_outbounds(first_inbound(layer), memo);
  info->slot = checked_slot_number(skipdma_dual_output_slot(layer, sequence_layers), *layer);
  mapping->store_dual_output_channel_info = std::move(info);
}

void set_skipdma_load_channel_info(const LayerPtr& layer, const LayerList& layers, const LayerList& sequence_layers,
                                   DepthMemo* memo) {
  for (const LayerPtr& l : layers) get_layer_depth(l, memo);
  const auto mapping = require_layer_mapping(*layer);
  auto info = std::make_unique<LoadChannelInfo>();

  if (is_tnp_b(layer)) {
    // The FIFO is read back by the first of the layer's two position numbers.
    if (!mapping->store_channel_info)
      throw std::runtime_error(fmt::format(
          "Layer '{}' has a skip-DMA load without a skip-DMA store: its FIFO has no slot.", layer->get_name()));
    info->channel = static_cast<uint8_t>(mapping->index - 1);
    info->depth = fifo_depth(*layer);
    info->slot = mapping->store_channel_info->slot;
    mapping->load_channel_info = std::move(info);
    return;
  }

  const LayerPtr& node = first_inbound(layer);
  const LayerList& ins = node->inbound_layers();
  if (ins.size() < 2)
    throw std::runtime_error(
        fmt::format("Merge layer '{}' of layer '{}' needs two inbound layers.", node->get_name(), layer->get_name()));
  const LayerPtr& a = ins[0];
  const LayerPtr& b = ins[1];
  info->channel = checked_channel_number(skipdma_channel_base(layer, layers, sequence_layers), *layer);
  const uint32_t da = get_layer_depth(a, memo), db = get_layer_depth(b, memo);
  info->depth = static_cast<uint8_t>(da > db ? da - db : db - da);

  // The load reads the store of the shallowest source of the merge, or, when that source is itself a
  // skip-DMA layer, the dual-output store of the layer after it.
  const LayerPtr s = sorted_by_depth(ins).front();
  if (!is_skip_dma(s)) {
    info->slot = checked_slot_number(skipdma_store_slot(s, sequence_layers), *layer);
  } else {
    const LayerPtr x = sorted_by_depth(s->outbound_layers()).at(0);
    info->slot = checked_slot_number(skipdma_dual_output_slot(x, sequence_layers), *layer);
  }

  if (static_cast<int64_t>(da) > static_cast<int64_t>(db) && layer_type(*node) == LayerType::Concatenate)
    info->sram_shift = a->output_dimensions()[2];
  mapping->load_channel_info = std::move(info);
}

void set_alt_layers(const LayerPtr& layer, const LayerList& layers,
                    std::vector<std::shared_ptr<LayerMapping::ComponentList>>* destinations) {
  for (const LayerPtr& out : sorted_by_depth(layer->outbound_layers()))
    if (!contains(layers, out))
      refuse(*layer, "Hardware partial reconfiguration with layers on the second branch is not supported.");

  const auto branches = get_skipconnect_branch(layer);
  const LayerPtr a = get_mappable_layer(branches.first.at(0));
  const LayerPtr b = get_mappable_layer(branches.second.at(0));
  if (!a || !b)
    throw std::runtime_error(
        fmt::format("A branch that layer '{}' opens has no layer running on hardware.", layer->get_name()));
  const auto ma = require_layer_mapping(*a);
  const auto mb = require_layer_mapping(*b);

  const uint32_t count = static_cast<uint32_t>(ma->nps->size() + mb->nps->size());
  ma->alt_info = std::make_unique<AltLayerMapInfo>();
  ma->alt_info->component_count = count;
  mb->alt_info = std::make_unique<AltLayerMapInfo>();
  mb->alt_info->component_count = count;
  mb->alt_info->is_second = 1;
  mb->alt_info->first_branch_index = ma->index;

  require_layer_mapping(*layer)->output_index = ma->index;
  destinations->push_back(ma->nps);
  destinations->push_back(mb->nps);
}

}  // namespace ovrix
