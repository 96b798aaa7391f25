#pragma once
// PyMetrics: named 64-bit measurements that a device wrapper or a model keeps about its last
// operations, seen from Python as Metrics.
#include <cstdint>
#include <string>
#include <unordered_map>

namespace ovrix::python {

struct PyMetrics {
  std::unordered_map<std::string, int64_t> values;

  // Creates or overwrites an entry.
  void set(const std::string& name, int64_t value) { values[name] = value; }
};

}  // namespace ovrix::python
