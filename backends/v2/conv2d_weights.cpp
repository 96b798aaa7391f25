// Weight format of standard (and transposed) convolutions on a v2 CNP.
#include <fmt/format.h>

#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

#include "backends/common/sizes.h"
#include "backends/common/weight_stream.h"
#include "backends/v2/cnp_weights.h"
#include "mapping/host_hooks.h"

namespace ovrix::v2 {

static_assert(std::endian::native == std::endian::little, "weight bytes are laid out in little-endian words");

namespace {

// How one kernel size lays out 8-bit weights: a group of `filter_group` filters takes `group_words`
// 32-bit words; kernel row j of a group starts `row_stride` bytes after row j - 1; inside a row,
// after every `run_length` weights `run_gap` bytes are skipped (0: never).
struct Conv2dFormat {
  uint32_t run_length;
  uint32_t run_gap;
  uint32_t filter_group;
  uint32_t group_words;
  uint32_t row_stride;
  uint32_t words_per_100b;
  uint32_t dma_target;
};

const Conv2dFormat& cnp_weight_format(uint32_t kernel_size) {
  static constexpr Conv2dFormat k1{0, 0, 24, 6, 0, 3, 1};
  static constexpr Conv2dFormat k3{0, 0, 8, 18, 24, 3, 1};
  static constexpr Conv2dFormat k4{0, 0, 8, 36, 36, 3, 1};
  static constexpr Conv2dFormat k5{5, 1, 8, 60, 48, 3, 1};
  static constexpr Conv2dFormat k7{7, 9, 8, 224, 128, 4, 0};
  switch (kernel_size) {
    case 1: return k1;
    case 3: return k3;
    case 4: return k4;
    case 5: return k5;
    case 7: return k7;
    default: throw std::runtime_error("cnp_weight_format: Unexpected kernel size.");
  }
}

// The 4-bit weights of `groups` consecutive groups of 8 filters in the plain stream (kernel row, filter
// slot, kernel column; two to a byte), when the filter axis is contiguous: one 8-byte
// load per kernel position holds a group's 8 slots, and the kernel size is known to the compiler so that
// the loops unroll. `at` is element (0, 0, c, first filter); group g's stream starts at pairs + g x
// stride. Row by row, the K kernel planes of the row are each read straight through (all the groups of
// one plane's row are contiguous), rather than K x K planes at once. With an odd kernel, value (s, i) of
// a row sits at an even place when s + i is even; its byte pairs it with (s, i + 1), or with (s + 1, 0)
// after the last column, so one word of pairs per column serves every other slot.
template <uint32_t K>
void gather_full_groups(const int8_t* at, size_t s0, size_t s1, uint32_t groups, uint8_t* first_pairs,
                        size_t stride) {
  static_assert(K % 2 == 1, "pairs are laid out for odd kernels");
  static_assert(std::endian::native == std::endian::little, "filter slot s is byte s of the load");
  constexpr uint64_t low_nibbles = 0x0F0F0F0F0F0F0F0Full;
  for (uint32_t j = 0; j < K; ++j) {
    const int8_t* row = at + j * s1;
    uint8_t* pairs = first_pairs;
    for (uint32_t g = 0; g < groups; ++g, row += 8, pairs += stride) {
      uint64_t slots[K];
      for (uint32_t i = 0; i < K; ++i) {
        std::memcpy(&slots[i], row + i * s0, sizeof slots[i]);
        slots[i] &= low_nibbles;
      }
      for (uint32_t i = 0; i < K; ++i) {
        const uint64_t high = i + 1 < K ? slots[i + 1] : slots[0] >> 8;
        const uint64_t both = slots[i] | high << 4;
        for (uint32_t slot = i % 2; slot < 8; slot += 2)
          pairs[((8 * j + slot) * K + i) / 2] = static_cast<uint8_t>(both >> (8 * slot));
      }
    }
  }
}

using GroupsGather = void (*)(const int8_t*, size_t, size_t, uint32_t, uint8_t*, size_t);

GroupsGather full_groups_gather(uint32_t k) {
  switch (k) {
    case 3: return &gather_full_groups<3>;
    case 5: return &gather_full_groups<5>;
    case 7: return &gather_full_groups<7>;
    default: return nullptr;
  }
}

// Filters handled by groups of `group` starting at first_filter.
void check_filter_range(const WeightView& w, uint32_t first_filter, uint32_t filters) {
  if (uint64_t{first_filter} + filters > w.dims[3])
    throw std::invalid_argument(fmt::format("Filters {} to {} are beyond the weights of {} filters.",
                                            first_filter, uint64_t{first_filter} + filters - 1, w.dims[3]));
}

// Kernel size of a standard convolution's weights, which must be square.
uint32_t kernel_of(const WeightView& w) {
  if (w.dims[0] != w.dims[1]) throw std::invalid_argument("Convolution weights must have a square kernel.");
  return w.dims[0];
}

}  // namespace

uint32_t conv2d_dma_target(uint32_t kernel_size, uint8_t weights_bits) {
  if (weights_bits != 8) return 0;
  return cnp_weight_format(kernel_size).dma_target;
}

uint32_t conv2d_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters) {
  switch (kernel_size) {
    case 1: return ceil_div(filters, 24);
    case 3: return ceil_div(filters, 8) * 3;
    case 5: return ceil_div(filters, 8) * 8;
    case 7: return ceil_div(filters, 8) * 21;
    default: throw std::runtime_error("Unsupported kernel size.");
  }
}

