#pragma once
// The v1 edition's memory sizes: input SRAM, weight SRAM and external memory bytes of one component
// of a layer. The v1 edition has none of the lumo SRAMs.
#include "mapping/backend_interfaces.h"

namespace ovrix::v1 {

class MemorySizerImpl : public MemorySizer {
 public:
  // A kind the v1 edition does not size: std::invalid_argument "Invalid v1 layer type.". Sizes beyond
  // 32 bits are answered as 0xFFFFFFFF, which no memory holds.
  uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                 const std::shared_ptr<Layer>& first_layer) const override;
  uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component) const override;
  // An FNP2 keeps its dense weights outside the NP; nothing else uses external memory.
  uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                    bool dual_output_store, bool multi_pass) const override;
  // 0 for every layer.
  uint32_t get_fsram_64b_memory_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t get_tsram_51b_memory_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t get_evsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t get_stsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const override;
};

}  // namespace ovrix::v1
