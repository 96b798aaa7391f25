#include <stdexcept>

#include "engine/sequence.h"

namespace ovrix {

std::unique_ptr<Backend> create_hardware_backend() {
  throw std::runtime_error("Mapping on hardware is not available yet.");
}

}  // namespace ovrix
