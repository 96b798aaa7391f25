#pragma once
// Register fields of an NP's register block, for every edition: a field is a named bit range of a
// named word of the block, written only through write_field (set_field underneath) so that a value
// wider than its field is refused instead of spilling into its neighbours; and the encodings of
// signed values and one-hot component ids that such fields hold.
#include <cstdint>
#include <vector>

#include "program/reg_detail.h"

namespace ovrix {

// An NP's register block: 32-bit words indexed from 0.
using RegisterBlock = std::vector<uint32_t>;

// A field of one word of a register block.
struct RegField {
  uint32_t word;
  RegDetail bits;
};

// Writes value into the field; refuses a value wider than the field (set_field's overflow panic) and
// a block too short to hold the word (std::out_of_range).
void write_field(RegisterBlock* regs, const RegField& field, uint32_t value);
// Writes a flag (0 or 1).
inline void write_flag(RegisterBlock* regs, const RegField& field, bool value) {
  write_field(regs, field, value ? 1u : 0u);
}
uint32_t read_field(const RegisterBlock& regs, const RegField& field);

// Two's-complement code of value in a width-bit field; a value outside the signed range is refused
// through panic ("%d cannot fit in a %d-bit signed integer").
uint32_t signed_field_value(int32_t value, uint32_t width);
// One-hot code of a component index inside its node (1 << id); an id that does not fit the 4-bit
// field (above 3) is refused with set_field's overflow panic.
uint32_t one_hot_id(uint8_t id);

}  // namespace ovrix
