#pragma once
#include <cstdint>

namespace ovrix::soc {

// SoC clock modes; the value is the clock frequency in hertz.
enum class ClockMode : uint32_t {
  Performance = 300000000,
  Economy = 100000000,
  LowPower = 5000000,
};

}  // namespace ovrix::soc
