#pragma once
// Splitting a convolution over several NPs along the input width, the input height and the neurons,
// and the per-NP geometry the recorders write into an NP's registers.
#include <array>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "mapping/hw_description.h"
#include "mapping/hw_types.h"
#include "mapping/mapping_status.h"

namespace ovrix {

class CompatibilityChecker;
class Layer;
struct PaddingParams;

// One axis cut into equal pieces (the last may be shorter). Invalid when pieces or piece is 0.
struct Split {
  uint32_t pieces = 0;
  uint32_t piece = 0;
  uint32_t total = 0;
  uint32_t max = 0;    // largest allowed piece
  uint32_t align = 0;  // pieces of an axis split in several are multiples of it when >= 2

  Split() = default;
  // An axis of `total` in pieces of at most `max`; max below align gives an invalid split.
  Split(uint32_t total, uint32_t max, uint32_t align);
  bool valid() const { return pieces != 0 && piece != 0; }
  friend bool operator==(const Split&, const Split&) = default;
};

// Numbers of pieces along width, height and neurons, ordered lexicographically.
struct SplitsNumChunks {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t neurons = 0;

  friend auto operator<=>(const SplitsNumChunks&, const SplitsNumChunks&) = default;

  // Every a <= b <= c with a * b * c = n, ascending.
  static std::set<SplitsNumChunks> factor_triplets(uint32_t n);
  // Every ordering of every triplet of n, in descending order: more width pieces first.
  static std::vector<SplitsNumChunks> get_splits_number(uint32_t n);
};

// Pairs (larger, smaller) of divisors of n whose product is n; empty for 0.
std::set<std::pair<uint32_t, uint32_t>> factor_pairs(uint32_t n);

// The most NPs a mesh can address (255 columns, 255 rows, 8 positions per node): a split needing more
// is refused without listing its components.
inline constexpr uint64_t max_split_nps = 255u * 255u * 8u;

enum class SramFit : uint8_t { None = 0, DualBuffer = 1, SingleBuffer = 2 };

// Result of the split search: the three axes with the winning numbers of pieces and piece sizes.
struct SplitSearchResult {
  bool found = false;
  Split width;
  Split height;
  Split neurons;
  SramFit fit = SramFit::None;
  // Set, without a winner, when the fewest pieces that fit are more than a mesh can have.
  uint64_t parts = 0;
};

// Inputs of the split search besides the three axis splits.
struct SplitSearchInput {
  uint32_t channels = 0;
  uint8_t input_bits = 0;
  uint32_t border_width_before = 0;
  uint32_t border_width_after = 0;
  uint32_t border_height_before = 0;
  uint32_t border_height_after = 0;
  uint32_t fifo_size = 0;
  hw::Type type = hw::Type::None;
  bool dual_buffer_only = false;
  uint32_t pksram_shift = 0;
  bool channels_follow_neurons = false;
  bool height_split_allowed = true;
  bool temporal = false;
  // Columns (rows) that the first of several pieces gives up to the pooling's leading padding; the
  // other pieces must still reach the end of the axis.
  uint32_t first_width_cut = 0;
  uint32_t first_height_cut = 0;
};

// Finds the fewest NPs whose input parts fit the NP's SRAM, trying more width pieces first, then
// height, then neurons. Stops at once when the finest admissible cut does not fit either.
SplitSearchResult search_split(const CompatibilityChecker& checker, const SplitSearchInput& input, const Split& height,
                               const Split& width, const Split& neurons);

// Raises the number of neuron pieces until one piece's weights fit an NP; false when none fits.
bool fit_weights(const CompatibilityChecker& checker, const Layer& layer, Split* neurons);

using SplitResult = std::pair<std::vector<hw::Component>, MappingStatus>;

// The splitters below find a layer's split and list its components. `supply` is the number of NPs of the
// split's type that could take it: a split needing more is refused before any component is built, with
// the mesh mapper's status ("Not enough hardware components of type ..."), so that refusing a layer
// costs the same whatever its demand. When `demand` is given it receives the number of NPs of the split
// found (0 when none is).
SplitResult split_conv_layer(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                             uint32_t max_width, uint32_t max_filters, hw::Type type, bool dual_buffer_only,
                             uint64_t supply = max_split_nps, uint64_t* demand = nullptr);
SplitResult split_depthwise_conv_layer(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                                       uint32_t max_width, uint32_t max_filters, hw::Type type,
                                       bool dual_buffer_only, uint64_t supply = max_split_nps,
                                       uint64_t* demand = nullptr);
SplitResult split_transposed_conv2d_layer(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                                          uint32_t max_width, uint32_t max_filters, bool dual_buffer_only,
                                          uint64_t supply = max_split_nps, uint64_t* demand = nullptr);
SplitResult split_transposed_dwconv2d_layer(const Layer& layer, const CompatibilityChecker& checker,
                                            uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                            bool dual_buffer_only, uint64_t supply = max_split_nps,
                                            uint64_t* demand = nullptr);

// The components of a split, width pieces outermost, neurons fastest. Horizontal and vertical pooling
// amounts shorten the first of several pieces.
std::vector<hw::Component> build_split_components(const Layer& layer, hw::Type type, const Split& width,
                                                  const Split& height, const Split& neurons,
                                                  const std::array<uint32_t, 4>& borders, uint32_t pool_x,
                                                  uint32_t pool_y, bool single_buffer);

namespace v2 {
// Input words reserved ahead of the data: 512 when the layer's first inbound layer is an Add.
uint32_t get_add_pksram_shift(const Layer& layer);
}  // namespace v2

// Split geometry of one NP, read by the recorders when they write its registers.
class NpSplitInterface {
 public:
  virtual uint32_t icont_size() const = 0;

  // Values 0..14 (see NpSplit); values 7 and 8 are signed.
  uint32_t input_y = 0;            // 0: input window row
  uint32_t input_x = 0;            // 1: input window column
  uint32_t height = 0;             // 2: partition height
  uint32_t width = 0;              // 3: partition width
  uint32_t channels = 0;           // 4: partition channels
  uint32_t stride_phase_y = 0;     // 5
  uint32_t stride_phase_x = 0;     // 6
  int32_t offset_y = 0;            // 7: window row - partition row
  int32_t offset_x = 0;            // 8: window column - partition column
  uint32_t window_height = 0;      // 9
  uint32_t window_width = 0;       // 10
  uint32_t first_pooled_row = 0;   // 11
  uint32_t first_pooled_col = 0;   // 12
  uint32_t pooled_rows = 0;        // 13
  uint32_t pooled_cols = 0;        // 14

 protected:
  NpSplitInterface() = default;
  ~NpSplitInterface() = default;
};

class NpSplit final : public NpSplitInterface {
 public:
  // k, s: kernel size and stride; conv_padding: only its y-before and x-before are used; limit: pool
  // size; m: pool stride; pool_padding is used whole. Divisions by a zero s or m give 0.
  NpSplit(const Shape& input, const NpSpace& partition, const NpSpace& window, int32_t k, int32_t s,
          const PaddingParams& conv_padding, uint32_t limit, uint8_t m, const PaddingParams& pool_padding);
  // Partition width rounded up to a multiple of 4.
  uint32_t icont_size() const override;
};

class TransposedCnpSplit final : public NpSplitInterface {
 public:
  TransposedCnpSplit(const NpSpace& partition, const NpSpace& window);
  // Twice the partition width rounded up to a multiple of 4.
  uint32_t icont_size() const override;
};

}  // namespace ovrix
