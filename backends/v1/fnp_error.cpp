#include "backends/v1/fnp_error.h"

namespace ovrix::v1 {

FnpError::FnpError(const std::string& message) : std::runtime_error("Backend hardware(FullyConnected): " + message) {}

}  // namespace ovrix::v1
