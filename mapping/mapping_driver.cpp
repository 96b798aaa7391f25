#include <stdexcept>

#include "mapping/hardware_backend.h"

namespace ovrix {

MappingStatusGroup map_on_hardware(const HardwareConstraints&, const std::shared_ptr<MapConstraints>&,
                                   const IpVersionSpecificHardwareBackend&, std::vector<std::shared_ptr<Layer>>*,
                                   std::vector<std::shared_ptr<Sequence>>*, bool) {
  throw std::runtime_error("Mapping layers on hardware is not available yet.");
}

}  // namespace ovrix
