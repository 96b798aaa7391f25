#include "backends/common/rule_failures.h"

#include <algorithm>

namespace ovrix {

bool one_of(int32_t value, std::initializer_list<int32_t> allowed) {
  return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

MappingStatus layer_failure(const Layer& layer, const std::string& message) { return MappingStatus(layer.get_name(), message); }

}  // namespace ovrix
