#include "program/reg_detail.h"

#include "mapping/host_hooks.h"

namespace ovrix {

void set_field(uint32_t* word, const RegDetail& field, uint32_t value) {
  const uint32_t mask = field_mask(field);
  if (value > mask) panic("Attempted to write value %u into a %u-bit field, which will cause an overflow.", value, field.width);
  // A field reaching past bit 31 keeps only the bits that fit the word.
  const uint32_t shift = field.offset % 32;
  *word = (*word & ~(mask << shift)) | ((value & mask) << shift);
}

}  // namespace ovrix
