#pragma once
// Discovery of the devices attached to the host: every driver the engine reports becomes a host
// device (the engine's hardware device with its discovered mesh), once per process.
#include <functional>
#include <memory>
#include <vector>

#include "engine/device.h"
#include "engine/model.h"
#include "mapping/mesh.h"

namespace ovrix {

class HostDevice : public Device {
 public:
  // Discovers the mesh of the hardware device (errors of the discovery propagate).
  explicit HostDevice(std::shared_ptr<HardwareDevice> hardware);

  HwVersion version() const override { return hardware_device->version(); }
  const char* desc() const override { return hardware_device->desc(); }
  const Mesh& mesh() const override { return *device_mesh; }
  HardwareDevice* hardware() const override { return hardware_device.get(); }

  // Declared in this order so that the mesh goes first, then the hardware device.
  std::shared_ptr<HardwareDevice> hardware_device;
  std::unique_ptr<Mesh> device_mesh;
};

// Runs a full discovery over the engine's drivers. A driver whose opening, mesh discovery or input
// convolution check throws std::runtime_error is skipped (its message goes to standard output); a
// device whose version and mesh disagree on the edition ends the discovery with std::invalid_argument.
std::vector<std::shared_ptr<Device>> populate_devices();

// The process-wide device list: the first call that completes a discovery keeps its result until
// exit; a discovery that throws keeps nothing, and the next call tries again.
const std::vector<std::shared_ptr<Device>>& get_devices();

// True when running the one-layer input convolution check model on the device fails.
bool hrc_check_timeout(std::shared_ptr<Device> device);

// An all-ones uint8 input (1, H, W, C) for the model's input shape (H, W, C).
std::shared_ptr<Dense> get_constant_inputs(const Model& model);

// Discovery over given drivers with a given input convolution check (the engine's drivers and
// hrc_check_timeout in populate_devices).
using HrcCheck = std::function<bool(const std::shared_ptr<Device>&)>;
std::vector<std::shared_ptr<Device>> populate_devices(const std::vector<HardwareDriver*>& drivers,
                                                      const HrcCheck& hrc_check);

}  // namespace ovrix
