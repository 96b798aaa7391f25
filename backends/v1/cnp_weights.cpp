#include "backends/v1/cnp_weights.h"

#include <fmt/format.h>

#include <array>
#include <cstdlib>
#include <stdexcept>

#include "backends/common/sizes.h"
#include "backends/v1/cnp_error.h"
#include "mapping/host_hooks.h"

namespace ovrix {

template <int N>
uint32_t int32_to_intN(int value) {
  static_assert(N >= 2 && N <= 31);
  constexpr int low = -(1 << (N - 1));
  constexpr int high = (1 << (N - 1)) - 1;
  if (value < low || value > high) panic("%d cannot fit in a %d-bit signed integer", value, N);
  return static_cast<uint32_t>(value) & ((1u << N) - 1);
}

template uint32_t int32_to_intN<2>(int);
template uint32_t int32_to_intN<4>(int);

}  // namespace ovrix

namespace ovrix::v1 {

namespace {

// The used bits of a slot, and how many words it spans.
constexpr uint32_t kSlotWords = 2;

// Weights of the standard layouts held per slot, by kernel width (0: no layout).
constexpr std::array<uint32_t, 8> kItemsPerSlot = {0, 48, 0, 5, 0, 2, 0, 1};

// Reads a weights tensor through its strides, with the checks every formatter makes.
class WeightView {
 public:
  explicit WeightView(const Dense& w) : data_(w.data_as<int8_t>()), shape_(w.shape()), strides_(w.strides()) {}

  uint32_t dim(size_t i) const { return i < shape_.size() ? shape_[i] : 1; }
  size_t rank() const { return shape_.size(); }

  int at(uint32_t a, uint32_t b, uint32_t c = 0, uint32_t d = 0) const {
    const uint32_t coords[4] = {a, b, c, d};
    size_t index = 0;
    for (size_t i = 0; i < shape_.size(); ++i) index += size_t{coords[i]} * strides_[i];
    return data_[index];
  }

  // Filters first .. first + count - 1 of dimension 0 must exist.
  void check_filters(uint32_t first, uint32_t count, const char* what) const {
    if (uint64_t{first} + count > dim(0))
      throw CnpError(fmt::format("{} filters {} to {} are outside the {} filters of the tensor.", what, first,
                                 uint64_t{first} + count - 1, dim(0)));
  }

  void check_rank(size_t rank, const char* what) const {
    if (shape_.size() != rank)
      throw CnpError(fmt::format("{} weights must have {} dimensions, not {}.", what, rank, shape_.size()));
  }

 private:
  const int8_t* data_;
  Shape shape_;
  std::vector<uint32_t> strides_;
};

// OR-writes `value` (already masked) at bit `bit` of a stream of words.
inline void put_bits(std::vector<uint32_t>* words, uint64_t bit, uint32_t value) {
  (*words)[bit / 32] |= value << (bit % 32);
}

// 4-bit sign-magnitude code: magnitude in bits 0-2, bit 3 set for positive values.
uint32_t four_bit_code(int w, uint32_t f, uint32_t c, uint32_t r, uint32_t s) {
  if (w < -7 || w > 7)
    throw CnpError(fmt::format("weight {} of filter {}, channel {}, row {}, column {} does not fit the 4-bit "
                               "weight layout (-7 to 7).",
                               w, f, c, r, s));
  return static_cast<uint32_t>(std::abs(w)) | (w > 0 ? 8u : 0u);
}

// Code of a separable weight at `bits` bits: two's complement at 2 and 4 bits, 0 or 1 at 1 bit.
uint32_t separable_code(int w, int bits) {
  if (bits == 4) return int32_to_intN<4>(w);
  if (bits == 1) {
    if (w != 0 && w != 1) throw CnpError(fmt::format("weight {} does not fit the 1-bit weight layout (0 or 1).", w));
    return static_cast<uint32_t>(w);
  }
  return int32_to_intN<2>(w);
}

// Writes values into a stream of 64-bit slots whose used part is `capacity` bits: a value that does not
// end inside the slot continues at bit 0 of the next.
class SlotStream {
 public:
  SlotStream(std::vector<uint32_t>* words, size_t first_word, uint32_t capacity)
      : words_(words), first_(first_word), capacity_(capacity) {}

  void put(uint32_t code, uint32_t bits) {
    for (uint32_t i = 0; i < bits; ++i) {
      if (pos_ == capacity_) next_slot();
      if ((code >> i) & 1u) (*words_)[first_ + slot_ * kSlotWords + pos_ / 32] |= 1u << (pos_ % 32);
      ++pos_;
    }
  }
  // Moves to bit 0 of the next slot unless the stream already stands there.
  void align() {
    if (pos_ != 0) next_slot();
  }

