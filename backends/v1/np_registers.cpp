#include "backends/v1/np_registers.h"

#include <stdexcept>

#include "mapping/host_hooks.h"

namespace ovrix::v1 {

std::vector<uint32_t> default_np_regs() {
  std::vector<uint32_t> regs(NP_REGISTER_WORDS, 0);
  regs[6] = 0x04040000;
  regs[12] = 0x52000000;  // FNP weight block: 82 units of 256 words
  regs[13] = 0x00000010;
  regs[37] = 0xFF000000;
  return regs;
}

void write_field(RegisterBlock* regs, const RegField& field, uint32_t value) {
  if (field.word >= regs->size()) throw std::out_of_range("Register word " + std::to_string(field.word) +
                                                          " is outside a block of " + std::to_string(regs->size()) +
                                                          " words.");
  set_field(&(*regs)[field.word], field.bits, value);
}

uint32_t read_field(const RegisterBlock& regs, const RegField& field) { return get_field(regs.at(field.word), field.bits); }

uint32_t signed_field_value(int32_t value, uint32_t width) {
  const int64_t low = -(int64_t{1} << (width - 1));
  const int64_t high = (int64_t{1} << (width - 1)) - 1;
  if (value < low || value > high) panic("%d cannot fit in a %d-bit signed integer", value, static_cast<int>(width));
  return static_cast<uint32_t>(value) & field_mask(RegDetail{0, width});
}

}  // namespace ovrix::v1
