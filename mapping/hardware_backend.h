#pragma once
// The hardware back-end: the engine's mapping entry, and the per-mapping bundle of an edition's four
// implementations with the device's limits.
//
// An edition plugs in by providing backends/<edition>/edition.h (v1, v2, lumo), which declares
// ovrix::<edition>::CompatibilityCheckerImpl(const Device&, const HardwareConstraints&),
// MemorySizerImpl(), IoRecorderImpl(const Device&) and
// LayerRecorderImpl(const Device&, const HardwareConstraints&). Only mapping/hardware_backend.cpp
// includes those headers; an edition that is not there yet is refused when selected.
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
  // other: "Unsupported IP version in IpVersionSpecificHardwareBackend." (std::runtime_error).
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

// The mapping driver that HardwareBackend::map hands the work to. new_products is true for product
// ids above 0xA0.
MappingStatusGroup map_on_hardware(const HardwareConstraints& limits, const std::shared_ptr<MapConstraints>& constraints,
                                   const IpVersionSpecificHardwareBackend& backend,
                                   std::vector<std::shared_ptr<Layer>>* layers,
                                   std::vector<std::shared_ptr<Sequence>>* sequences, bool new_products);

}  // namespace ovrix
