#pragma once
// Program records: the words an edition's recorder produces for one layer, for the input/output
// stage or for a learning program, grouped in per-NP tracks of DMA configuration blocks.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/dma.h"
#include "mapping/hw_types.h"
#include "mapping/hw_version.h"

namespace ovrix::program {

// One track: the concatenation of its blocks, each a two-word DMA configuration header followed by
// its payload. The DMA engine addresses a track with a 16-bit word count, so a track never grows
// past max_words.
class NpTrack {
 public:
  static constexpr size_t max_words = 65535;

  // Appends one block for np, or answers false and leaves the track as it was. A payload that needs
  // the XL header is accepted only when xl_allowed, and is then padded with zero words to a multiple
  // of 16; the header carries the padded size, or 0 when with_size is false.
  bool append(const hw::Ident& np, dma::Target target, uint16_t parameter, const std::vector<uint32_t>& words,
              bool xl_allowed, bool with_size);
  // The same with a payload the track may take over: when the track is empty and the vector has room
  // for the header and the padding, the vector becomes the track (its words move up by the header's
  // two words, in place) instead of being copied. Left as it was when the answer is false.
  bool append(const hw::Ident& np, dma::Target target, uint16_t parameter, std::vector<uint32_t>&& words,
              bool xl_allowed, bool with_size);

  const std::vector<uint32_t>& words() const { return words_; }
  size_t size() const { return words_.size(); }
  bool empty() const { return words_.empty(); }

 private:
  // Header words and padded size of a payload of n words, or false when it cannot be appended.
  bool block_layout(size_t n, bool xl_allowed, bool* xl, size_t* padded) const;
  std::vector<uint32_t> words_;
};

// The filter words of an FNP2, loaded without a DMA header.
struct Fnp2FiltersTrack {
  hw::Ident np;
  std::vector<uint32_t> words;
};

// How Record::add_np_track places a block: with its size in the header (the default), and after the
// blocks of the record's last track (the default) or at the start of a new track.
struct BlockPlacement {
  bool with_size = true;
  bool append_to_last = true;
};

class Record;
std::unique_ptr<Record> new_record(const HwVersion& version);

class Record {
 public:
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  virtual ~Record() = default;

  // Appends one configuration block for np: to the last track when placement.append_to_last and
  // there is one, else to a new track. A block that does not fit there (too long, or needing the XL header, which
  // only the start of a track may carry) opens another new track; when it does not fit an empty
  // track either, std::runtime_error "Error generating NP program.". The order of calls is the
  // order of blocks in the device program.
  void add_np_track(const hw::Ident& np, dma::Target target, uint16_t parameter, const std::vector<uint32_t>& words,
                    BlockPlacement placement = {});
  // The same, taking the payload over where it starts a track (see NpTrack::append); `words` is left
  // in a valid but unspecified state.
  void add_np_track(const hw::Ident& np, dma::Target target, uint16_t parameter, std::vector<uint32_t>&& words,
                    BlockPlacement placement = {});
  // Both, with the placement's two flags as arguments.
  void add_np_track(const hw::Ident& np, dma::Target target, uint16_t parameter, const std::vector<uint32_t>& words,
                    bool with_size, bool append_to_last) {
    add_np_track(np, target, parameter, words, BlockPlacement{with_size, append_to_last});
  }
  void add_np_track(const hw::Ident& np, dma::Target target, uint16_t parameter, std::vector<uint32_t>&& words,
                    bool with_size, bool append_to_last) {
    add_np_track(np, target, parameter, std::move(words), BlockPlacement{with_size, append_to_last});
  }
  // Sets the FNP2 filters track, replacing any earlier one. An empty list still makes a track.
  void add_fnp2_filters_track(const hw::Ident& np, const std::vector<uint32_t>& words);

  const std::vector<NpTrack>& tracks() const { return tracks_; }
  // Null when the record has no FNP2 filters track.
  const Fnp2FiltersTrack* fnp2_filters_track() const { return fnp2_filters_.get(); }
  const HwVersion& hw_version() const { return version_; }

 private:
  explicit Record(const HwVersion& version) : version_(version) {}
  friend std::unique_ptr<Record> new_record(const HwVersion& version);

  std::vector<NpTrack> tracks_;
  std::unique_ptr<Fnp2FiltersTrack> fnp2_filters_;
  HwVersion version_;
};

// What an edition's learning recorder gives: three records, all present, and the learning value.
// Members are destroyed in reverse order: third, second, first.
struct LearnRecordsPtr {
  std::unique_ptr<Record> first;
  std::unique_ptr<Record> second;
  std::unique_ptr<Record> third;
  uint32_t learning_value = 0;
};

}  // namespace ovrix::program
