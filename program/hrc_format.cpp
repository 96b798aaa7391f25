#include "program/hrc_format.h"

#include <fmt/format.h>

#include <stdexcept>

#include "engine/tensor.h"
#include "mapping/host_hooks.h"

namespace ovrix {
namespace {

constexpr uint32_t line_words = 3;
constexpr uint32_t weights_per_line = 9;
// Words of one SRAM that the single-channel 3x3 layout fills before moving to the next SRAM.
constexpr uint32_t sram_wrap_words = 576;
constexpr uint32_t max_lines_kernel3 = 575;

enum class Advance { ByChannel, ByPairs, ByTriples, ByWrap };

// Where the next line goes: word offset in its SRAM, and which SRAM.
struct Cursor {
  uint32_t offset = 0;
  uint32_t sram = 0;

  void advance(Advance how) {
    switch (how) {
      case Advance::ByChannel: offset += line_words; break;
      case Advance::ByPairs:
        sram = (sram + 1) % 2;
        if (sram == 0) offset += line_words;
        break;
      case Advance::ByTriples:
        sram = (sram + 1) % 3;
        if (sram == 0) offset += line_words;
        break;
      case Advance::ByWrap:
        offset = (offset + line_words) % sram_wrap_words;
        if (offset < 2) sram += 1;
        break;
    }
  }
};

struct WeightView {
  const Dense& tensor;
  bool reversed;
  uint32_t kernel, channels, filters;

  explicit WeightView(const Dense& t) : tensor(t), reversed(t.layout() == 1) {
    const Shape s = t.shape();
    if (s.size() != 4) throw std::runtime_error(fmt::format("HRC weights must have 4 dimensions, not {}.", s.size()));
    // (row, column, channel, filter), or (filter, channel, column, row) in the reversed layout.
    kernel = reversed ? s[2] : s[1];
    channels = reversed ? s[1] : s[2];
    filters = reversed ? s[0] : s[3];
    // The layouts place k x k weights per filter: rows of a non-square kernel would be lost or missing.
    const uint32_t rows = reversed ? s[3] : s[0];
    if (rows != kernel)
      throw std::runtime_error(fmt::format("HRC weights must have a square kernel, not {}x{}.", rows, kernel));
  }
  int8_t at(uint32_t row, uint32_t col, uint32_t ch, uint32_t filter) const {
    return reversed ? tensor.at<int8_t>({filter, ch, col, row}) : tensor.at<int8_t>({row, col, ch, filter});
  }
};

// Value of a one-per-filter tensor, in its storage type.
template <class T>
T value_at(const Dense& tensor, size_t i, const char* name, size_t filters) {
  const T* data = tensor.data_as<T>();
  if (tensor.size() < filters)
    throw std::runtime_error(
        fmt::format("HRC variable '{}' has {} values for {} filters.", name, tensor.size(), filters));
  return data[i];
}

// Two's complement of a 6-bit signed field.
uint32_t signed6(int32_t value) {
  if (value < -32 || value > 31) panic("%d cannot fit in a %d-bit signed integer", value, 6);
  return static_cast<uint32_t>(value) & 0x3F;
}

uint32_t unsigned5(uint32_t value) {
  if (value > 31) panic("%u cannot fit in a %u-bit unsigned integer", value, 5u);
  return value;
}

uint32_t byte_of(int8_t value) { return static_cast<uint8_t>(value); }

}  // namespace

std::vector<std::vector<uint32_t>> format_hrc_weights(const Dense& weights) {
  weights.data_as<int8_t>();  // storage type check before anything is read
  const WeightView w(weights);
  const uint32_t k = w.kernel, c = w.channels, f = w.filters;
  const uint32_t lines_per_filter = (k * k + weights_per_line - 1) / weights_per_line;
  const uint32_t lines = lines_per_filter * f;

  // The fill starts channel ch at SRAM ch; the single-channel layouts only provide for channel 0.
  if (c != 1 && c != 3)
    throw std::runtime_error(fmt::format("HRC weights must have 1 or 3 channels, not {}.", c));

  std::vector<std::vector<uint32_t>> srams(3);
  Advance advance;
  if (c == 3) {
    for (auto& sram : srams) sram.assign(line_words * lines, 0);
    advance = Advance::ByChannel;
  } else if (k == 4) {
    srams[0].assign(line_words * ((lines + 1) / 2), 0);
    srams[1].assign(line_words * (lines / 2), 0);
    advance = Advance::ByPairs;
  } else if (k == 3) {
    if (lines > max_lines_kernel3)
      throw std::runtime_error("Too many lines on HRC weight formatting with the 3-kernel.");
    const uint32_t full = lines / 192;
    for (uint32_t i = 0; i < full; ++i) srams[i].assign(sram_wrap_words, 0);
    srams[full].assign(line_words * (lines % 192), 0);
    advance = Advance::ByWrap;
  } else if (k == 5 || k == 7 || k == 16) {
    const uint32_t q = line_words * (lines / 3);
    srams[0].assign(q + (lines % 3 != 0 ? line_words : 0), 0);
    srams[1].assign(q + (lines % 3 == 2 ? line_words : 0), 0);
    srams[2].assign(q, 0);
    advance = Advance::ByTriples;
  } else {
    throw std::runtime_error("Wrong kernel_size at HRC recording.");
  }

  for (uint32_t ch = 0; ch < c; ++ch) {
    Cursor cursor{0, ch};
    for (uint32_t filter = 0; filter < f; ++filter) {
      uint32_t j = 0;  // weights already in the current line
      for (uint32_t row = 0; row < k; ++row) {
        for (uint32_t col = 0; col < k; ++col) {
          std::vector<uint32_t>& sram = srams[cursor.sram];
          sram.at(cursor.offset + j / 4) |= byte_of(w.at(row, col, ch, filter)) << (8 * (j % 4));
          ++j;
          // With one channel and kernel 4 the second line of a filter (in SRAM 1) holds seven weights.
          const uint32_t capacity = (c == 1 && k == 4 && cursor.sram == 1) ? 7 : weights_per_line;
          if (j == capacity) {
            cursor.advance(advance);
            j = 0;
          }
        }
      }
      if (j != 0) cursor.advance(advance);  // every filter starts on a new line
    }
  }
  return srams;
}

std::vector<uint32_t> format_hrc_activations(const Dense& output_shift, const Dense& output_scales,
                                             const Dense* max_value_shift, const Dense* max_value,
                                             const Dense& bias_shift, const Dense& bias) {
  const size_t n = bias.size();
  std::vector<uint32_t> words;
  words.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    const int8_t shift = value_at<int8_t>(output_shift, i, "output_shift", n);
    const uint8_t scale = value_at<uint8_t>(output_scales, i, "output_scales", n);
    const uint32_t mvs = max_value_shift ? value_at<uint8_t>(*max_value_shift, i, "max_value_shift", n) : 0;
    const uint32_t m = max_value ? value_at<uint8_t>(*max_value, i, "max_value", n) : 0;
    const uint8_t bshift = value_at<uint8_t>(bias_shift, i, "bias_shift", n);
    const int8_t b = value_at<int8_t>(bias, i, "bias", n);

    const uint32_t shift_bits = signed6(shift);
    if (max_value_shift) unsigned5(mvs);
    const uint32_t bshift_bits = unsigned5(bshift);

    words.push_back(shift_bits | uint32_t{scale} << 6 | mvs << 14 | (m & 1) << 19);
    words.push_back((m >> 1) | bshift_bits << 7 | byte_of(b) << 12);
  }
  return words;
}

