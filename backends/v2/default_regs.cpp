#include "backends/v2/default_regs.h"

#include <utility>

#include "mapping/hw_description.h"

namespace ovrix::v2 {

namespace {

// Words that hold a fixed value in every NP block.
constexpr std::pair<uint32_t, uint32_t> DEFAULT_WORDS[] = {
    {1, 0x00000020}, {2, 0x00000008}, {5, 0x00130100}, {6, 0x08040000},
    {12, 0x52000000}, {13, 0x00000010}, {37, 0xFF000000}, {57, 0x00000040},
};

// NP number written when only the registers of an NP are recorded (an NP the pass does not use).
constexpr uint32_t REGISTERS_ONLY_NP_NUMBER = 0xFE;

}  // namespace

RegisterBlock default_np_regs(uint8_t np_id, uint32_t np_number, bool registers_only, bool is_add) {
  RegisterBlock regs(NP_REGISTER_WORDS, 0);
  for (const auto& [word, value] : DEFAULT_WORDS) regs[word] = value;
  write_field(&regs, W3_NP_NUMBER, registers_only ? REGISTERS_ONLY_NP_NUMBER : np_number);
  write_flag(&regs, W56_ENABLE, true);
  const bool upper_pair = np_id > 1;
  write_flag(&regs, W56_UPPER_PAIR, upper_pair);
  write_flag(&regs, W56_UPPER_PAIR_SRAM, upper_pair);
  write_flag(&regs, W56_ADD_MERGE, is_add);
  return regs;
}

RegisterBlock default_np_regs(const hw::Component& np, uint32_t np_number, bool registers_only, bool is_add) {
  return default_np_regs(np.ident.id, np_number, registers_only, is_add);
}

void set_ib_spikes(RegisterBlock* regs) { write_flag(regs, W2_IB_SPIKES, true); }

}  // namespace ovrix::v2
