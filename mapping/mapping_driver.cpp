#include "mapping/mapping_driver.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/backend_interfaces.h"
#include "mapping/hardware_backend.h"
#include "mapping/layer_mapping.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh.h"
#include "mapping/mesh_mapper.h"
#include "mapping/sequence_builder.h"

namespace ovrix {

namespace {

using MappableLayer = MappableLayers::MappableLayer;

// The NPs a layer may not take: the FNP2s of the run for a dense layer and, on a device with several
// passes, the NPs of the previous placed layer of the pass (unless NPs may feed themselves).
std::vector<hw::Ident> reserved_nps(const LayerPtr& layer, const std::vector<hw::Ident>& fnp2_nps,
                                    const std::vector<MappableLayer>& last_group, bool placed, bool multi_pass,
                                    bool loop_itself) {
  std::vector<hw::Ident> reserved;
  if (is_kind(layer, hw::TargetKind::FNP)) reserved = fnp2_nps;
  if (!(placed && multi_pass)) return reserved;
  const auto previous = std::find_if(last_group.rbegin(), last_group.rend(),
                                     [](const MappableLayer& entry) { return !entry.components.empty(); });
  if (previous == last_group.rend() || loop_itself) return reserved;
  for (const hw::Component& c : previous->components)
    if (c.type != hw::Type::SKIP_DMA_STORE && c.type != hw::Type::SKIP_DMA_LOAD) reserved.push_back(c.ident);
  return reserved;
}

// Tests the prefixes of the placed layers as sequences: the layers after the longest prefix that
// passes are pending, with the reasons their prefixes failed, in layer order. A sequence check only
// reads the layers, so the prefixes are tried from the longest down to the first that passes: the
// answer is that of trying every prefix from the shortest up, and a model whose layers all can end a
// sequence costs one check instead of one per layer (each check may walk the whole prefix).
MappingStatusGroup check_sequence_prefixes(const CompatibilityChecker& checker, const LayerList& layers, size_t stop,
                                           HwVersion version, LayerList* pending) {
  std::vector<MappingStatus> failures;
  size_t k = stop;
  for (; k >= 1; --k) {
    MappingStatus status = checker.check_layer_sequence(layers.begin(), layers.begin() + k, version);
    if (!status.failed) break;
    failures.push_back(std::move(status));
  }
  // Prefixes k + 1 .. stop failed; their last layers are pending.
  pending->assign(layers.begin() + k, layers.begin() + stop);
  MappingStatusGroup group;
  for (auto it = failures.rbegin(); it != failures.rend(); ++it) group.add_status(*it);
  return group;
}

void fill_memory_info(const HardwareSequence& sequence, const MemorySizer& sizer) {
  const auto& passes = sequence.passes();
  const bool multiple = passes.size() > 1;
  const LayerPtr anchor = passes.front()->layers.front();
  for (const auto& pass : passes) {
    for (const LayerPtr& layer : pass->layers) {
      const auto mapping = require_layer_mapping(*layer);
      for (hw::Component& c : *mapping->nps) c.mem_info = sizer.get_memory_info(layer, c, anchor, false, multiple);
      if (hw::Component* dual = mapping->skipdma_store_dual_output())
        dual->mem_info = sizer.get_memory_info(layer, *dual, anchor, true, multiple);
      if (hw::Component* store = mapping->skipdma_store())
        store->mem_info = sizer.get_memory_info(layer, *store, anchor, false, multiple);
    }
  }
}

}  // namespace

std::vector<LayerList> MappableLayers::build_mappable_layers() const {
  std::vector<LayerList> out;
  out.reserve(groups.size());
  for (const auto& group : groups) {
    LayerList layers;
    layers.reserve(group.size());
    for (const MappableLayer& entry : group) layers.push_back(entry.layer);
    out.push_back(std::move(layers));
  }
  return out;
}

std::vector<std::vector<std::vector<hw::Component>>> MappableLayers::build_mappable_components() const {
  std::vector<std::vector<std::vector<hw::Component>>> out;
  out.reserve(groups.size());
  for (const auto& group : groups) {
    std::vector<std::vector<hw::Component>> components;
    components.reserve(group.size());
    for (const MappableLayer& entry : group) components.push_back(entry.components);
    out.push_back(std::move(components));
  }
  return out;
}

MappingStatusGroup map_layers_on_hardware(const HardwareConstraints& constraints,
                                          const std::shared_ptr<MapConstraints>& map_constraints,
                                          const CompatibilityChecker& checker, const MemorySizer& memory_sizer,
                                          const IoRecorder& io_recorder, const LayerRecorder& layer_recorder,
                                          LayerList* layers, std::vector<std::shared_ptr<Sequence>>* sequences,
                                          bool multi_pass) {
  if (!map_constraints) throw std::invalid_argument("Map constraints must be specified.");
  if (!layers || !sequences) throw std::invalid_argument("Mapping needs a layer list and a sequence list.");
  for (const LayerPtr& layer : *layers)
    if (!layer) throw std::invalid_argument("Cannot map a null layer.");

  MappingStatus running = MappingStatus::success();
  MappingStatusGroup result;
  const std::shared_ptr<Device> device = map_constraints->device();
  if (!device) throw std::invalid_argument("Map constraints without a device.");
  const HwVersion version = device->version();

  HardwareSequenceBuilder builder(device, constraints, io_recorder, layer_recorder);
  MeshMapper mapper(checker, *map_constraints);
  mapper.reset();

  MappableLayers placed_layers;
  auto& groups = placed_layers.groups;
  std::vector<hw::Ident> fnp2_nps;
  bool placed = false;
  size_t stop = layers->size();

  for (size_t i = 0; i < layers->size(); ++i) {
    const LayerPtr& layer = (*layers)[i];
    bool new_pass = false;
    const LayerPtr previous = i > 0 && !layer->inbound_layers().empty() ? layer->inbound_layers().front() : nullptr;
    running = checker.check_layer_compatibility(*layer, previous.get(), version);
    if (running.failed) {
      stop = i;
      break;
    }

    std::vector<hw::Component> components;
    if (is_kind(layer, hw::TargetKind::HRC)) {
      if (!device->mesh().has_hrc()) {
        running = MappingStatus(
            layer->get_name(), "Layer should be mapped on HRC but the device does not have this hardware component.");
        result.add_status(running);
        return result;
      }
      components.emplace_back(hw::Type::HRC);
    } else if (!is_kind(layer, hw::TargetKind::None) && !is_kind(layer, hw::TargetKind::SkipDma)) {
      const std::vector<hw::Ident> reserved =
          groups.empty() ? std::vector<hw::Ident>()
                         : reserved_nps(layer, fnp2_nps, groups.back(), placed, multi_pass,
                                        map_constraints->hwpr_loopitself());
      const bool dual_buffer_only = multi_pass && map_constraints->hwpr_loopitself();
      const bool allow_new_pass = multi_pass && groups.size() <= 254;
      auto [given, status] = mapper.np_request(layer, reserved, dual_buffer_only, &new_pass, allow_new_pass);
      running = std::move(status);
      if (running.failed) {
        stop = i;
        break;
      }
      running = checker.check_layer_mappings(*layer, given, new_pass);
      if (running.failed) {
        stop = i;
        break;
      }
      for (const hw::Component& c : given)
        if (c.type == hw::Type::FNP2) fnp2_nps.push_back(c.ident);
      components = std::move(given);
    }

    if ((placed && new_pass) || groups.empty()) groups.emplace_back();
    groups.back().push_back(MappableLayer{layer, std::move(components)});
    placed = true;

    // The TNP-R runs the rest of the model as one chain.
    if (is_kind(layer, hw::TargetKind::TNP_R)) {
      for (size_t j = i + 1; j < layers->size(); ++j) groups.back().push_back(MappableLayer{(*layers)[j], {}});
      break;
    }
  }

  LayerList pending;
  result += check_sequence_prefixes(checker, *layers, stop, version, &pending);
  if (!pending.empty()) {
    for (auto& group : groups)
      group.erase(std::remove_if(group.begin(), group.end(),
                                 [&](const MappableLayer& entry) { return contains(pending, entry.layer); }),
                  group.end());
    groups.erase(std::remove_if(groups.begin(), groups.end(), [](const auto& group) { return group.empty(); }),
                 groups.end());
  }

  const std::vector<LayerList> group_layers = placed_layers.build_mappable_layers();
  const LayerPtr first = group_layers.empty() ? nullptr : first_mappable_layer(group_layers.front());
  if (first) {
    const auto group_components = placed_layers.build_mappable_components();
    for (size_t g = 0; g < group_layers.size(); ++g) builder.add_layers(group_layers[g], *layers, group_components[g]);

    std::pair<MappingStatus, std::shared_ptr<HardwareSequence>> built;
    try {
      built = builder.build_sequence();
    } catch (const std::runtime_error& error) {
      // A recording error in the layers placed before the walk stopped is often a consequence of the
      // layer that stopped it (a layer recorded as feeding a merge that was refused): report that cause
      // first, then the error, rather than the symptom alone.
      if (!running.failed) throw;
      result.add_status(running);
      result.add_status(MappingStatus("", error.what()));
      return result;
    }
    auto& [status, sequence] = built;
    if (status.failed) {
      result.add_status(status);
      // The failure that stopped the walk earlier still explains the layers left out.
      if (running.failed) result.add_status(running);
      return result;
    }

    std::unordered_set<const Layer*> mapped;
    for (const LayerList& group : group_layers)
      for (const LayerPtr& layer : group) mapped.insert(layer.get());
    layers->erase(std::remove_if(layers->begin(), layers->end(),
                                 [&](const LayerPtr& layer) { return mapped.count(layer.get()) != 0; }),
                  layers->end());
    if (is_kind(first, hw::TargetKind::TNP_R)) layers->clear();
    fill_memory_info(*sequence, memory_sizer);
    sequences->push_back(std::move(sequence));
  }

  if (running.failed) result.add_status(running);
  return result;
}

MappingStatusGroup map_on_hardware(const HardwareConstraints& constraints,
                                   const std::shared_ptr<MapConstraints>& map_constraints,
                                   const IpVersionSpecificHardwareBackend& backend, LayerList* layers,
                                   std::vector<std::shared_ptr<Sequence>>* sequences, bool multi_pass) {
  if (!backend.checker || !backend.memory_sizer || !backend.io_recorder || !backend.layer_recorder)
    throw std::invalid_argument("The hardware back-end of the edition is incomplete.");
  return map_layers_on_hardware(constraints, map_constraints, *backend.checker, *backend.memory_sizer,
                                *backend.io_recorder, *backend.layer_recorder, layers, sequences, multi_pass);
}

}  // namespace ovrix
