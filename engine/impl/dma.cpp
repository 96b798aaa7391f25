// DMA configuration headers (layout in engine/README.md):
//   word 0: bits 0-7 column, 8-15 row, 16-23 id, 24-30 channel, 31 XL form
//   word 1: bits 0-15 parameter, 16-27 size field, 28-31 target
// The normal form counts the size in words (at most 4095); the XL form counts it in units of 16
// words, so an XL block carries a multiple of 16 words, up to 65520.
#include "engine/dma.h"

#include <fmt/format.h>

#include <atomic>
#include <stdexcept>
#include <string>

namespace ovrix::dma {

namespace {
std::atomic<uint32_t> threshold{max_normal_block_words};
}

void format_config_header(uint32_t* out, const hw::Ident& ident, Target target, uint32_t size, uint16_t parameter,
                          bool xl) {
  if (out == nullptr) throw std::invalid_argument("No place to write the DMA header.");
  const auto t = static_cast<uint32_t>(target);
  if (t > 15) throw std::invalid_argument(fmt::format("Unknown DMA target {}.", t));
  if (ident.channel > 127) {
    throw std::invalid_argument(fmt::format("DMA channel {} does not fit the header (0 to 127).", ident.channel));
  }
  uint32_t field = size;
  if (xl) {
    if (size % xl_size_unit != 0 || size / xl_size_unit > max_normal_block_words) {
      throw std::invalid_argument(fmt::format("An XL DMA block holds a multiple of 16 words up to 65520, not {}.", size));
    }
    field = size / xl_size_unit;
  } else if (size > max_normal_block_words) {
    throw std::invalid_argument(fmt::format("A DMA block of {} words needs the XL header.", size));
  }
  out[0] = uint32_t(ident.col) | uint32_t(ident.row) << 8 | uint32_t(ident.id) << 16 | uint32_t(ident.channel) << 24 |
           uint32_t(xl) << 31;
  out[1] = uint32_t(parameter) | field << 16 | t << 28;
}

ConfigHeader parse_config_header(const uint32_t* words) {
  if (words == nullptr) throw std::invalid_argument("No DMA header to read.");
  ConfigHeader h;
  h.ident = hw::Ident(words[0] & 0xFF, (words[0] >> 8) & 0xFF, (words[0] >> 16) & 0xFF, (words[0] >> 24) & 0x7F);
  h.xl = (words[0] >> 31) != 0;
  h.parameter = static_cast<uint16_t>(words[1] & 0xFFFF);
  const uint32_t field = (words[1] >> 16) & 0xFFF;
  h.size = h.xl ? field * xl_size_unit : field;
  h.target = static_cast<Target>(words[1] >> 28);
  return h;
}

bool config_block_size_needs_xl(uint32_t words) { return words > threshold.load(std::memory_order_relaxed); }

void set_xl_threshold(uint32_t words) {
  if (words > max_normal_block_words) {
    throw std::invalid_argument(
        fmt::format("The XL threshold cannot exceed {} words, the largest normal block.", max_normal_block_words));
  }
  threshold.store(words, std::memory_order_relaxed);
}

uint32_t xl_threshold() { return threshold.load(std::memory_order_relaxed); }

}  // namespace ovrix::dma
