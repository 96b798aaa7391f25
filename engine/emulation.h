#pragma once
// Emulated accelerators. No accelerator is attached to these machines, so the drivers that
// get_drivers() lists are emulations, and none at all unless asked for: by the environment variable
// OVRIX_EMULATED_DEVICES (read by the engine on its first get_drivers() call), or by a C++ test
// through set_devices() before the first discovery. engine/README.md describes the behaviour.
//
// An emulated driver holds a register image: the mesh information words and NP capability words that
// mesh discovery reads, the SoC clock registers, and device memory. An emulated device reads the
// device programs it is given, and answers each sample with outputs that are a documented
// deterministic function of that sample's bytes alone (see sample_hash and output_value).
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/device.h"
#include "engine/register_image_driver.h"
#include "engine/tensor.h"
#include "mapping/hw_version.h"
#include "mapping/power_meter.h"

namespace ovrix::emulation {

inline constexpr const char* devices_variable = "OVRIX_EMULATED_DEVICES";

// How the clock-change busy bit (bit 0 of 0xF0001030) behaves.
enum class ClockBusy {
  normal,  // after a change is started, the next `busy_reads` reads show it busy, then it clears
  stuck,   // a started change never completes
  set,     // a change is in progress from the start and never completes
};

// One emulated device as OVRIX_EMULATED_DEVICES names it, e.g. "v2", "Tamsel_v1:soc+flash".
struct DeviceSpec {
  std::string name;  // the token's device name: an edition, a version name, or a version in hex
  HwVersion version;
  bool soc = false;          // the driver is also a SoC driver (clock modes, power measurement)
  bool flash = false;        // the board carries a SPI flash reachable through the driver
  bool null_flash = false;   // flash access, but the driver hands out no controller
  bool fail_open = false;    // opening the driver fails with std::runtime_error
  bool mismatch = false;     // the mesh registers describe another edition than the version
  bool hrc_timeout = false;  // the first device opened on this driver fails every run
  uint32_t clock = 0;        // initial value of the device's clock counter
  ClockBusy busy = ClockBusy::normal;

  friend bool operator==(const DeviceSpec&, const DeviceSpec&) = default;
};

// Parses a comma-separated list of devices, each "name[:option+option...]". Names: v1, v2, lumo (the
// editions' reference devices Tamsel_v1, Proteo_v2, Lumo_Proteo), the version names Quor_v1,
// Quor_v2, Tamsel_v1, ZMX2400_v1, Proteo_v2, Lumo_Proteo, or four hex bytes "BC.A2.01.00".
// Options: soc, flash, flash=null, fail, mismatch, hrc-timeout, clock=N, busy=stuck, busy=set.
// Blank text gives no device. Anything else: std::invalid_argument naming the variable and token.
std::vector<DeviceSpec> parse_devices(std::string_view text);

// The edition whose mesh a device's registers describe: its own, or another one on a mismatch device.
IpVersion mesh_edition(const DeviceSpec& spec);
// The version a mismatch device reports while its mesh is scanned: the mesh edition's reference
// device (Tamsel_v1 for v1, Proteo_v2 for v2). Other devices report their own version throughout.
HwVersion scan_version(const DeviceSpec& spec);

// The standard mesh of an edition's emulated devices (v1 for any unknown edition).
MeshRegisterImage standard_layout(IpVersion edition);
// Capability word of the NP at (col, row, id) on the standard mesh of an edition.
uint32_t standard_np_capabilities(IpVersion edition, const hw::Ident& ident);

// Addresses of the emulated register image.
inline constexpr uint32_t mesh_info_base = RegisterImageDriver::default_mesh_info_address;
inline constexpr uint32_t program_data_address = 0x20000000;  // where program() places the data part

using Access = RegisterImageDriver::Access;

class EmulatedDevice;
class EmulatedDriver;

// Opens an emulated driver (what HardwareDevice::create does for one).
std::shared_ptr<HardwareDevice> open_emulated(EmulatedDriver* driver);

// A driver over a register image (RegisterImageDriver: whole aligned 32-bit words, the recent
// accesses logged) holding the standard mesh of its edition, the SoC clock registers, and device memory.
class EmulatedDriver : public RegisterImageDriver {
 public:
  explicit EmulatedDriver(DeviceSpec spec);

