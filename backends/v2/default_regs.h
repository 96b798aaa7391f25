#pragma once
// The register block every v2 NP configuration starts from.
#include <cstdint>

#include "backends/v2/np_registers.h"

namespace ovrix::hw {
struct Component;
}

namespace ovrix::v2 {

// 64 words, zero but for the constants of the NP defaults; word 3 carries np_number in bits 24-31
// (0xFE when registers_only, np_number then ignored; otherwise a number above 255 is refused as an
// 8-bit overflow); word 56 tells whether the NP is of the upper pair of its node (id 2 or 3) and
// whether it merges an Add.
RegisterBlock default_np_regs(uint8_t np_id, uint32_t np_number, bool registers_only, bool is_add);
RegisterBlock default_np_regs(const hw::Component& np, uint32_t np_number, bool registers_only, bool is_add);

// Marks that the NP's input buffer receives spikes (word 2 bit 7).
void set_ib_spikes(RegisterBlock* regs);

}  // namespace ovrix::v2