uint32_t conv2d_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters, uint8_t weights_bits) {
  if (weights_bits != 8) return conv2d_4bit_ch_cont_100b_size(kernel_size, filters);
  const uint32_t f8 = (filters + 7) & ~7u;
  switch (kernel_size) {
    case 1: return ceil_div(f8, 24) * 24 / 12;
    case 3: return f8 * 6 / 8;
    case 4: return f8 * 12 / 8;
    case 5: return f8 * 20 / 8;
    case 7: return f8 * 56 / 8;
    default: throw std::runtime_error("ch_cont_size: Unexpected kernel size.");
  }
}

uint32_t conv2d_cnp_formatted_4bit_weight_100b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels) {
  return conv2d_4bit_ch_cont_100b_size(kernel_size, filters) * channels;
}

uint32_t conv2d_cnp_formatted_weight_100b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels,
                                               uint8_t weights_bits) {
  if (weights_bits != 8) return conv2d_cnp_formatted_4bit_weight_100b_size(kernel_size, filters, channels);
  return conv2d_ch_cont_100b_size(kernel_size, filters, 8) * channels;
}

uint32_t conv2d_cnp_formatted_4bit_weight_32b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels) {
  return conv2d_cnp_formatted_4bit_weight_100b_size(kernel_size, filters, channels) * 4;
}

uint32_t conv2d_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels,
                                              uint8_t weights_bits) {
  if (weights_bits != 8) return conv2d_cnp_formatted_4bit_weight_32b_size(kernel_size, filters, channels);
  const uint32_t words = conv2d_ch_cont_100b_size(kernel_size, filters, 8) *
                         cnp_weight_format(kernel_size).words_per_100b * channels;
  return round_for_xl(words);
}

std::vector<std::vector<uint32_t>> format_conv2d_cnp_weights(const WeightView& w,
                                                             const std::vector<FilterShare>& shares,
                                                             uint8_t weights_bits) {
  if (weights_bits != 8) return format_conv2d_4bit_weights(w, shares);
  const uint32_t k = kernel_of(w);
  const Conv2dFormat& fmt = cnp_weight_format(k);
  const uint32_t channels = w.dims[2];
  std::vector<size_t> channel_words(shares.size());
  std::vector<std::vector<uint32_t>> outs(shares.size());
  for (size_t n = 0; n < shares.size(); ++n) {
    check_filter_range(w, shares[n].first, shares[n].count);
    channel_words[n] = size_t{conv2d_ch_cont_100b_size(k, shares[n].count, 8)} * fmt.words_per_100b;
    const size_t words = round_for_xl(static_cast<uint32_t>(channel_words[n] * channels));
    outs[n].reserve(words + block_headroom);  // a track can take the vector over
    outs[n].assign(words, 0);
  }

  // Byte offset, inside a kernel row of a group, of weight i of filter slot s: the weights follow
  // one another with a gap of run_gap bytes after every run_length of them.
  std::vector<uint32_t> offset(size_t{fmt.filter_group} * k);
  for (uint32_t n = 0; n < offset.size(); ++n)
    offset[n] = n + (fmt.run_length != 0 ? n / fmt.run_length * fmt.run_gap : 0);
  // In the four-word container of kernel 7 the 100-bit word is split 50/50 over two 64-bit halves:
  // weight 6, at word bits 48-55, keeps its two low bits in the first half and its six high bits in
  // the second.
  const bool split_last_weight = fmt.words_per_100b == 4;

  // Filters are read along the tensor's filter axis, the contiguous one of a (K, K, C, F) tensor;
  // channel by channel for all the shares, which reads each kernel row of a channel once.
  const size_t filter_stride = w.strides[3];
  for (uint32_t c = 0; c < channels; ++c) {
    for (size_t n = 0; n < shares.size(); ++n) {
      const uint32_t filters = shares[n].count;
      uint8_t* channel = reinterpret_cast<uint8_t*>(outs[n].data()) + size_t{c} * channel_words[n] * 4;
      for (uint32_t g = 0; g * fmt.filter_group < filters; ++g) {
        uint8_t* group = channel + size_t{g} * fmt.group_words * 4;
        const uint32_t f0 = shares[n].first + g * fmt.filter_group;
        const uint32_t count = std::min(fmt.filter_group, filters - g * fmt.filter_group);
        for (uint32_t j = 0; j < k; ++j) {
          uint8_t* row = group + size_t{j} * fmt.row_stride;
          for (uint32_t i = 0; i < k; ++i) {
            const int8_t* src = &w.data[size_t{i} * w.strides[0] + size_t{j} * w.strides[1] +
                                        size_t{c} * w.strides[2] + size_t{f0} * filter_stride];
            const uint32_t* slot_offset = &offset[i];
            if (split_last_weight && i == 6) {
              for (uint32_t s = 0; s < count; ++s) {
                const auto value = static_cast<uint8_t>(src[s * filter_stride]);
                uint8_t* at = row + slot_offset[size_t{s} * k];
                at[0] = value & 0x3;
                at[2] = value >> 2;
              }
            } else {
              for (uint32_t s = 0; s < count; ++s)
                row[slot_offset[size_t{s} * k]] = static_cast<uint8_t>(src[s * filter_stride]);
            }
          }
        }
      }
    }
  }
  return outs;
}

