// Python class Metrics: a view of the metrics map its owner (a device or a model) keeps and fills.
#include "python/metrics.h"

#include <stdexcept>

#include "python/bindings.h"

namespace ovrix::python {

void init_metrics(py::module_& m) {
  py::class_<PyMetrics>(m, "Metrics", "\n      A set of 64-bit integer metrics indexed by name.\n      ")
      .def_property_readonly(
          "names",
          [](const PyMetrics& metrics) {
            py::list names;
            for (const auto& [name, value] : metrics.values) names.append(py::str(name));
            return names;
          },
          "The list of metrics names")
      // Names are str only: a bytes key is refused like any other non-string key.
      .def("__getitem__", [](const PyMetrics& metrics, const py::str& key) {
        const std::string name(key);
        const auto it = metrics.values.find(name);
        if (it == metrics.values.end()) throw std::invalid_argument(name + " : no such metrics");
        return it->second;
      });
}

}  // namespace ovrix::python
