#pragma once
// A device without hardware: a hardware version and a mesh given by the user, so that models can be
// mapped for a device that is not attached.
#include <memory>
#include <string>

#include "engine/device.h"
#include "mapping/hw_version.h"
#include "mapping/mesh.h"

namespace ovrix::python {

// "%02X.%02X.%03u.%03u" of vendor, product, major and minor revision, e.g. "BC.A2.001.000".
std::string format_hw_version(const HwVersion& version);

class VirtualDevice final : public Device {
 public:
  // The edition implied by the version's product id must be the mesh's edition, else
  // std::invalid_argument "Incompatible hardware and Ip versions: ..." and no device is made.
  static std::shared_ptr<VirtualDevice> create(const HwVersion& version, const Mesh& mesh);

  HwVersion version() const override { return version_; }
  const char* desc() const override { return desc_.c_str(); }
  const Mesh& mesh() const override { return mesh_; }
  HardwareDevice* hardware() const override { return nullptr; }

 private:
  VirtualDevice(const HwVersion& version, const Mesh& mesh);

  HwVersion version_;
  Mesh mesh_;
  std::string desc_;
};

}  // namespace ovrix::python
