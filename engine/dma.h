#pragma once
// DMA configuration headers that precede every block of a device program track.
#include <cstdint>

#include "mapping/hw_types.h"

namespace ovrix::dma {

enum class Target : uint32_t {
  None = 0,
  Weights = 1,
  InputShift = 2,
  Thresholds = 4,
  Variables = 5,
  Fnp3WeightMemory = 6,
  NpRegisters = 7,
  RegisterWrites = 8,
  HrcSram = 9,
  MergeShifts = 10,
  SkipDmaRegisters = 11,
  LookUpTable = 12,
  TnprRegisters = 13,
  TnprFsram = 14,
  TnprTsram = 15,
};

inline constexpr uint32_t config_header_words = 2;

// Writes exactly two header words at out.
void format_config_header(uint32_t* out, const hw::Ident& ident, Target target, uint32_t size, uint16_t parameter,
                          bool xl);

// True when a block whose payload has that many words needs the XL header form; false for 0.
bool config_block_size_needs_xl(uint32_t words);

}  // namespace ovrix::dma