 private:
  void next_slot() {
    ++slot_;
    pos_ = 0;
  }
  std::vector<uint32_t>* words_;
  size_t first_;
  uint32_t capacity_;
  uint64_t slot_ = 0;
  uint32_t pos_ = 0;
};

uint32_t std_kernel_width(const WeightView& w) {
  w.check_rank(4, "Standard convolution");
  if (w.dim(2) != w.dim(3)) throw std::runtime_error("CNP: width and height must be equal.");
  return w.dim(3);
}

// Units (slots) per channel of the 4-bit layouts, for F filters and kernel width k.
uint64_t four_bit_units(uint32_t k, uint64_t filters) {
  switch (k) {
    case 1: return ceil_div(4 * filters, 48);
    case 3: return round_up(filters, 8) * 6 / 8;
    case 5: return round_up(filters, 8) * 16 / 8;
    case 7: return round_up(filters, 8) * 42 / 8;
    default: throw std::runtime_error("Unsupported kernel size");
  }
}

}  // namespace

uint32_t get_std_cnp_sram_size(uint32_t kernel_width, uint32_t channels, uint32_t filters, int weights_bits) {
  const uint64_t k = kernel_width, c = channels, f = filters;
  if (weights_bits == 4) return size32(c * 2 * round_up(four_bit_units(kernel_width, f), 16));
  if (weights_bits != 1 && weights_bits != 2) return 0xFFFFFFFFu;
  if (k == 0 || k >= kItemsPerSlot.size()) return 0xFFFFFFFFu;
  const uint64_t n = kItemsPerSlot[k];
  if (n == 0) return 0;
  const uint64_t planes = (weights_bits == 2 || k == 1) ? 2 : 1;
  return size32(c * 16 * ceil_div(ceil_div(planes * round_up(f, 8), n), 8));
}

std::vector<uint32_t> format_std_cnp_weights(const Dense& weights, bool two_bits, uint32_t first_filter,
                                             uint32_t count) {
  const WeightView w(weights);
  const uint32_t k = std_kernel_width(w);
  w.check_filters(first_filter, count, "Convolution");
  if (k >= kItemsPerSlot.size() || kItemsPerSlot[k] == 0) throw std::runtime_error("Unsupported kernel size");
  const uint32_t channels = w.dim(1);
  const uint32_t planes = (two_bits || k == 1) ? 2 : 1;
  const uint32_t n = kItemsPerSlot[k];
  const uint32_t padding = (k == 3 || k == 7) ? 1 : 0;
  const uint32_t capacity = k == 1 ? 48 : 50;
  const uint32_t item_bits = k * k + padding;
  const uint64_t units = ceil_div(round_up(count, 8) * planes, n);
  const uint64_t block_words = 16 * ceil_div(units, 8);
  std::vector<uint32_t> out(channels * block_words, 0);
  const int lowest = planes == 2 ? -1 : 0;

  for (uint32_t c = 0; c < channels; ++c) {
    const uint64_t base = uint64_t{c} * block_words * 32;
    uint64_t cursor = 0, counter = 0;
    auto end_item = [&] {
      cursor += item_bits;
      counter += item_bits;
      if (counter % capacity == 0) cursor = round_up(cursor, 64);
    };
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t f = first_filter + i;
      for (uint32_t plane = 0; plane < planes; ++plane) {
        const int wanted = plane == 0 ? 1 : -1;
        for (uint32_t r = 0; r < k; ++r)
          for (uint32_t s = 0; s < k; ++s) {
            const int v = w.at(f, c, r, s);
            if (plane == 0 && (v < lowest || v > 1))
              throw CnpError(fmt::format("weight {} of filter {}, channel {}, row {}, column {} does not fit the "
                                         "{}-bit weight layout ({} to 1).",
                                         v, f, c, r, s, two_bits ? 2 : 1, lowest));
            if (v == wanted) put_bits(&out, base + cursor + r * k + s, 1);
          }
        end_item();
      }
    }
  }
  return out;
}

std::vector<uint32_t> format_4bits_std_cnp_weights(const Dense& weights, uint32_t first_filter, uint32_t count) {
  const WeightView w(weights);
  const uint32_t k = std_kernel_width(w);
  w.check_filters(first_filter, count, "Convolution");
  const uint32_t channels = w.dim(1);
  const uint64_t block_words = 2 * round_up(four_bit_units(k, count), 16);
  std::vector<uint32_t> out(channels * block_words, 0);
  const uint32_t capacity = k <= 3 ? 48 : 50;

  for (uint32_t c = 0; c < channels; ++c) {
    const size_t block = c * block_words;
    if (k == 1) {
      SlotStream stream(&out, block, capacity);
      for (uint32_t i = 0; i < count; ++i) {
        const uint32_t f = first_filter + i;
        stream.put(four_bit_code(w.at(f, c, 0, 0), f, c, 0, 0), 4);
      }
      continue;
    }
    const uint32_t group_words = k == 3 ? 12 : k == 5 ? 32 : 84;
    for (uint32_t g = 0; g * 8 < count; ++g) {
      SlotStream stream(&out, block + size_t{g} * group_words, capacity);
      for (uint32_t r = 0; r < k; ++r) {
        for (uint32_t j = 0; j < 8; ++j) {
          const uint32_t i = g * 8 + j;
          for (uint32_t s = 0; s < k; ++s) {
            const uint32_t f = first_filter + i;
            stream.put(i < count ? four_bit_code(w.at(f, c, r, s), f, c, r, s) : 0, 4);
          }
          // A 7-wide row of a group takes six slots: three filters in two slots, three, then two.
          if (k == 7 && (j % 3 == 2 || j == 7)) stream.align();
        }
      }
    }
  }
  return out;
}

