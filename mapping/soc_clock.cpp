#include "mapping/soc_clock.h"

#include <fmt/format.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "engine/device.h"
#include "program/reg_detail.h"

namespace ovrix::soc {

namespace {

constexpr RegDetail divider_field{0, 8};
constexpr uint32_t busy_bit = 1;

bool is_mode(uint32_t frequency) {
  return frequency == uint32_t(ClockMode::Performance) || frequency == uint32_t(ClockMode::Economy) ||
         frequency == uint32_t(ClockMode::LowPower);
}

uint32_t read_word(HardwareDriver* driver, uint32_t address) {
  uint32_t word = 0;
  driver->read(address, &word, sizeof word);
  return word;
}

void write_word(HardwareDriver* driver, uint32_t address, uint32_t word) { driver->write(address, &word, sizeof word); }

// The divider value as its 8-bit register field; a wider value is refused before the write.
void write_divider(HardwareDriver* driver, uint32_t address, uint32_t value) {
  uint32_t word = 0;
  set_field(&word, divider_field, value);
  write_word(driver, address, word);
}

}  // namespace

ClockMode get_clock_mode(HardwareDriver* driver) {
  const uint32_t d = get_field(read_word(driver, reg::divider), divider_field);
  const uint32_t frequency = source_frequency / (d + 1);
  if (!is_mode(frequency))
    throw std::runtime_error(fmt::format("Unexpected frequency value detected: {}.", frequency));
  return static_cast<ClockMode>(frequency);
}

void set_clock_mode(HardwareDriver* driver, const ClockMode& mode) {
  const uint32_t frequency = static_cast<uint32_t>(mode);
  if (!is_mode(frequency)) throw std::invalid_argument("Invalid clock mode");
  if (read_word(driver, reg::clock_change) & busy_bit) throw std::runtime_error("Clock mode is already changing.");

  const uint32_t d = source_frequency / frequency - 1;
  write_divider(driver, reg::divider_x2, 2 * d + 1);
  write_divider(driver, reg::divider, d);
  write_divider(driver, reg::divider_copy, d);
  write_word(driver, reg::clock_change, busy_bit);

  // Busy-poll: the change normally applies within a few register reads.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(apply_timeout_ms);
  for (;;) {
    if (!(read_word(driver, reg::clock_change) & busy_bit)) return;
    if (std::chrono::steady_clock::now() >= deadline) throw std::runtime_error("Failed to apply clock mode.");
  }
}

}  // namespace ovrix::soc
