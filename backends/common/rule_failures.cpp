#include "backends/common/rule_failures.h"

namespace ovrix {

MappingStatus layer_failure(const Layer& layer, const std::string& message) { return MappingStatus(layer.name(), message); }

}  // namespace ovrix
