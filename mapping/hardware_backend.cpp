#include "mapping/hardware_backend.h"

#include <stdexcept>

#include "engine/device.h"
#include "mapping/edition_registry.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh.h"

namespace ovrix {

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(const Device& device) {
  const IpVersion edition = device.version().get_ip_version();
  if (edition == IpVersion::none)
    throw std::runtime_error("Unsupported IP version in IpVersionSpecificHardwareBackend.");
  constraints = compute_hardware_constraints(edition, device.mesh());
  const Edition& implementations = require_edition(device.version().product_id);
  checker = implementations.make_checker(device, constraints);
  memory_sizer = implementations.make_memory_sizer();
  io_recorder = implementations.make_io_recorder(device);
  layer_recorder = implementations.make_layer_recorder(device, constraints);
}

MappingStatusGroup HardwareBackend::map(std::vector<std::shared_ptr<Layer>>* layers,
                                        std::vector<std::shared_ptr<Sequence>>* sequences,
                                        std::shared_ptr<MapConstraints> constraints) {
  if (!constraints) throw std::runtime_error("Map constraints must be specified.");
  // The constraints keep the device alive for the whole call.
  const std::shared_ptr<Device> device = constraints->device();
  const uint8_t product = device->version().product_id;
  IpVersionSpecificHardwareBackend backend(*device);
  return map_on_hardware(backend.constraints, constraints, backend, layers, sequences, product > 0xA0);
}

void register_hardware_backend() {
  register_hardware_backend_factory([]() -> std::unique_ptr<Backend> { return std::make_unique<HardwareBackend>(); });
}

}  // namespace ovrix
