#pragma once
// TNP-R SRAM words are built as 64-bit values from named bit ranges and stored as two 32-bit words,
// bits 0-31 first.
#include <cstdint>
#include <vector>

#include "program/reg_detail.h"

namespace ovrix::lumo {

// Writes the low `field.width` bits of value at `field.offset` of a 64-bit SRAM word (offset + width at
// most 64). Callers range-check the values first, with the messages of their formats.
constexpr void put_sram_field(uint64_t* word, const RegDetail& field, uint64_t value) {
  const uint64_t mask = field.width >= 64 ? ~uint64_t{0} : (uint64_t{1} << field.width) - 1;
  *word = (*word & ~(mask << field.offset)) | ((value & mask) << field.offset);
}

inline void append_sram_word(std::vector<uint32_t>* out, uint64_t word) {
  out->push_back(static_cast<uint32_t>(word));
  out->push_back(static_cast<uint32_t>(word >> 32));
}

}  // namespace ovrix::lumo
