// Python class HwVersion: the four-byte hardware version of a device and the named versions of the
// known products.
#include <pybind11/operators.h>

#include "mapping/hw_version.h"
#include "python/bindings.h"
#include "python/virtual_device.h"

namespace ovrix::python {

void init_hw_version(py::module_& m) {
  py::class_<HwVersion> cls(m, "HwVersion");
  cls
      .def(py::init<uint8_t, uint8_t, uint8_t, uint8_t>())
      .def_property_readonly(
          "vendor_id", [](const HwVersion& v) { return v.vendor_id; }, "The hardware vendor identifier")
      .def_property_readonly(
          "product_id", [](const HwVersion& v) { return v.product_id; }, "The hardware product identifier")
      .def_property_readonly(
          "major_rev", [](const HwVersion& v) { return v.major_rev; }, "The hardware major revision")
      .def_property_readonly(
          "minor_rev", [](const HwVersion& v) { return v.minor_rev; }, "The hardware minor revision")
      .def_property_readonly(
          "ip_version", [](const HwVersion& v) { return v.get_ip_version(); }, "The IP version.")
      .def("__str__", &format_hw_version)
      .def("__repr__", &format_hw_version)
      .def(py::self == py::self);
  // The named versions are values: the class attributes hold copies of the constants.
  cls.attr("Quor_v1") = hw_versions::Quor_v1;
  cls.attr("Quor_v2") = hw_versions::Quor_v2;
  cls.attr("Tamsel_v1") = hw_versions::Tamsel_v1;
  cls.attr("ZMX2400_v1") = hw_versions::ZMX2400_v1;
  cls.attr("Proteo_v2") = hw_versions::Proteo_v2;
  cls.attr("Lumo_Proteo") = hw_versions::Lumo_Proteo;
}

}  // namespace ovrix::python
