#include "backends/v2/skipdma.h"

#include <fmt/format.h>

#include <stdexcept>

#include "backends/v2/cnp_sizes.h"
#include "backends/v2/mesh_registers.h"
#include "backends/v2/skipdma_words.h"

namespace ovrix::v2 {

namespace {

std::vector<hw::Ident> idents(const std::vector<hw::Component>& components) {
  std::vector<hw::Ident> out;
  out.reserve(components.size());
  for (const auto& c : components) out.push_back(c.ident);
  return out;
}

void record_writes(program::Record* record, const hw::Ident& engine, const ChannelWrites& writes) {
  for (const auto& [address, words] : writes)
    record->add_np_track(engine, dma::Target::SkipDmaRegisters, address, words);
}

// Writes of a store engine; `dual` for the store of a dual output.
ChannelWrites store_writes(const Layer& layer, const LayerMapping& mapping, const hw::Component& engine, bool dual,
                           bool tnp_b, uint32_t fifo) {
  StoreChannel store;
  store.channel = engine.ident.channel;
  store.tnp_b = tnp_b;
  store.fifo = fifo;
  const bool direct = mapping.store_channel_info && mapping.store_channel_info->direct != 0;
  if (tnp_b) {
    // A TNP-B stores its input frames: the store reads what feeds the layer.
    store.source_index = uint32_t{mapping.index} - 1;
    store.sources = idents(source_components(mapping));
    store.select_sources = !dual && direct;
  } else if (!dual) {
    store.source_index = mapping.output_index;
    store.sources = idents(*mapping.nps);
    store.select_sources = direct;
  } else {
    store.source_index = mapping.merge_info ? mapping.merge_info->dual_output_target : 0;
    store.sources = idents(*mapping.nps);
    store.select_sources = false;
  }
  // The first store of an ordinary layer keeps its output, every other store the layer's input.
  if (!dual && !tnp_b) {
    const Shape out = layer.output_dimensions();
    store.bits = layer.output_bits();
    store.width = out[0];
    store.height = out[1];
    store.channels = out[2];
  } else {
    const Shape in = first_input_shape(layer);
    store.bits = layer.input_bits();
    store.width = in[0];
    store.height = in[1];
    store.channels = in[2];
  }
  return skipdma_store_writes(store);
}

}  // namespace

void record_skipdma(program::Record* record, const Layer& layer) {
  const LayerMapping& mapping = mapping_of(layer);
  const bool tnp_b = layer.is_target_component(hw::TargetKind::TNP_B);
  uint32_t fifo = 0;
  const hw::Component* load = mapping.skipdma_load();
  if (tnp_b) {
    fifo = static_cast<uint32_t>(layer_param(layer, "fifo_size"));
    if (load == nullptr) throw std::runtime_error(fmt::format("Layer '{}' has no skip DMA load for its FIFO.",
                                                              layer.get_name()));
    const uint16_t reset = skipdma_address(load->ident.channel, SKIPDMA_REG_LOAD_RESET);
    for (int i = 0; i < 2; ++i)
      record->add_np_track(load->ident, dma::Target::SkipDmaRegisters, reset, {SKIPDMA_TNP_B_LOAD_RESET_WORD});
  }
  if (const hw::Component* store = mapping.skipdma_store())
    record_writes(record, store->ident, store_writes(layer, mapping, *store, false, tnp_b, fifo));
  if (const hw::Component* dual = mapping.skipdma_store_dual_output())
    record_writes(record, dual->ident, store_writes(layer, mapping, *dual, true, tnp_b, fifo));
  if (load != nullptr) {
    const auto& nps = *mapping.nps;
    if (nps.empty()) throw std::invalid_argument("Merging layer has no CNPs.");
    for (const auto& np : nps)
      if (!np.np) throw std::invalid_argument("Merging layer has no CNPs.");
    LoadChannel channel;
    channel.channel = load->ident.channel;
    channel.tnp_b = tnp_b;
    channel.fifo = fifo;
    channel.count = mapping.merge_info ? mapping.merge_info->channel : mapping.index;
    channel.targets = idents(nps);
    if (mapping.load_channel_info) {
      channel.load_channel = mapping.load_channel_info->channel;
      channel.sram_shift = mapping.load_channel_info->sram_shift;
    }
    record_writes(record, load->ident, skipdma_load_writes(channel));
  }
}

}  // namespace ovrix::v2
