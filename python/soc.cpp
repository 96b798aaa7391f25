#include "mapping/clock_mode.h"
#include "python/bindings.h"

namespace ovrix::python {

void init_socdriver_binding(py::module_& m) { (void)m; }

void init_clock_mode(py::module_& soc) {
  py::enum_<ovrix::soc::ClockMode>(soc, "ClockMode", "Clock mode configuration")
      .value("Performance", ovrix::soc::ClockMode::Performance)
      .value("Economy", ovrix::soc::ClockMode::Economy)
      .value("LowPower", ovrix::soc::ClockMode::LowPower)
      .export_values();
}

}  // namespace ovrix::python
