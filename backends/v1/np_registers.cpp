#include "backends/v1/np_registers.h"

namespace ovrix::v1 {

std::vector<uint32_t> default_np_regs() {
  std::vector<uint32_t> regs(NP_REGISTER_WORDS, 0);
  regs[6] = 0x04040000;
  regs[12] = 0x52000000;  // FNP weight block: 82 units of 256 words
  regs[13] = 0x00000010;
  regs[37] = 0xFF000000;
  return regs;
}

}  // namespace ovrix::v1
