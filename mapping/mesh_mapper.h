#pragma once
// The NP allocator of one mapping run: pools of the mesh's NPs per hardware type, the order in which
// they are offered, and the placement of one layer on them.
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "mapping/hw_description.h"
#include "mapping/hw_types.h"
#include "mapping/mapping_status.h"

namespace ovrix {

class CompatibilityChecker;
class Layer;
class MapConstraints;

// One NP of a pool: excluded from the current request (reserved) and/or taken in this pass (allocated).
struct NpSlot {
  hw::Ident ident;
  bool reserved = false;
  bool allocated = false;
  friend bool operator==(const NpSlot&, const NpSlot&) = default;
};

class MeshMapper {
 public:
  // Both are referred to, not owned, and must outlive the mapper.
  MeshMapper(const CompatibilityChecker& checker, const MapConstraints& constraints);

  // Rebuilds every pool from the constraints' device mesh, every slot free.
  void reset();
  // A slot is reserved exactly when its identifier is in the list (earlier reservations are replaced).
  void reserve_nps(const std::vector<hw::Ident>& reserved);
  // Type None marks the identifier in every pool; another type only in that type's pool.
  void allocate_np(hw::Ident ident, hw::Type type);
  // Frees every slot; reservations stay.
  void deallocate_nps();
  // Slots of the type that are not reserved, allocated or not.
  uint32_t max_nps(hw::Type type);
  // Slots of the type that are neither reserved nor allocated, in pool order.
  std::vector<hw::Ident> available_nps(hw::Type type);
  // FNP2 or FNP3 for a dense layer.
  hw::Type get_compatible_fnp_type(const Layer& layer);

  // Places one layer: its components with their NPs, or a failure. Sets *new_pass when every NP was
  // freed to start a new hardware pass (only when allow_new_pass).
  std::pair<std::vector<hw::Component>, MappingStatus> np_request(const std::shared_ptr<Layer>& layer,
                                                                   const std::vector<hw::Ident>& reserved,
                                                                   bool dual_buffer_only, bool* new_pass,
                                                                   bool allow_new_pass);
  // Makes sure a buffered temporal convolution that follows the layer will still find room.
  MappingStatus sanitize_tnp_b(const Layer& layer, bool* new_pass, bool allow_new_pass);

  // Appends the skip-DMA components of types[1..].
  void request_skipdma(std::vector<hw::Component>* components, const std::vector<hw::Type>& types,
                       const std::shared_ptr<Layer>& layer);
  std::vector<hw::Component> request_skipdma_store(const std::shared_ptr<Layer>& layer);
  std::vector<hw::Component> request_skipdma_load();

  const std::map<hw::Type, std::vector<NpSlot>>& pools() const { return pools_; }

 private:
  std::vector<NpSlot>& pool(hw::Type type) { return pools_[type]; }

  const CompatibilityChecker& checker_;
  const MapConstraints& constraints_;
  std::map<hw::Type, std::vector<NpSlot>> pools_;
};

}  // namespace ovrix
