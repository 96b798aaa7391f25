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

// The largest payload, in words, that the normal header form can describe; larger blocks need the
// XL form, which counts the payload in units of xl_size_unit words (so up to 4095 x 16 words).
inline constexpr uint32_t max_normal_block_words = 4095;
inline constexpr uint32_t xl_size_unit = 16;

// Writes exactly two header words at out. std::invalid_argument for a target above 15, an
// identifier channel above 127, a normal-form size above max_normal_block_words, or an XL-form size
// that is not a multiple of 16 or exceeds 65520.
void format_config_header(uint32_t* out, const hw::Ident& ident, Target target, uint32_t size, uint16_t parameter,
                          bool xl);

// The fields of two header words, as format_config_header wrote them.
struct ConfigHeader {
  hw::Ident ident;
  Target target = Target::None;
  uint32_t size = 0;
  uint16_t parameter = 0;
  bool xl = false;
};
ConfigHeader parse_config_header(const uint32_t* words);

// True when a block whose payload has that many words needs the XL header form: more words than the
// XL threshold (max_normal_block_words unless a test lowered it); false for 0.
bool config_block_size_needs_xl(uint32_t words);

// For tests: the threshold config_block_size_needs_xl compares with (at most max_normal_block_words,
// else std::invalid_argument). Tests that change it put max_normal_block_words back.
void set_xl_threshold(uint32_t words);
uint32_t xl_threshold();

}  // namespace ovrix::dma
