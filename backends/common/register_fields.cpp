#include "backends/common/register_fields.h"

#include <stdexcept>

#include "mapping/host_hooks.h"

namespace ovrix {

void write_field(RegisterBlock* regs, const RegField& field, uint32_t value) {
  set_field(&regs->at(field.word), field.bits, value);
}

uint32_t read_field(const RegisterBlock& regs, const RegField& field) { return get_field(regs.at(field.word), field.bits); }

uint32_t signed_field_value(int32_t value, uint32_t width) {
  const int64_t low = -(int64_t{1} << (width - 1));
  const int64_t high = (int64_t{1} << (width - 1)) - 1;
  if (value < low || value > high) panic("%d cannot fit in a %d-bit signed integer", value, static_cast<int>(width));
  return static_cast<uint32_t>(value) & static_cast<uint32_t>((uint64_t{1} << width) - 1);
}

uint32_t one_hot_id(uint8_t id) {
  // Written through a 4-bit field so that ids above 3 get the field's overflow refusal.
  if (id > 31) panic("Component id %u does not fit a 4-bit one-hot field.", static_cast<unsigned>(id));
  uint32_t word = 0;
  set_field(&word, RegDetail{0, 4}, uint32_t{1} << id);
  return word;
}

}  // namespace ovrix
