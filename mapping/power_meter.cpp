#include "mapping/power_meter.h"

#include <limits>

namespace ovrix {

namespace {
constexpr float no_floor = std::numeric_limits<float>::max();
}

PowerMeter::PowerMeter() : queue_(capacity), floor_power_(no_floor) {}

PowerMeter& PowerMeter::get() {
  static const std::unique_ptr<PowerMeter> instance = std::make_unique<PowerMeter>();
  return *instance;
}

void PowerMeter::log_event(PowerEvent event) {
  std::lock_guard lock(mutex_);
  const float power = event.power();
  if (!(power > 0.0f) || event.ts <= reset_timestamp_) return;
  if (power < floor_power_) floor_power_ = power;
  queue_.push(event);
}

bool PowerMeter::has_events() const {
  std::lock_guard lock(mutex_);
  return !queue_.empty();
}

float PowerMeter::floor() const {
  std::lock_guard lock(mutex_);
  return floor_power_ == no_floor ? 0.0f : floor_power_;
}

void PowerMeter::reset(int64_t timestamp) {
  std::lock_guard lock(mutex_);
  floor_power_ = no_floor;
  reset_timestamp_ = timestamp;
}

std::vector<PowerMeter::PowerEvent> PowerMeter::events() const {
  std::lock_guard lock(mutex_);
  return queue_.copy();
}

}  // namespace ovrix