std::vector<uint32_t> format_hrc_lut_variables(const Dense& output_scales, const Dense& bias, const Dense& bias_shift,
                                               const Dense& output_shift, const Dense& activation_shift,
                                               const Dense& activation_scales) {
  const size_t n = bias.size();
  std::vector<uint32_t> words;
  words.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t scale = value_at<uint8_t>(output_scales, i, "output_scales", n);
    const int8_t b = value_at<int8_t>(bias, i, "bias", n);
    const uint8_t bshift = value_at<uint8_t>(bias_shift, i, "bias_shift", n);
    const int8_t shift = value_at<int8_t>(output_shift, i, "output_shift", n);
    const int8_t act_shift = value_at<int8_t>(activation_shift, i, "activation_shift", n);
    const uint8_t act_scale = value_at<uint8_t>(activation_scales, i, "activation_scales", n);

    // The bias shift is split: bits 0..3 in word 0, bit 4 alone in word 1.
    if (bshift > 31) panic("%u cannot fit in a %u-bit unsigned integer", unsigned{bshift} >> 4, 1u);
    const uint32_t shift_bits = signed6(shift);
    const uint32_t act_shift_bits = signed6(act_shift);

    words.push_back(uint32_t{scale} | byte_of(b) << 8 | (bshift & 0xFu) << 16);
    words.push_back((uint32_t{bshift} >> 4) | shift_bits << 1 | act_shift_bits << 7 | uint32_t{act_scale} << 13);
  }
  return words;
}

}  // namespace ovrix
