#pragma once
// The SoC clock: a 600 MHz source divided by (D + 1), D an 8-bit divider set through the SoC
// registers of a hardware driver.
#include <cstdint>

#include "mapping/clock_mode.h"

namespace ovrix {
class HardwareDriver;
}

namespace ovrix::soc {

namespace reg {
inline constexpr uint32_t clock_change = 0xF0001030;  // bit 0: change in progress; write 1 to apply
inline constexpr uint32_t divider = 0xF0001190;       // D
inline constexpr uint32_t divider_x2 = 0xF00011A0;    // 2 x D + 1
inline constexpr uint32_t divider_copy = 0xF00011B0;  // D
}  // namespace reg

inline constexpr uint32_t source_frequency = 600000000;
// How long a clock change may take to apply, in milliseconds.
inline constexpr int apply_timeout_ms = 10;

// The applied clock mode; a divider giving none of the three modes throws std::runtime_error
// "Unexpected frequency value detected: <f>.".
ClockMode get_clock_mode(HardwareDriver* driver);

// Writes the dividers of mode and waits until the change is applied. std::invalid_argument for a
// value that is no mode; std::runtime_error when a change is already in progress or does not apply
// within the time-out (the dividers then stay written).
void set_clock_mode(HardwareDriver* driver, const ClockMode& mode);

}  // namespace ovrix::soc
