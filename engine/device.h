#pragma once
// Devices and drivers of the engine. No accelerator is attached to these machines: the drivers the
// engine lists are emulations (see engine/README.md), reached only through these interfaces.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/tensor.h"
#include "mapping/clock_mode.h"
#include "mapping/hw_types.h"
#include "mapping/hw_version.h"

namespace ovrix {

class Mesh;
class PowerMeter;
class HardwareDevice;

class BlockDevice {
 public:
  virtual ~BlockDevice() = default;
  // 4-byte register accesses at a 32-bit address.
  virtual void read(uint32_t address, void* data, size_t size) = 0;
  virtual void write(uint32_t address, const void* data, size_t size) = 0;
};

class HardwareDriver : public BlockDevice {
 public:
  // Base address of the mesh information words (base + 0x50 ... base + 0x7C).
  virtual uint32_t mesh_info_address() const = 0;
};

class SocDriver {
 public:
  virtual ~SocDriver() = default;
  virtual soc::ClockMode clock_mode() = 0;
  virtual void set_clock_mode(soc::ClockMode mode) = 0;
  virtual void set_power_measurement_enabled(bool enabled) = 0;
  // Non-null only while power measurement is on.
  virtual std::shared_ptr<PowerMeter> power_meter() = 0;
};

class SpiFlashController {
 public:
  virtual ~SpiFlashController() = default;
  uint16_t get_id() const;
};

class FlashAccessDriver {
 public:
  virtual ~FlashAccessDriver() = default;
  // May be null.
  virtual std::shared_ptr<SpiFlashController> flash_controller() = 0;
};

// The drivers of the devices attached to the host, owned by the engine for the life of the process.
std::vector<HardwareDriver*> get_drivers();

class HardwareDevice {
 public:
  // std::runtime_error when the driver cannot be opened.
  static std::shared_ptr<HardwareDevice> create(HardwareDriver* driver);

  virtual ~HardwareDevice() = default;
  virtual HwVersion version() const = 0;
  virtual const char* desc() const = 0;
  virtual void enable_clock_counter(bool enable) = 0;
  virtual uint32_t read_clock_counter() = 0;
  // Clocks taken by the last programming.
  virtual uint32_t program_clock_count() = 0;
  // Memory usage in the low 32 bits, top usage in the high 32 bits.
  virtual uint64_t memory() = 0;
  virtual void reset_top_memory() = 0;
  virtual void program(const uint8_t* data, size_t size) = 0;
  virtual void program_external(const uint8_t* info, size_t size, uint32_t address) = 0;
  // The loaded program; empty (null data) when none.
  virtual std::span<const uint8_t> program() const = 0;
  virtual void set_batch_size(uint32_t batch_size, bool allocate) = 0;
  virtual void set_learn_enabled(bool enabled) = 0;
  virtual bool learn_enabled() const = 0;
  // Learning memory size in 32-bit words.
  virtual uint32_t learn_mem_size() = 0;
  virtual void learn_mem(uint32_t* out) = 0;
  virtual void update_learn_mem(const uint32_t* data) = 0;
  virtual void unprogram() = 0;
  virtual std::vector<std::unique_ptr<Tensor>> fit(const std::vector<std::shared_ptr<const Tensor>>& samples,
                                                   const std::vector<int32_t>& labels) = 0;
  virtual std::vector<std::unique_ptr<Tensor>> forward(const std::vector<std::shared_ptr<const Tensor>>& samples) = 0;
  virtual std::vector<std::unique_ptr<Tensor>> predict(const std::vector<std::shared_ptr<const Tensor>>& samples) = 0;
  virtual HardwareDriver* driver() = 0;
  // Capability word of the NP at that position.
  virtual uint32_t read_np_config(const hw::Ident& ident, uint32_t count) = 0;
};

// A device as the mapping core and Python see it: version, description, mesh, and the hardware
// device when there is one.
class Device {
 public:
  virtual ~Device() = default;
  virtual HwVersion version() const = 0;
  virtual const char* desc() const = 0;
  virtual const Mesh& mesh() const = 0;
  // Null for a device without hardware (a virtual device).
  virtual HardwareDevice* hardware() const = 0;

  IpVersion get_ip_version() const { return version().get_ip_version(); }
};

}  // namespace ovrix