std::vector<std::vector<uint32_t>> format_conv2d_4bit_weights(const WeightView& w,
                                                              const std::vector<FilterShare>& shares) {
  const uint32_t k = kernel_of(w);
  const uint32_t channels = w.dims[2];
  std::vector<uint32_t> channel_100b(shares.size());
  std::vector<std::vector<uint32_t>> outs(shares.size());
  for (size_t n = 0; n < shares.size(); ++n) {
    channel_100b[n] = conv2d_4bit_ch_cont_100b_size(k, shares[n].count);  // refuses other kernels
    check_filter_range(w, shares[n].first, shares[n].count);
    const size_t words = size_t{channel_100b[n]} * channels * 4;
    outs[n].reserve(words + block_headroom);  // a track can take the vector over
    outs[n].assign(words, 0);
  }
  const uint32_t usable = k <= 3 ? 48 : 50;
  const size_t s0 = w.strides[0], s1 = w.strides[1], s2 = w.strides[2], s3 = w.strides[3];
  // The weights are gathered into the plain stream of 4-bit values, then each half is taken from
  // it at once: the gathering reads along the contiguous filter axis, channel by channel for all
  // the shares (each kernel row of a channel is read once).
  std::vector<uint8_t> bytes, pairs;

  if (k == 1) {
    // Each channel's container: the NP's filters one after another.
    uint32_t widest = 0;
    for (const FilterShare& share : shares) widest = std::max(widest, share.count);
    bytes.assign(widest, 0);
    pairs.assign(widest / 2 + 1 + paired_slack, 0);
    for (uint32_t c = 0; c < channels; ++c) {
      for (size_t n = 0; n < shares.size(); ++n) {
        const uint32_t filters = shares[n].count;
        const int8_t* src = w.data + size_t{c} * s2 + size_t{shares[n].first} * s3;
        for (uint32_t f = 0; f < filters; ++f) bytes[f] = static_cast<uint8_t>(src[f * s3]);
        pair_nibbles(bytes.data(), filters, pairs.data());
        put_nibbles(pairs.data(), 0, filters, usable, outs[n].data() + size_t{c} * channel_100b[n] * 4);
      }
    }
    return outs;
  }

  // A group of 8 filters streams kernel row by kernel row, filter slot by slot, kernel column by
  // kernel column, slots past the NP's last filter zero. The stream is one run from the group's
  // first half, except for kernel 7: three filter rows per 100-bit word, and each kernel row starts
  // a new word, so each run of up to three slots starts a word of its own.
  struct Run {
    uint32_t first_nibble;
    uint32_t nibbles;
    uint32_t first_half;
  };
  std::vector<Run> runs;
  if (k == 7) {
    uint32_t half = 0;
    for (uint32_t j = 0; j < k; ++j)
      for (uint32_t slot = 0; slot < 8; slot += 3, half += 2)
        runs.push_back({(j * 8 + slot) * k, std::min(3u, 8 - slot) * k, half});
  } else {
    runs.push_back({0, 8 * k * k, 0});
  }
  const uint32_t group_100b = conv2d_4bit_ch_cont_100b_size(k, 8);
  const size_t group_nibbles = size_t{8} * k * k;
  const size_t group_pairs = group_nibbles / 2 + 1 + paired_slack;
  const GroupsGather gather = s3 == 1 ? full_groups_gather(k) : nullptr;
  // The streams of every full group of one channel, share after share, from slot first_slot[n] of
  // share n; the last slot holds a partial group's. Shares that follow one another on the filter axis
  // in whole groups (an NP's usual share) are gathered in one sweep: with a few filters per NP a sweep
  // per share would do little work for its set-up.
  std::vector<size_t> first_slot(shares.size() + 1, 0);
  for (size_t n = 0; n < shares.size(); ++n) first_slot[n + 1] = first_slot[n] + (gather ? shares[n].count / 8 : 0);
  struct Sweep {
    uint32_t first_filter;
    uint32_t groups;
    size_t first_slot;
  };
  std::vector<Sweep> sweeps;
  for (size_t n = 0; n < shares.size(); ++n) {
    const uint32_t full = static_cast<uint32_t>(first_slot[n + 1] - first_slot[n]);
    if (full == 0) continue;
    // The last sweep's next group is this share's first (its next slot is this share's first: the
    // shares between them have no full group).
    const bool follows = !sweeps.empty() &&
                         uint64_t{sweeps.back().first_filter} + 8 * uint64_t{sweeps.back().groups} == shares[n].first;
    if (follows)
      sweeps.back().groups += full;
    else
      sweeps.push_back({shares[n].first, full, first_slot[n]});
  }
  bytes.assign(group_nibbles, 0);
  pairs.assign((first_slot.back() + 1) * group_pairs, 0);
  uint8_t* const partial_stream = pairs.data() + first_slot.back() * group_pairs;

  for (uint32_t c = 0; c < channels; ++c) {
    for (const Sweep& sweep : sweeps)
      gather(w.data + size_t{c} * s2 + sweep.first_filter, s0, s1, sweep.groups,
             pairs.data() + sweep.first_slot * group_pairs, group_pairs);
    for (size_t n = 0; n < shares.size(); ++n) {
      const uint32_t filters = shares[n].count;
      uint32_t* channel = outs[n].data() + size_t{c} * channel_100b[n] * 4;
      const int8_t* first = w.data + size_t{c} * s2 + size_t{shares[n].first} * s3;
      const auto full = static_cast<uint32_t>(first_slot[n + 1] - first_slot[n]);
      for (uint32_t g = 0; g * 8 < filters; ++g) {
        const uint32_t count = std::min(8u, filters - g * 8);
        uint8_t* stream = g < full ? pairs.data() + (first_slot[n] + g) * group_pairs : partial_stream;
        if (g >= full) {
          const int8_t* at = first + size_t{g} * 8 * s3;
          if (count < 8) std::fill(bytes.begin(), bytes.begin() + group_nibbles, 0);
          for (uint32_t j = 0; j < k; ++j) {
            for (uint32_t i = 0; i < k; ++i) {
              const int8_t* src = at + size_t{i} * s0 + size_t{j} * s1;
              uint8_t* dst = &bytes[size_t{j} * 8 * k + i];
              for (uint32_t slot = 0; slot < count; ++slot) dst[slot * k] = static_cast<uint8_t>(src[slot * s3]);
            }
          }
          pair_nibbles(bytes.data(), group_nibbles, stream);
        }
        uint32_t* group = channel + size_t{g} * group_100b * 4;
        if (k == 3) {
          put_nibbles_fixed<48, 8 * 3 * 3>(stream, group);
        } else if (k == 5) {
          put_nibbles_fixed<50, 8 * 5 * 5>(stream, group);
        } else {
          for (const Run& run : runs)
            put_nibbles(stream, run.first_nibble, run.nibbles, usable, group + size_t{run.first_half} * 2);
        }
      }
    }
  }
  return outs;
}

std::vector<uint32_t> format_conv2d_cnp_weights(const WeightView& w, uint32_t first_filter, uint32_t filters,
                                                uint8_t weights_bits) {
  return std::move(format_conv2d_cnp_weights(w, {{first_filter, filters}}, weights_bits).front());
}

std::vector<uint32_t> format_conv2d_4bit_weights(const WeightView& w, uint32_t first_filter, uint32_t filters) {
  return std::move(format_conv2d_4bit_weights(w, {{first_filter, filters}}).front());
}

std::vector<uint32_t> format_conv2d_cnp_weights(const Dense& weights, uint32_t first_filter, uint32_t filters,
                                                uint8_t weights_bits) {
  return format_conv2d_cnp_weights(WeightView::of(weights), first_filter, filters, weights_bits);
}

std::vector<uint32_t> format_conv2d_4bit_weights(const Dense& weights, uint32_t first_filter, uint32_t filters) {
  return format_conv2d_4bit_weights(WeightView::of(weights), first_filter, filters);
}

}  // namespace ovrix::v2