  void read(uint32_t address, void* data, size_t size) override;
  void write(uint32_t address, const void* data, size_t size) override;

  const DeviceSpec& spec() const { return spec_; }
  const MeshRegisterImage& layout() const { return layout_; }
  // Rewrites the mesh information words from a layout (NP capability words are left alone).
  void set_layout(const MeshRegisterImage& layout);

  // A read of this address throws std::runtime_error from now on.
  void fail_reads_at(uint32_t address) { failing_reads_.push_back(address); }

  // Clock-change busy bit: its behaviour, and how many reads show a started change busy.
  void set_clock_busy(ClockBusy busy);
  void set_busy_reads(unsigned reads) { busy_reads_ = reads; }

  // Times HardwareDevice::create opened this driver (failed openings included).
  unsigned open_count() const { return opens_; }

 private:
  friend std::shared_ptr<HardwareDevice> open_emulated(EmulatedDriver* driver);

  DeviceSpec spec_;
  MeshRegisterImage layout_;
  std::vector<uint32_t> failing_reads_;
  ClockBusy busy_ = ClockBusy::normal;
  unsigned busy_reads_ = 2;
  unsigned opens_ = 0;
};

// The chip's own clock and power-measurement interface on a SoC board.
class EmulatedSocDriver : public EmulatedDriver, public SocDriver {
 public:
  using EmulatedDriver::EmulatedDriver;
  soc::ClockMode clock_mode() override;
  void set_clock_mode(soc::ClockMode mode) override;
  void set_power_measurement_enabled(bool enabled) override;
  std::shared_ptr<PowerMeter> power_meter() override { return meter_; }

 private:
  std::shared_ptr<PowerMeter> meter_;
};

class EmulatedSpiFlashController : public SpiFlashController {};

// Flash access of a board with a SPI flash.
template <class Base>
class WithFlash : public Base, public FlashAccessDriver {
 public:
  explicit WithFlash(DeviceSpec spec) : Base(std::move(spec)) {
    if (!this->spec().null_flash) controller_ = std::make_shared<EmulatedSpiFlashController>();
  }
  std::shared_ptr<SpiFlashController> flash_controller() override { return controller_; }

 private:
  std::shared_ptr<SpiFlashController> controller_;
};

// A driver of the right class for a spec (plain, SoC, flash, SoC with flash).
std::unique_ptr<EmulatedDriver> make_driver(const DeviceSpec& spec);

// Replaces the drivers that get_drivers() lists. Discovery keeps what it found for the life of the
// process, so this acts on devices only before the first discovery. Replaced drivers stay alive (open
// devices keep pointers to them).
void set_devices(const std::vector<DeviceSpec>& specs);
// The drivers get_drivers() lists, as emulated drivers (reads the environment on first use).
std::vector<EmulatedDriver*> drivers();

// Deterministic outputs: the FNV-1a 64-bit hash of a sample's bytes, and element k of an output is
// derived from splitmix64(hash + k) (output_value). fit with learning on lets the learning layer's FNP
// learn from each sample with the rule of the software fit (EmulatedDevice::learn).
uint64_t sample_hash(std::span<const std::byte> bytes);
uint64_t splitmix64(uint64_t x);
// Element k of an output of that type, stored in the type's storage (written to *out).
void output_value(uint64_t hash, size_t k, TensorType type, std::byte* out);

// Memory of an emulated device: the program, its learning memory and the inputs and outputs of the
// samples of a run.
inline constexpr uint64_t device_memory_bytes = uint64_t{256} << 20;

// What an emulated device read from a device program.
struct ProgramSummary {
  std::vector<uint32_t> input_dimensions;
  std::vector<uint32_t> output_dimensions;
  uint8_t output_type = 0;
  uint8_t output_bits = 0;
  bool output_flag = false;
  bool has_learning = false;
  bool learn_fnp3 = false;            // learning memory starts with a 2-word DMA header
  std::vector<uint32_t> learn_memory;  // initial learning memory
  // The learning layer's FNP, from its learning registers (0 when the program has none): neurons, and
  // words of 32 input spikes (each neuron block of the memory is 4 header words and these).
  uint32_t learn_neurons = 0;
  uint32_t learn_input_words = 0;
};
// Reads both buffers of a device program; refuses malformed ones and those whose program, learning
// memory and one sample's input and output do not fit the device memory (std::runtime_error).
ProgramSummary read_program(const uint8_t* data, size_t size);

// Output types that a program can force on an emulated device, through its information's output_type:
// force_type + t gives every output the TensorType t in every mode; the three others script faults.
inline constexpr uint8_t force_type = 0x80;
inline constexpr uint8_t no_outputs = 0xF0;    // the device returns no output at all
inline constexpr uint8_t ragged_size = 0xF1;   // the last output of a batch has one element more
inline constexpr uint8_t ragged_rank = 0xF2;   // the last output of a batch has its dimensions merged

class EmulatedDevice : public HardwareDevice {
 public:
  EmulatedDevice(EmulatedDriver* driver, bool timing_out);

