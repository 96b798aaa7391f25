#include "mapping/mapping_status.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

#include "engine/layer.h"

namespace ovrix {

template <class T>
void MappingStatusBase<T>::throw_exception() const {
  throw std::runtime_error(to_string());
}
template class MappingStatusBase<MappingStatus>;
template class MappingStatusBase<MappingStatusGroup>;

MappingStatus MappingStatus::component_error(const Layer& layer, const std::string& type_name, unsigned long needed,
                                             unsigned long available) {
  return MappingStatus(layer.get_name(),
                       fmt::format("Not enough hardware components of type {} available. {} {} needed but {} {} available.",
                                   type_name, needed, needed == 1 ? "is" : "are", available,
                                   available == 1 ? "is" : "are"));
}

MappingStatus& MappingStatus::operator+=(const MappingStatus& other) {
  if (!other.failed) return *this;
  if (failed) {
    message = message + " " + other.message;
  } else {
    failed = other.failed;
    layer_name = other.layer_name;
    message = other.message;
  }
  return *this;
}

std::string MappingStatus::to_string() const {
  if (layer_name.empty()) return message;
  return fmt::format("Cannot map layer '{}'. {}", layer_name, message);
}

MappingStatusGroup& MappingStatusGroup::operator+=(const MappingStatusGroup& other) {
  if (!other.failed) return *this;
  if (!failed) {
    failed = other.failed;
    message = other.message;
  }
  statuses.insert(statuses.end(), other.statuses.begin(), other.statuses.end());
  return *this;
}

void MappingStatusGroup::add_status(const MappingStatus& status) {
  if (std::find(statuses.begin(), statuses.end(), status) != statuses.end()) return;
  statuses.push_back(status);
  failed = true;
}

std::string MappingStatusGroup::to_string() const {
  if (statuses.empty()) return message;
  if (statuses.size() == 1) return statuses.front().to_string();
  std::string text = fmt::format("Cannot map layer '{}':", statuses.front().layer_name);
  for (const auto& s : statuses) {
    if (s.layer_name.empty())
      text += fmt::format("\n  * {}", s.message);
    else
      text += fmt::format("\n  * Layer '{}': {}", s.layer_name, s.message);
  }
  return text;
}

}  // namespace ovrix
