// Emulated drivers: a register image with the mesh information words, NP capability words, the SoC
// clock registers and device memory; the driver list that get_drivers() reports.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "engine/emulation.h"

namespace ovrix {

namespace emulation {

namespace {

// SoC clock registers (the chip's clock is a 600 MHz source divided by D + 1).
constexpr uint32_t clock_change = 0xF0001030;
constexpr uint32_t clock_divider = 0xF0001190;
constexpr uint32_t clock_divider_x2 = 0xF00011A0;
constexpr uint32_t clock_divider_copy = 0xF00011B0;
constexpr uint32_t clock_source = 600000000;

bool is_clock_mode(uint32_t f) {
  return f == uint32_t(soc::ClockMode::Performance) || f == uint32_t(soc::ClockMode::Economy) ||
         f == uint32_t(soc::ClockMode::LowPower);
}

}  // namespace

IpVersion mesh_edition(const DeviceSpec& spec) {
  const IpVersion own = spec.version.get_ip_version();
  if (!spec.mismatch) return own;
  return own == IpVersion::v1 ? IpVersion::v2 : IpVersion::v1;
}

HwVersion scan_version(const DeviceSpec& spec) {
  if (!spec.mismatch) return spec.version;
  return mesh_edition(spec) == IpVersion::v2 ? hw_versions::Proteo_v2 : hw_versions::Tamsel_v1;
}

EmulatedDriver::EmulatedDriver(DeviceSpec spec) : spec_(std::move(spec)) {
  const IpVersion edition = mesh_edition(spec_);
  set_layout(standard_layout(edition));
  for (uint8_t c = 1; c <= layout_.columns; ++c)
    for (uint8_t r = 1; r <= layout_.rows; ++r)
      for (uint8_t i = 0; i < layout_.nps_per_node; ++i) {
        const hw::Ident ident(c, r, i);
        set_np_config(ident, standard_np_capabilities(edition, ident));
      }
  // Performance mode (divider 1) when the board starts.
  set(clock_divider, 1);
  set(clock_divider_x2, 3);
  set(clock_divider_copy, 1);
  set_clock_busy(spec_.busy);
}

void EmulatedDriver::set_layout(const MeshRegisterImage& layout) {
  layout_ = layout;
  load_mesh(layout);
}

void EmulatedDriver::set_clock_busy(ClockBusy busy) {
  busy_ = busy;
  set(clock_change, busy == ClockBusy::set ? 1 : 0);
}

void EmulatedDriver::read(uint32_t address, void* data, size_t size) {
  for (uint32_t failing : failing_reads_)
    if (failing >= address && failing - address < size)
      throw std::runtime_error(fmt::format("Emulated read error at 0x{:08X}.", failing));
  RegisterImageDriver::read(address, data, size);
}

void EmulatedDriver::write(uint32_t address, const void* data, size_t size) {
  RegisterImageDriver::write(address, data, size);
  if (clock_change < address || clock_change - address >= size) return;
  // Writing 1 starts a clock change: busy for the next busy_reads reads, or for ever when stuck.
  if (!(get(clock_change) & 1)) return;
  if (busy_ == ClockBusy::normal) {
    set(clock_change, 0);
    script_reads(clock_change, std::vector<uint32_t>(busy_reads_, 1));
  }
}

// The chip's own clock routine: the same register protocol the host's clock functions use.
soc::ClockMode EmulatedSocDriver::clock_mode() {
  uint32_t word = 0;
  read(clock_divider, &word, 4);
  const uint32_t f = clock_source / ((word & 0xFF) + 1);
  if (!is_clock_mode(f)) throw std::runtime_error(fmt::format("Unexpected frequency value detected: {}.", f));
  return static_cast<soc::ClockMode>(f);
}

void EmulatedSocDriver::set_clock_mode(soc::ClockMode mode) {
  const uint32_t f = static_cast<uint32_t>(mode);
  if (!is_clock_mode(f)) throw std::invalid_argument("Invalid clock mode");
  uint32_t word = 0;
  read(clock_change, &word, 4);
  if (word & 1) throw std::runtime_error("Clock mode is already changing.");
  const uint32_t d = clock_source / f - 1;
  const uint32_t values[] = {2 * d + 1, d, d, 1};
  const uint32_t addresses[] = {clock_divider_x2, clock_divider, clock_divider_copy, clock_change};
  for (int i = 0; i < 4; ++i) write(addresses[i], &values[i], 4);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
  for (;;) {
    read(clock_change, &word, 4);
    if (!(word & 1)) return;
    if (std::chrono::steady_clock::now() >= deadline) throw std::runtime_error("Failed to apply clock mode.");
  }
}

void EmulatedSocDriver::set_power_measurement_enabled(bool enabled) {
  // Each measurement period gets a fresh meter; readers that still hold the last one keep it.
  if (enabled && !meter_) meter_ = std::make_shared<PowerMeter>();
  if (!enabled) meter_.reset();
}

std::unique_ptr<EmulatedDriver> make_driver(const DeviceSpec& spec) {
  if (spec.soc && spec.flash) return std::make_unique<WithFlash<EmulatedSocDriver>>(spec);
  if (spec.soc) return std::make_unique<EmulatedSocDriver>(spec);
  if (spec.flash) return std::make_unique<WithFlash<EmulatedDriver>>(spec);
  return std::make_unique<EmulatedDriver>(spec);
}

namespace {

struct Registry {
  std::mutex mutex;
  bool ready = false;
  std::vector<std::unique_ptr<EmulatedDriver>> owned;  // every driver ever made, kept to the end
  std::vector<EmulatedDriver*> current;
};

Registry& registry() {
  static Registry r;
  return r;
}

void install(Registry& r, const std::vector<DeviceSpec>& specs) {
  std::vector<EmulatedDriver*> current;
  for (const auto& spec : specs) {
    r.owned.push_back(make_driver(spec));
    current.push_back(r.owned.back().get());
  }
  r.current = std::move(current);
  r.ready = true;
}

// The environment's list, read once; a list that does not parse is refused at every call.
void ensure_ready(Registry& r) {
  if (r.ready) return;
  const char* text = std::getenv(devices_variable);
  install(r, parse_devices(text ? text : ""));
}

}  // namespace

void set_devices(const std::vector<DeviceSpec>& specs) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  install(r, specs);
}

std::vector<EmulatedDriver*> drivers() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  ensure_ready(r);
  return r.current;
}

std::shared_ptr<HardwareDevice> open_emulated(EmulatedDriver* driver) {
  ++driver->opens_;
  const DeviceSpec& spec = driver->spec();
  if (spec.fail_open)
    throw std::runtime_error(fmt::format("Cannot open the emulated device {}: it does not answer.", spec.name));
  return std::make_shared<EmulatedDevice>(driver, spec.hrc_timeout && driver->opens_ == 1);
}

}  // namespace emulation

std::vector<HardwareDriver*> get_drivers() {
  const auto list = emulation::drivers();
  return {list.begin(), list.end()};
}

std::shared_ptr<HardwareDevice> HardwareDevice::create(HardwareDriver* driver) {
  if (driver == nullptr) throw std::runtime_error("Cannot open a device without a driver.");
  auto* emulated = dynamic_cast<emulation::EmulatedDriver*>(driver);
  if (emulated == nullptr) throw std::runtime_error("Cannot open this driver: the engine drives emulated devices only.");
  return emulation::open_emulated(emulated);
}

}  // namespace ovrix
