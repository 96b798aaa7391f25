#pragma once
// One hardware pass: the layers that run on the device in one go. Building a pass creates the
// layers' mappings and links them, to each other and to the previous pass; destroying it unmaps its
// layers again.
#include <cstddef>
#include <memory>
#include <vector>

#include "engine/sequence.h"
#include "mapping/graph_utils.h"
#include "mapping/hw_types.h"
#include "mapping/layer_mapping.h"

namespace ovrix {

class HardwarePass : public Sequence::Pass {
 public:
  // Maps the layers (LayerMappingBuilder::build_layer_mapping with sequence_layers, one component
  // list per layer and the DMA identifier), then, when there is a previous pass, links the first
  // mappable layer of this pass to the last mappable layer of that one. When the mapping fails, the
  // layers mapped so far are unmapped again and the exception leaves the constructor.
  HardwarePass(const LayerList& layers, const LayerList& sequence_layers, const ComponentLists& components,
               const hw::Ident& dma_ident, const std::shared_ptr<HardwarePass>& previous);
  // Resets the mapping of every layer that still holds the one this pass gave it (a layer mapped
  // again by a later pass keeps its new mapping).
  ~HardwarePass() override;
  HardwarePass(const HardwarePass&) = delete;
  HardwarePass& operator=(const HardwarePass&) = delete;

  size_t size() const { return layers.size(); }

 private:
  void unmap() noexcept;

  // The mappings this pass created, one per layer, in layer order.
  std::vector<std::weak_ptr<Layer::Mapping>> created_;
};

}  // namespace ovrix
