#include "backends/v1/learning_registers.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace ovrix::v1 {

namespace {

// A computed learning value as the signed 32-bit word the hardware takes: out-of-range values are
// clamped (they then fail their field like any other too-wide value), a value that is not a number
// is refused.
int32_t as_i32(double v, const char* what) {
  if (std::isnan(v)) throw std::invalid_argument(std::string("The learning value ") + what + " is not a number.");
  constexpr double lo = std::numeric_limits<int32_t>::min();
  constexpr double hi = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(v < lo ? lo : v > hi ? hi : v);
}

}  // namespace

void format_learning_common_regs(std::vector<uint32_t>* regs, const LearningParams* params) {
  if (params == nullptr) {
    write_flag(regs, W36_LEARNING_ENABLE, false);
    return;
  }
  const double nw = params->get("num_weights");
  const double ip = params->get("initial_plasticity");
  const double lc = params->get("learning_competition");
  const double mp = params->get("min_plasticity");
  const double pd = params->get("plasticity_decay");
  write_flag(regs, W36_LEARNING_ENABLE, true);
  const int32_t winners = as_i32(std::round((1.0 - lc) * nw), "learning_competition");
  write_field(regs, W36_LEARNING_WINNERS, static_cast<uint32_t>(winners));
  const int32_t min_plasticity = as_i32(std::ceil(nw * mp), "min_plasticity");
  write_field(regs, W37_MIN_PLASTICITY, static_cast<uint32_t>(min_plasticity));
  // The initial plasticity is rounded to an unsigned count before the decay applies.
  const double initial = std::round(nw * ip);
  const double r = initial < 0 ? 0 : initial > 4294967295.0 ? 4294967295.0 : initial;
  const int32_t plasticity = as_i32(std::ceil(r * pd), "plasticity_decay");
  write_field(regs, W38_PLASTICITY, static_cast<uint32_t>(plasticity));
}

void format_learning_cnp_regs(std::vector<uint32_t>* regs, uint32_t first, uint32_t second) {
  write_field(regs, W39_LEARNING_CNP_FIRST, first);
  write_field(regs, W41_LEARNING_CNP_SECOND, second);
}

}  // namespace ovrix::v1
