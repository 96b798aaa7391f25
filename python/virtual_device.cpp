#include "python/virtual_device.h"

#include <fmt/format.h>

#include <stdexcept>

namespace ovrix::python {

std::string format_hw_version(const HwVersion& version) {
  return fmt::format("{:02X}.{:02X}.{:03}.{:03}", version.vendor_id, version.product_id, version.major_rev,
                     version.minor_rev);
}

std::shared_ptr<VirtualDevice> VirtualDevice::create(const HwVersion& version, const Mesh& mesh) {
  // Every mapping decision follows the mesh's edition while the back-end is chosen by the version:
  // the two must agree.
  if (version.get_ip_version() != mesh.version) {
    throw std::invalid_argument(fmt::format(
        "Incompatible hardware and Ip versions: HW Version is {} with product id = {} while IP version is {}.",
        version.to_string(), version.product_id, to_string(mesh.version)));
  }
  return std::shared_ptr<VirtualDevice>(new VirtualDevice(version, mesh));
}

VirtualDevice::VirtualDevice(const HwVersion& version, const Mesh& mesh)
    : version_(version), mesh_(mesh), desc_("VirtualDevice/" + format_hw_version(version)) {}

}  // namespace ovrix::python
