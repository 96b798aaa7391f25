// Python class SocDriver (the SoC interface of a device's driver) and the soc submodule's ClockMode.
#include "engine/device.h"
#include "mapping/clock_mode.h"
#include "mapping/power_meter.h"
#include "python/bindings.h"

namespace ovrix::python {

void init_socdriver_binding(py::module_& m) {
  // The driver belongs to the engine's hardware device; Python only refers to it.
  py::class_<SocDriver, std::unique_ptr<SocDriver, py::nodelete>>(m, "SocDriver")
      .def_property(
          "clock_mode", [](SocDriver& driver) { return driver.clock_mode(); },
          [](SocDriver& driver, soc::ClockMode mode) { driver.set_clock_mode(mode); }, "Clock mode of the Quor.")
      .def_property(
          "power_measurement_enabled", [](SocDriver& driver) { return driver.power_meter() != nullptr; },
          [](SocDriver& driver, bool enabled) { driver.set_power_measurement_enabled(enabled); },
          "Power measurement is off by default. Toggle it on to get power information in the statistics or when "
          "calling PowerMeter.events().")
      .def_property_readonly(
          "power_meter", [](SocDriver& driver) { return driver.power_meter(); }, "Power meter associated to the SoC.");
}

void init_clock_mode(py::module_& soc) {
  py::enum_<ovrix::soc::ClockMode> clock_mode(soc, "ClockMode", "Clock mode configuration");
  construct_from_int32(clock_mode);
  clock_mode.value("Performance", ovrix::soc::ClockMode::Performance)
      .value("Economy", ovrix::soc::ClockMode::Economy)
      .value("LowPower", ovrix::soc::ClockMode::LowPower)
      .export_values();
}

}  // namespace ovrix::python
