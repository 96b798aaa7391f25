// libFuzzer target of the device-program readers: the memory-requirement queries of a program
// (get_program_memory_infos), and an emulated device programmed with it directly (HardwareDevice.program)
// and from its information part with the data already on the device (program_external), then run.
//
// Oracles besides the sanitizers: programs are refused only with std::runtime_error (or
// std::invalid_argument from the device), the same way by the device as by its reader; the information
// part of an accepted program is accepted again with the data already on the device; runs refuse only
// with those two exceptions. Any other exception escapes and counts as a crash.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "engine/device.h"
#include "engine/emulation.h"
#include "engine/program_info.h"

namespace {

using namespace ovrix;

struct Bench {
  std::unique_ptr<emulation::EmulatedDriver> driver = emulation::make_driver(emulation::parse_devices("v2").at(0));
  std::shared_ptr<HardwareDevice> device = HardwareDevice::create(driver.get());
};

Bench& bench() {
  static Bench b;
  return b;
}

// Runs of programs whose samples are small enough to run thousands of times a second.
constexpr uint64_t max_elements = 1 << 16;

uint64_t elements(const std::vector<uint32_t>& dims) {
  uint64_t n = 1;
  for (uint32_t d : dims) n = d != 0 && n > max_elements / d ? max_elements + 1 : n * d;
  return n;
}

template <class F>
bool accepted(F&& load) {
  try {
    load();
    return true;
  } catch (const std::invalid_argument&) {
  } catch (const std::runtime_error&) {
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A caller's own copy, as get_program_memory_infos and HardwareDevice.program make (aligned).
  const std::vector<uint8_t> bytes(data, data + size);

  try {
    const ProgramInfo info(bytes.data(), bytes.size());
    volatile uint64_t total = input_memory_required(info) + input_descriptor_memory_required(info) +
                              output_memory_required(info) + program_data_memory_required(info) +
                              extra_program_memory_required(info) + program_descriptors_memory_required(info);
    (void)total;
  } catch (const std::runtime_error&) {
  }

  HardwareDevice& device = *bench().device;
  device.unprogram();
  emulation::ProgramSummary summary;
  if (!accepted([&] { summary = emulation::read_program(bytes.data(), bytes.size()); })) {
    // What the device reads of a program, it refuses the same way.
    if (accepted([&] { device.program(bytes.data(), bytes.size()); })) std::abort();
    return 0;
  }
  device.program(bytes.data(), bytes.size());
  // The information part again, the data part being on the device now.
  const size_t info_size = size_t{bytes[0] | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                                  uint32_t(bytes[3]) << 24} + 4;
  device.unprogram();
  device.program_external(bytes.data(), info_size, emulation::program_data_address);

  const uint64_t in = elements(summary.input_dimensions);
  if (in > max_elements || elements(summary.output_dimensions) > max_elements) return 0;
  device.set_batch_size(1, true);
  const std::vector<uint8_t> sample(summary.input_dimensions.empty() ? 1 : in, 1);
  const auto tensor = std::shared_ptr<const Tensor>(Dense::copy(reinterpret_cast<const char*>(sample.data()),
                                                                sample.size(), TensorType::uint8,
                                                                Shape{static_cast<uint32_t>(sample.size())}));
  accepted([&] { device.forward({tensor}); });
  device.set_learn_enabled(true);
  accepted([&] { device.fit({tensor}, {1}); });
  return 0;
}
