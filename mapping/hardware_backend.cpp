#include "mapping/hardware_backend.h"

#include <stdexcept>

#include "engine/device.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh.h"

// Each edition is compiled in when its back-end is part of the tree.
#if __has_include("backends/v1/edition.h")
#include "backends/v1/edition.h"
#define OVRIX_HAS_V1_EDITION 1
#endif
#if __has_include("backends/v2/edition.h")
#include "backends/v2/edition.h"
#define OVRIX_HAS_V2_EDITION 1
#endif
#if __has_include("backends/lumo/edition.h")
#include "backends/lumo/edition.h"
#define OVRIX_HAS_LUMO_EDITION 1
#endif

namespace ovrix {

namespace {

[[noreturn]] void edition_missing(const char* edition) {
  throw std::runtime_error(std::string("The ") + edition + " hardware back-end is not available in this build.");
}

template <class Checker, class Sizer, class Io, class Recorder>
void create_edition(IpVersionSpecificHardwareBackend* backend, const Device& device) {
  backend->checker = std::make_unique<Checker>(device, backend->constraints);
  backend->memory_sizer = std::make_unique<Sizer>();
  backend->io_recorder = std::make_unique<Io>(device);
  backend->layer_recorder = std::make_unique<Recorder>(device, backend->constraints);
}

}  // namespace

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(const Device& device) {
  const IpVersion edition = device.version().get_ip_version();
  if (edition == IpVersion::none)
    throw std::runtime_error("Unsupported IP version in IpVersionSpecificHardwareBackend.");
  constraints = compute_hardware_constraints(edition, device.mesh());
  switch (edition) {
    case IpVersion::v1:
#ifdef OVRIX_HAS_V1_EDITION
      create_edition<v1::CompatibilityCheckerImpl, v1::MemorySizerImpl, v1::IoRecorderImpl, v1::LayerRecorderImpl>(
          this, device);
      break;
#else
      edition_missing("v1");
#endif
    case IpVersion::v2:
#ifdef OVRIX_HAS_V2_EDITION
      create_edition<v2::CompatibilityCheckerImpl, v2::MemorySizerImpl, v2::IoRecorderImpl, v2::LayerRecorderImpl>(
          this, device);
      break;
#else
      edition_missing("v2");
#endif
    case IpVersion::lumo:
#ifdef OVRIX_HAS_LUMO_EDITION
      create_edition<lumo::CompatibilityCheckerImpl, lumo::MemorySizerImpl, lumo::IoRecorderImpl,
                     lumo::LayerRecorderImpl>(this, device);
      break;
#else
      edition_missing("lumo");
#endif
    default: throw std::runtime_error("Unsupported IP version in IpVersionSpecificHardwareBackend.");
  }
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

std::unique_ptr<Backend> create_hardware_backend() { return std::make_unique<HardwareBackend>(); }

}  // namespace ovrix
