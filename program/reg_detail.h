#pragma once
// Register fields: a named bit range of a 32-bit register word, written only through set_field.
#include <cstdint>

namespace ovrix {

struct RegDetail {
  uint32_t offset;  // least significant bit of the field
  uint32_t width;   // bits
};

// Writes value into the field of *word, leaving the other bits alone. A value wider than the field
// is refused through panic ("Attempted to write value %u into a %u-bit field, which will cause an
// overflow.") and the word is left unchanged.
void set_field(uint32_t* word, const RegDetail& field, uint32_t value);

// 2^width - 1 as a 32-bit value: all ones from a width of 32 up, 0 for a width of 0.
constexpr uint32_t field_mask(const RegDetail& field) {
  return field.width >= 32 ? 0xFFFFFFFFu : static_cast<uint32_t>((uint64_t{1} << field.width) - 1);
}

// Value of the field in word.
constexpr uint32_t get_field(uint32_t word, const RegDetail& field) {
  return (word >> (field.offset % 32)) & field_mask(field);
}

}  // namespace ovrix
