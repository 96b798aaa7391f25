// Python classes PowerEvent and PowerMeter: read-only views of the power measurements a SoC driver
// logs while power measurement is on.
#include "mapping/power_meter.h"

#include <cstdint>

#include "python/bindings.h"

namespace ovrix::python {

namespace {

using PowerEvent = PowerMeter::PowerEvent;

// Milliwatts in integer arithmetic: microvolts times milliamperes need 64 bits.
uint64_t power_mw(const PowerEvent& event) { return uint64_t{event.voltage} * event.current / 1000000u; }

}  // namespace

void init_powermeter_binding(py::module_& m) {
  py::class_<PowerEvent>(m, "PowerEvent",
                         "\n    A timestamped power measurement.\n\n    Each PowerEvent contains:\n"
                         "    - a voltage value in \xc2\xb5V (microvolt),\n"
                         "    - a current value in mA (milliampere),\n"
                         "    - the corresponding power value in mW (milliwatt).\n          ")
      .def_property_readonly("ts", [](const PowerEvent& e) { return e.ts; }, "Timestamp of the event")
      .def_property_readonly("voltage", [](const PowerEvent& e) { return e.voltage; }, "Voltage value in \xc2\xb5V")
      .def_property_readonly("current", [](const PowerEvent& e) { return e.current; }, "Current value in mA")
      .def_property_readonly("power", &power_mw, "Power value in mW");

  py::classh<PowerMeter>(m, "PowerMeter",
                         "\n    Gives access to power measurements.\n\n"
                         "    When power measurements are enabled for a specific device, this object\n"
                         "    stores them as a list of ``PowerEvent`` objects.\n"
                         "    The events list cannot exceed a predefined size: when it is full, older\n"
                         "    events are replaced by newer events.\n          ")
      .def(
          "events",
          [](const PowerMeter& meter) {
            py::list events;
            for (const PowerEvent& e : meter.events()) events.append(py::cast(e));
            return events;
          },
          "Retrieve all pending events")
      .def_property_readonly(
          "floor",
          [](const PowerMeter& meter) -> py::object {
            // Two separate reads: an event logged in between shows in the floor.
            if (!meter.has_events()) return py::none();
            return py::float_(meter.floor());
          },
          "Get the floor power");
}

}  // namespace ovrix::python
