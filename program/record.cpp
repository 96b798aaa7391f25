#include "program/record.h"

#include <algorithm>
#include <stdexcept>

namespace ovrix::program {

bool NpTrack::block_layout(size_t n, bool xl_allowed, bool* xl, size_t* padded) const {
  *xl = dma::config_block_size_needs_xl(static_cast<uint32_t>(n));
  *padded = n;
  if (*xl) {
    if (!xl_allowed) return false;
    *padded = (n + 15) & ~size_t{15};
  }
  return words_.size() + dma::config_header_words + *padded <= max_words;
}

bool NpTrack::append(const hw::Ident& np, dma::Target target, uint16_t parameter, const std::vector<uint32_t>& words,
                     bool xl_allowed, bool with_size) {
  const size_t n = words.size();
  bool xl = false;
  size_t padded = 0;
  if (!block_layout(n, xl_allowed, &xl, &padded)) return false;

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

bool NpTrack::append(const hw::Ident& np, dma::Target target, uint16_t parameter, std::vector<uint32_t>&& words,
                     bool xl_allowed, bool with_size) {
  const size_t n = words.size();
  bool xl = false;
  size_t padded = 0;
  if (!block_layout(n, xl_allowed, &xl, &padded)) return false;
  if (!words_.empty() || words.capacity() < dma::config_header_words + padded)
    return append(np, target, parameter, static_cast<const std::vector<uint32_t>&>(words), xl_allowed, with_size);
  uint32_t head[dma::config_header_words] = {};
  dma::format_config_header(head, np, target, with_size ? static_cast<uint32_t>(padded) : 0, parameter, xl);
  words.insert(words.begin(), std::begin(head), std::end(head));  // within the capacity: no new block
  words.resize(dma::config_header_words + padded, 0);
  words_ = std::move(words);
  return true;
}

std::unique_ptr<Record> new_record(const HwVersion& version) { return std::unique_ptr<Record>(new Record(version)); }

namespace {

// Both add_np_track: NpTrack::append leaves a payload it refuses as it was, so the second attempt sees it
// whole.
template <class Words>
void add_block(std::vector<NpTrack>& tracks, const hw::Ident& np, dma::Target target, uint16_t parameter,
               Words&& words, bool with_size, bool append_to_last) {
  if (!append_to_last || tracks.empty()) tracks.emplace_back();
  if (tracks.back().append(np, target, parameter, std::forward<Words>(words), false, with_size)) return;
  // A block that needs the XL header, or that the current track cannot hold, starts a track of its own.
  tracks.emplace_back();
  if (tracks.back().append(np, target, parameter, std::forward<Words>(words), true, with_size)) return;
  throw std::runtime_error("Error generating NP program.");
}

}  // namespace

void Record::add_np_track(const hw::Ident& np, dma::Target target, uint16_t parameter,
                          const std::vector<uint32_t>& words, BlockPlacement placement) {
  add_block(tracks_, np, target, parameter, words, placement.with_size, placement.append_to_last);
}

void Record::add_np_track(const hw::Ident& np, dma::Target target, uint16_t parameter, std::vector<uint32_t>&& words,
                          BlockPlacement placement) {
  add_block(tracks_, np, target, parameter, std::move(words), placement.with_size, placement.append_to_last);
}

void Record::add_fnp2_filters_track(const hw::Ident& np, const std::vector<uint32_t>& words) {
  fnp2_filters_ = std::make_unique<Fnp2FiltersTrack>(Fnp2FiltersTrack{np, words});
}

}  // namespace ovrix::program