  HwVersion version() const override;
  const char* desc() const override { return desc_.c_str(); }
  void enable_clock_counter(bool enable) override;
  uint32_t read_clock_counter() override { return clock_; }
  uint32_t program_clock_count() override { return program_clocks_; }
  uint64_t memory() override;
  void reset_top_memory() override;
  void program(const uint8_t* data, size_t size) override;
  void program_external(const uint8_t* info, size_t size, uint32_t address) override;
  std::span<const uint8_t> program() const override;
  void set_batch_size(uint32_t batch_size, bool allocate) override;
  void set_learn_enabled(bool enabled) override;
  bool learn_enabled() const override { return learn_enabled_; }
  uint32_t learn_mem_size() override { return static_cast<uint32_t>(learn_memory_.size()); }
  void learn_mem(uint32_t* out) override;
  void update_learn_mem(const uint32_t* data) override;
  void unprogram() override;
  std::vector<std::unique_ptr<Tensor>> fit(const std::vector<std::shared_ptr<const Tensor>>& samples,
                                           const std::vector<int32_t>& labels) override;
  std::vector<std::unique_ptr<Tensor>> forward(const std::vector<std::shared_ptr<const Tensor>>& samples) override;
  std::vector<std::unique_ptr<Tensor>> predict(const std::vector<std::shared_ptr<const Tensor>>& samples) override;
  HardwareDriver* driver() override { return driver_; }
  uint32_t read_np_config(const hw::Ident& ident, uint32_t count) override;

  // Observations for tests: the operations that changed the device, in order ("program",
  // "program_external", "unprogram", "set_batch_size", "set_learn_enabled", "fit", "forward", "predict").
  // Only the recent ones are kept (at most max_logged_calls; the oldest half goes when it is reached),
  // so a device that lives for the whole process does not grow with every run.
  static constexpr size_t max_logged_calls = 4096;
  const std::vector<std::string>& calls() const { return calls_; }
  uint32_t batch_size() const { return batch_size_; }
  bool clock_counter_enabled() const { return counting_; }
  void set_clock_counter(uint32_t value) { clock_ = value; }
  EmulatedDriver* emulated_driver() const { return driver_; }

 private:
  enum class Mode { fit, forward, predict };
  std::vector<std::unique_ptr<Tensor>> run(const std::vector<std::shared_ptr<const Tensor>>& samples, Mode mode,
                                           const std::vector<int32_t>* labels);
  void load(std::vector<uint8_t> bytes, const char* call);
  void learn(const Tensor& sample, uint64_t hash, int64_t label);
  void log_call(const char* call);
  void advance_clock(uint64_t cycles);
  void update_memory_use();
  int64_t next_timestamp();

  EmulatedDriver* driver_;
  bool timing_out_;
  std::string desc_;
  bool scanned_ = false;  // mismatch devices: the mesh scan is over
  std::vector<std::string> calls_;

  std::vector<uint8_t> program_;  // empty: no program
  ProgramSummary summary_;
  std::vector<uint32_t> learn_memory_;
  bool learn_enabled_ = false;
  uint32_t batch_size_ = 0;

  bool counting_ = false;
  uint32_t clock_ = 0;
  uint32_t program_clocks_ = 0;
  uint32_t memory_use_ = 0;
  uint32_t memory_top_ = 0;
  int64_t last_timestamp_ = 0;
};

}  // namespace ovrix::emulation
