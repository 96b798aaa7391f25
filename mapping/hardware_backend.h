#pragma once
// The hardware back-end: the engine's mapping entry, and the per-mapping bundle of an edition's four
// implementations with the device's limits.
//
// The editions are found by product id in the edition registry (mapping/edition_registry.h); an
// edition that is not built is refused when selected.
#include <memory>
#include <vector>

#include "engine/sequence.h"
#include "mapping/backend_interfaces.h"
#include "mapping/hardware_constraints.h"
#include "mapping/mapping_status.h"

namespace ovrix {

class Device;
class Layer;
class MapConstraints;

class IpVersionSpecificHardwareBackend {
 public:
  // Picks the edition by the product id of device.version(): 0x00/0xA1 v1, 0xA2 v2, 0xB1 lumo; any
  // other: "Unsupported IP version in IpVersionSpecificHardwareBackend." (std::runtime_error); an
  // edition not built: "The <edition> hardware back-end is not available in this build.".
  // The limits are computed first, then checker, memory sizer, I/O recorder and layer recorder.
  explicit IpVersionSpecificHardwareBackend(const Device& device);
  // The implementations refer to this object's limits: it must not move.
  IpVersionSpecificHardwareBackend(const IpVersionSpecificHardwareBackend&) = delete;
  IpVersionSpecificHardwareBackend& operator=(const IpVersionSpecificHardwareBackend&) = delete;

  HardwareConstraints constraints;
  std::unique_ptr<CompatibilityChecker> checker;
  std::unique_ptr<MemorySizer> memory_sizer;
  std::unique_ptr<IoRecorder> io_recorder;
  std::unique_ptr<LayerRecorder> layer_recorder;
};

class HardwareBackend : public Backend {
 public:
  // Null constraints: "Map constraints must be specified." (std::runtime_error).
  MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>* layers, std::vector<std::shared_ptr<Sequence>>* sequences,
                         std::shared_ptr<MapConstraints> constraints) override;
  BackendType type() const override { return BackendType::Hardware; }
};

// Makes HardwareBackend the engine's hardware back-end (register_hardware_backend_factory). Done
// once at start-up, with the editions' registration.
void register_hardware_backend();

// The mapping driver that HardwareBackend::map hands the work to. new_products is true for product
// ids above 0xA0.
MappingStatusGroup map_on_hardware(const HardwareConstraints& limits, const std::shared_ptr<MapConstraints>& constraints,
                                   const IpVersionSpecificHardwareBackend& backend,
                                   std::vector<std::shared_ptr<Layer>>* layers,
                                   std::vector<std::shared_ptr<Sequence>>* sequences, bool new_products);

}  // namespace ovrix
