#pragma once
// Skip connections and buffered temporal layers use skip-DMA store and load engines. For one layer of
// a hardware pass, these functions compute what the recorders need to program those engines: the
// channel numbers of the layer's block, the slot that pairs a store with the load reading it, the
// depth gaps between branches, FIFO depths, the shifts of an Add merge, the SRAM offset of a
// concatenated branch and the links of a layer that opens two branches. Each writes one record of
// the layer's LayerMapping, replacing an earlier one.
//
// `layers` is the pass in pass order, `sequence_layers` the list slots are counted against (the
// model's whole layer list), `memo` the pass's depth memo. Every layer handled must be mapped.
//
// Channel, slot and position numbers are 8-bit on the device, and 255 stands for "none" where a
// channel or position number is expected. A model that would need a larger number is refused with
// a mapping failure (std::runtime_error "Cannot map layer '<name>'. ...") rather than written with a
// wrapped number.
#include <cstdint>
#include <memory>
#include <vector>

#include "mapping/graph_utils.h"
#include "mapping/layer_mapping.h"

namespace ovrix {

// Largest position or channel number (255 means none); largest slot number.
inline constexpr uint64_t max_position_number = 254;
inline constexpr uint64_t max_slot_number = 255;

// The value as an 8-bit number, or the mapping failure of `layer` when it does not fit.
uint8_t checked_position_number(uint64_t value, const Layer& layer);
uint8_t checked_channel_number(uint64_t value, const Layer& layer);
uint8_t checked_slot_number(uint64_t value, const Layer& layer);

// First channel k of the layer's block of four (k load, k+1 merge, k+2 output to a skip-DMA layer,
// k+3 dual output to a store): (number of sequence layers + 1), plus 4 for every layer of the pass
// from its second entry up to and including this one that needs a skip-DMA load or store. Not
// reduced to 8 bits.
uint64_t skipdma_channel_base(const LayerPtr& layer, const LayerList& layers, const LayerList& sequence_layers);
// Slot of the layer's store: 1 + 2c, where c counts the sequence layers from the second entry up to
// and including the layer that need a store or have a dual output (the whole list when the layer is
// absent, 0 when it is the first entry). The dual-output slot is one more. Not reduced to 8 bits.
uint64_t skipdma_store_slot(const LayerPtr& layer, const LayerList& sequence_layers);
uint64_t skipdma_dual_output_slot(const LayerPtr& layer, const LayerList& sequence_layers);

// output_sram_shift of the deeper second input of a Concatenate: the first input's channels.
void shift_output_into_sram(const LayerPtr& layer, DepthMemo* memo);
// merge_info of a merge layer: its channel, the Add shifts (a_shift belongs to the deeper input) and
// the dual-output target.
void set_merge_layer_info(const LayerPtr& layer, const LayerList& layers, const LayerList& sequence_layers,
                          DepthMemo* memo);
// store_channel_info: depth gap, direct flag and slot (TNP_B layers: FIFO depth, 1, the layer's place
// in the sequence).
void set_skipdma_store_channel_info(const LayerPtr& layer, const LayerList& layers, const LayerList& sequence_layers,
                                    DepthMemo* memo);
// store_dual_output_channel_info: depth gap after the split, 0, dual-output slot.
void set_skipdma_store_channel_dual_output_info(const LayerPtr& layer, const LayerList& sequence_layers,
                                                DepthMemo* memo);
// load_channel_info: channel, depth gap of the merge's inputs, slot of the store read, SRAM offset.
void set_skipdma_load_channel_info(const LayerPtr& layer, const LayerList& layers, const LayerList& sequence_layers,
                                   DepthMemo* memo);
// alt_info of the first layers of the two branches a layer opens, the layer's output index, and
// both branches' NPs appended to `destinations` (the layer mapping's destination list).
void set_alt_layers(const LayerPtr& layer, const LayerList& layers,
                    std::vector<std::shared_ptr<LayerMapping::ComponentList>>* destinations);

}  // namespace ovrix
