#pragma once
// Memory sizes of the v2 edition: input, weight and external bytes a component needs for a layer.
#include "mapping/backend_interfaces.h"

namespace ovrix::v2 {

class MemorySizerImpl : public MemorySizer {
 public:
  MemorySizerImpl() = default;

  uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                 const std::shared_ptr<Layer>& first_layer) const override;
  uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component) const override;
  // from_input: the store keeps the layer's input (a dual output) rather than its output; two_slots:
  // the sequence has several passes, so two frames are kept.
  uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                    bool from_input, bool two_slots) const override;
  // The v2 edition has none of the lumo SRAMs: 0.
  uint32_t get_fsram_64b_memory_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t get_tsram_51b_memory_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t get_evsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t get_stsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const override;
};

}  // namespace ovrix::v2