namespace {

// Rows of `bits` x k bits that one slot holds; 0 when a row does not fit.
uint32_t dw_rows_per_slot(int kernel_width, int bits) {
  const int64_t row = int64_t{bits} * kernel_width;
  return row <= 0 ? 0 : static_cast<uint32_t>(50 / row);
}

}  // namespace

uint32_t get_dw_weights_sram_size(int kernel_width, uint32_t channels, int bits) {
  const uint32_t q = dw_rows_per_slot(kernel_width, bits);
  if (q == 0 || kernel_width <= 0) return 0xFFFFFFFFu;
  const uint64_t k = static_cast<uint64_t>(kernel_width);
  if (q < 2 * k) return size32(round_up(ceil_div(k, q) * channels * 2, 16));
  return size32(round_up(ceil_div(channels, q / k) * 2, 16));
}

std::vector<uint32_t> format_sep_cnp_dw_weights(const Dense& weights, int bits) {
  const WeightView w(weights);
  w.check_rank(4, "Depthwise");
  if (w.dim(2) != w.dim(3)) throw std::runtime_error("CNP: width and height must be equal.");
  if (bits != 1 && bits != 2 && bits != 4)
    throw CnpError(fmt::format("depthwise weights of {} bits have no layout.", bits));
  const uint32_t k = w.dim(3), rows = w.dim(2), channels = w.dim(1);
  const uint32_t q = dw_rows_per_slot(static_cast<int>(k), bits);
  if (q == 0)
    throw CnpError(fmt::format("a depthwise kernel row of {} bits does not fit a 50-bit weight slot.",
                               int64_t{bits} * k));
  const uint32_t row_bits = static_cast<uint32_t>(bits) * k;
  const uint64_t words = q < 2 * k ? uint64_t{2} * channels * ceil_div(k, q) : 2 * ceil_div(channels, q / k);
  std::vector<uint32_t> out(words, 0);
  uint64_t slot = 0;
  uint32_t pos = 0;
  for (uint32_t c = 0; c < channels; ++c) {
    for (uint32_t r = 0; r < rows; ++r) {
      if (pos + row_bits > 50) {
        ++slot;
        pos = 0;
      }
      for (uint32_t s = 0; s < k; ++s) {
        const uint32_t code = separable_code(w.at(0, c, r, s), bits);
        out[2 * slot + (pos >= 32 ? 1 : 0)] |= code << (pos % 32);
        pos += static_cast<uint32_t>(bits);
      }
    }
    if (pos + row_bits * k > 50) {
      ++slot;
      pos = 0;
    }
  }
  return out;
}

uint32_t get_nb_words_per_pw_channel(uint32_t filters, int bits) {
  const uint64_t used = uint64_t{filters} * static_cast<uint64_t>(bits);
  const uint64_t slots = ceil_div(used, 48);
  if (filters % 8 == 0) return size32(slots);
  const uint64_t remainder = used % 48;
  const uint64_t free_bits = remainder == 0 ? 0 : 48 - remainder;
  const int64_t wanted = 48 - int64_t{bits} * (filters % 8);
  return size32(static_cast<int64_t>(free_bits) < wanted ? slots + 1 : slots);
}

uint32_t get_sep_cnp_sram_size(uint32_t kernel_width, uint32_t channels, uint32_t filters, int bits) {
  const uint64_t dw = get_dw_weights_sram_size(static_cast<int>(kernel_width), channels, bits);
  return size32(dw + uint64_t{channels} * get_nb_words_per_pw_channel(filters, bits) * 2);
}

std::vector<uint32_t> format_sep_cnp_pw_weights(const Dense& weights_pw, int bits, uint32_t first_filter,
                                                uint32_t count) {
  const WeightView w(weights_pw);
  w.check_rank(2, "Pointwise");
  w.check_filters(first_filter, count, "Pointwise");
  if (bits != 1 && bits != 2 && bits != 4)
    throw CnpError(fmt::format("pointwise weights of {} bits have no layout.", bits));
  const uint32_t channels = w.dim(1);
  const uint64_t slots = get_nb_words_per_pw_channel(count, bits);
  std::vector<uint32_t> out(channels * 2 * slots, 0);
  const auto b = static_cast<uint32_t>(bits);
  for (uint32_t c = 0; c < channels; ++c) {
    uint64_t slot = 0;
    uint32_t pos = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t code = separable_code(w.at(first_filter + i, c), bits);
      out[2 * (c * slots + slot) + (pos >= 32 ? 1 : 0)] |= code << (pos % 32);
      pos += b;
      if (pos + b > 48) {
        ++slot;
        pos = 0;
      }
    }
  }
  return out;
}

}  // namespace ovrix::v1
