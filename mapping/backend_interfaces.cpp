#include "mapping/backend_interfaces.h"

namespace ovrix {

MemoryInfo MemorySizer::get_memory_info(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                        const std::shared_ptr<Layer>& first_layer, bool dual_output_store,
                                        bool multi_pass) const {
  // One call per field, in field order: an edition may rely on that order.
  MemoryInfo info;
  info.input_size = get_input_memory_size(layer, component, first_layer);
  info.weight_size = get_weight_memory_size(layer, component);
  info.external_size = get_external_memory_size(layer, component, dual_output_store, multi_pass);
  info.stsram_32b_size = get_stsram_32b_memory_size(layer);
  info.fsram_64b_size = get_fsram_64b_memory_size(layer);
  info.tsram_51b_size = get_tsram_51b_memory_size(layer);
  info.evsram_32b_size = get_evsram_32b_memory_size(layer);
  return info;
}

}  // namespace ovrix
