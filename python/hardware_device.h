#pragma once
// PyHardwareDevice: the Python wrapper of a discovered device. It is itself a Device (forwarding to
// the discovered one) and keeps what the Python side needs between calls.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/device.h"
#include "mapping/power_meter.h"
#include "python/metrics.h"

namespace ovrix::python {

class PyHardwareDevice : public Device {
 public:
  // inner must be a device with hardware (std::invalid_argument otherwise).
  explicit PyHardwareDevice(std::shared_ptr<Device> inner);

  HwVersion version() const override { return inner->version(); }
  const char* desc() const override { return inner->desc(); }
  const Mesh& mesh() const override { return inner->mesh(); }
  HardwareDevice* hardware() const override { return inner->hardware(); }

  // The engine's hardware device (never null).
  HardwareDevice& hw() const { return *inner->hardware(); }

  std::shared_ptr<Device> inner;
  std::vector<uint8_t> program_bytes;  // copy of the bytes last given to program / program_external
  PyMetrics metrics;
  std::vector<PowerMeter::PowerEvent> power_events;  // copied after the last inference with a power meter
};

// The wrappers of the discovered devices, made by the first call that completes a discovery and
// kept until exit; a discovery that throws leaves nothing behind.
const std::vector<std::shared_ptr<PyHardwareDevice>>& hardware_devices();

}  // namespace ovrix::python
