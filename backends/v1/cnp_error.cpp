#include "backends/v1/cnp_error.h"

namespace ovrix::v1 {

CnpError::CnpError(const std::string& message) : std::runtime_error("Backend hardware(CNP): " + message) {}

}  // namespace ovrix::v1
