#include "program/reg_detail.h"

#include "mapping/host_hooks.h"

namespace ovrix {

void set_field(uint32_t* word, const RegDetail& field, uint32_t value) {
  // Computed in 64 bits so a 32-bit field gets the all-ones mask.
  const uint32_t mask = static_cast<uint32_t>((uint64_t{1} << field.width) - 1);
  if (value > mask) panic("Attempted to write value %u into a %u-bit field, which will cause an overflow.", value, field.width);
  const uint32_t shift = field.offset % 32;
  *word = (*word & ~(mask << shift)) | ((value & mask) << shift);
}

}  // namespace ovrix
