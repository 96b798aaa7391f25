// Python class Device: any device the core library or Python knows (discovered or virtual), and the
// constructor of software-only virtual devices.
#include "engine/device.h"
#include "mapping/mesh.h"
#include "python/bindings.h"
#include "python/virtual_device.h"

namespace ovrix::python {

void init_device(py::module_& m) {
  py::classh<Device>(m, "Device")
      .def(py::init([](const HwVersion& version, const Mesh& mesh) -> std::shared_ptr<Device> {
        return VirtualDevice::create(version, mesh);
      }))
      .def_property_readonly(
          "desc",
          [](const Device& device) {
            const char* desc = device.desc();
            return py::str(desc ? desc : "");
          },
          "\n        Returns the Device description\n\n        :return: a string describing the Device\n        ")
      .def_property_readonly(
          "version", [](const Device& device) { return device.version(); }, "The device hardware version.")
      .def_property_readonly(
          "ip_version", [](const Device& device) { return device.get_ip_version(); }, "The device IP version.")
      // A view of the device's own mesh; the view keeps the device alive.
      .def_property_readonly(
          "mesh", [](const Device& device) -> const Mesh& { return device.mesh(); }, "The device Mesh layout",
          py::return_value_policy::reference_internal);
}

}  // namespace ovrix::python
