#include "program/record.h"

#include <algorithm>
#include <stdexcept>

namespace ovrix::program {

bool NpTrack::append(const hw::Ident& np, dma::Target target, uint16_t parameter, const std::vector<uint32_t>& words,
                     bool xl_allowed, bool with_size) {
  const size_t n = words.size();
  const bool xl = dma::config_block_size_needs_xl(static_cast<uint32_t>(n));
  size_t padded = n;
  if (xl) {
    if (!xl_allowed) return false;
    padded = (n + 15) & ~size_t{15};
  }
  if (words_.size() + dma::config_header_words + padded > max_words) return false;

  // Room for the whole block at once (the vector would otherwise grow for the header, the words and
  // the padding in turn, copying a large block each time), keeping the vector's own doubling for
  // tracks of many small blocks.
  const size_t needed = words_.size() + dma::config_header_words + padded;
  if (needed > words_.capacity()) words_.reserve(std::max(needed, 2 * words_.capacity()));
  const size_t header = words_.size();
  words_.resize(header + dma::config_header_words, 0);
  try {
    dma::format_config_header(words_.data() + header, np, target, with_size ? static_cast<uint32_t>(padded) : 0,
                              parameter, xl);
  } catch (...) {
    words_.resize(header);
    throw;
  }
  words_.insert(words_.end(), words.begin(), words.end());
  words_.resize(words_.size() + (padded - n), 0);
  return true;
}

std::unique_ptr<Record> new_record(const HwVersion& version) { return std::unique_ptr<Record>(new Record(version)); }

void Record::add_np_track(const hw::Ident& np, dma::Target target, uint16_t parameter,
                          const std::vector<uint32_t>& words, BlockPlacement placement) {
  const bool with_size = placement.with_size;
  if (!placement.append_to_last || tracks_.empty()) tracks_.emplace_back();
  if (tracks_.back().append(np, target, parameter, words, false, with_size)) return;
  // A block that needs the XL header, or that the current track cannot hold, starts a track of its own.
  tracks_.emplace_back();
  if (tracks_.back().append(np, target, parameter, words, true, with_size)) return;
  throw std::runtime_error("Error generating NP program.");
}

void Record::add_fnp2_filters_track(const hw::Ident& np, const std::vector<uint32_t>& words) {
  fnp2_filters_ = std::make_unique<Fnp2FiltersTrack>(Fnp2FiltersTrack{np, words});
}

}  // namespace ovrix::program
