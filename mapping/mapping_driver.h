#pragma once
// The mapping driver: one hardware mapping from end to end. Checks each layer against the edition,
// places it on NPs, groups the placed layers into hardware passes, leaves out trailing layers that
// cannot end a sequence, builds one HardwareSequence, fills the memory information of its components,
// erases the mapped layers from the model's list and appends the sequence.
#include <memory>
#include <vector>

#include "engine/sequence.h"
#include "mapping/graph_utils.h"
#include "mapping/hw_description.h"
#include "mapping/mapping_status.h"

namespace ovrix {

class CompatibilityChecker;
class IoRecorder;
class IpVersionSpecificHardwareBackend;
class LayerRecorder;
class MapConstraints;
class MemorySizer;
struct HardwareConstraints;

// The placed layers of one mapping run, in groups: one group per hardware pass.
struct MappableLayers {
  struct MappableLayer {
    LayerPtr layer;
    // Empty for layers that take no NP (input data, skip-DMA layers, layers after a TNP_R layer).
    std::vector<hw::Component> components;
  };

  // Per group, its layers in order.
  std::vector<LayerList> build_mappable_layers() const;
  // Per group, its layers' component lists in order.
  std::vector<std::vector<std::vector<hw::Component>>> build_mappable_components() const;

  std::vector<std::vector<MappableLayer>> groups;
};

// The mapping driver that HardwareBackend::map hands the work to: map_layers_on_hardware with the
// edition's four implementations (all present, else std::invalid_argument). multi_pass: the device
// may split a model into several passes (product ids above 0xA0).
MappingStatusGroup map_on_hardware(const HardwareConstraints& constraints,
                                   const std::shared_ptr<MapConstraints>& map_constraints,
                                   const IpVersionSpecificHardwareBackend& backend, LayerList* layers,
                                   std::vector<std::shared_ptr<Sequence>>* sequences, bool multi_pass);

// map_on_hardware with the edition's four implementations given one by one. Ordinary mapping
// failures come back in the result; the layers left in *layers are those the hardware did not take.
MappingStatusGroup map_layers_on_hardware(const HardwareConstraints& constraints,
                                          const std::shared_ptr<MapConstraints>& map_constraints,
                                          const CompatibilityChecker& checker, const MemorySizer& memory_sizer,
                                          const IoRecorder& io_recorder, const LayerRecorder& layer_recorder,
                                          LayerList* layers, std::vector<std::shared_ptr<Sequence>>* sequences,
                                          bool multi_pass);

}  // namespace ovrix
