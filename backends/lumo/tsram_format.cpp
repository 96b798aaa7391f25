#include "backends/lumo/tsram_format.h"

#include <fmt/format.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "backends/common/register_fields.h"
#include "backends/lumo/sram_sizes.h"
#include "backends/lumo/sram_word.h"
#include "mapping/host_hooks.h"

namespace ovrix::lumo {

namespace {

// State-update word.
constexpr RegDetail STATE_A_REAL{0, 16};
constexpr RegDetail STATE_A_IMAG{16, 16};
constexpr RegDetail STATE_OUTPUTS_SHIFT{32, 5};
constexpr RegDetail STATE_NEW_SCALE{37, 8};
constexpr RegDetail STATE_NEW_SHIFT{45, 6};
// Output word.
constexpr RegDetail OUTPUT_SCALE{0, 16};
constexpr RegDetail OUTPUT_SHIFT{16, 6};
constexpr RegDetail OUTPUT_BIAS{22, 8};
constexpr RegDetail OUTPUT_BIAS_SHIFT{30, 5};
// Post-processing output word.
constexpr RegDetail POST_SCALE{0, 16};
constexpr RegDetail POST_SHIFT{16, 6};
constexpr RegDetail POST_THRESHOLD{22, 16};
// Input-shift word: 3-bit slots from bit 0.
constexpr uint32_t INPUT_SHIFT_SLOT_BITS = 3;

uint32_t check_unsigned(uint32_t v, uint32_t width) {
  if (v > (1u << width) - 1) panic("%u cannot fit in a %u-bit unsigned integer", v, width);
  return v;
}

// Every tensor a formatter reads per entry must hold at least the entries it writes.
void require_entries(const Dense& t, const char* what, size_t n) {
  if (t.size() < n)
    throw std::runtime_error(
        fmt::format("TSRAM formatting: {} holds {} values, fewer than the {} entries to write.", what, t.size(), n));
}

size_t first_dim(const Dense& t) { return t.shape().size() ? t.shape()[0] : 0; }

}  // namespace

void format_tsram_state_updating_var(std::vector<uint32_t>* out, const Dense& first, const Dense& second,
                                     const Dense& internal_state_outputs_shift, const Dense& new_state_scale,
                                     const Dense& new_state_shift) {
  const size_t n = first_dim(second);
  const int16_t* a_imag = first.data_as<int16_t>();
  const int16_t* a_real = second.data_as<int16_t>();
  const int8_t* outputs_shift = internal_state_outputs_shift.data_as<int8_t>();
  const uint8_t* scale = new_state_scale.data_as<uint8_t>();
  const int8_t* shift = new_state_shift.data_as<int8_t>();
  require_entries(first, "the first tensor", n);
  require_entries(second, "the second tensor", n);
  require_entries(internal_state_outputs_shift, "internal_state_outputs_shift", n);
  require_entries(new_state_scale, "new_state_scale", n);
  require_entries(new_state_shift, "new_state_shift", n);
  std::vector<uint32_t> words;
  words.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    uint64_t w = 0;
    put_sram_field(&w, STATE_A_REAL, static_cast<uint16_t>(a_real[i]));
    put_sram_field(&w, STATE_A_IMAG, static_cast<uint16_t>(a_imag[i]));
    const uint32_t os = signed_field_value(outputs_shift[i], STATE_OUTPUTS_SHIFT.width);
    const uint32_t ns = signed_field_value(shift[i], STATE_NEW_SHIFT.width);
    put_sram_field(&w, STATE_OUTPUTS_SHIFT, os);
    put_sram_field(&w, STATE_NEW_SCALE, scale[i]);
    put_sram_field(&w, STATE_NEW_SHIFT, ns);
    append_sram_word(&words, w);
  }
  out->insert(out->end(), words.begin(), words.end());
}

void format_tsram_output_var(std::vector<uint32_t>* out, const Dense& scales, const Dense& shift, const Dense& bias,
                             const Dense& bias_shift) {
  const size_t n = first_dim(scales);
  if (scales.type() != TensorType::uint8 && scales.type() != TensorType::uint16)
    throw std::runtime_error(
        "Error when formattting output scale : Unsupported output scales type in TSRAM formatting.");
  const int8_t* shifts = shift.data_as<int8_t>();
  const int8_t* biases = bias.data_as<int8_t>();
  const uint8_t* bias_shifts = bias_shift.data_as<uint8_t>();
  require_entries(scales, "the output scales", n);
  require_entries(shift, "the output shift", n);
  require_entries(bias, "bias", n);
  require_entries(bias_shift, "bias_shift", n);
  const auto scale_at = [&](size_t i) -> uint32_t {
    return scales.type() == TensorType::uint16 ? scales.data_as<uint16_t>()[i] : scales.data_as<uint8_t>()[i];
  };
  std::vector<uint32_t> words;
  words.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t s = signed_field_value(shifts[i], OUTPUT_SHIFT.width);
    const uint32_t bs = check_unsigned(bias_shifts[i], OUTPUT_BIAS_SHIFT.width);
    uint64_t w = 0;
    put_sram_field(&w, OUTPUT_SCALE, scale_at(i));
    put_sram_field(&w, OUTPUT_SHIFT, s);
    put_sram_field(&w, OUTPUT_BIAS, static_cast<uint8_t>(biases[i]));
    put_sram_field(&w, OUTPUT_BIAS_SHIFT, bs);
    append_sram_word(&words, w);
  }
  out->insert(out->end(), words.begin(), words.end());
}

void format_tsram_post_processing_output_var(std::vector<uint32_t>* out, uint16_t timesteps, uint16_t threshold) {
  // The logarithm of 0 has no value to truncate.
  if (timesteps == 0) throw std::runtime_error("The post-processing timesteps must be at least 1 (got 0).");
  const auto log = static_cast<int8_t>(std::trunc(std::log2(static_cast<double>(timesteps))));
  const uint32_t shift = signed_field_value(-int32_t{log}, POST_SHIFT.width);
  uint64_t w = 0;
  put_sram_field(&w, POST_SCALE, 1);
  put_sram_field(&w, POST_SHIFT, shift);
  put_sram_field(&w, POST_THRESHOLD, threshold);
  append_sram_word(out, w);
}

void format_tsram_input_shift(std::vector<uint32_t>* out, const Dense& input_shift, uint8_t input_bits) {
  const size_t n = first_dim(input_shift);
  const size_t per_word = input_bits == 8 ? 8 : 4;
  const uint32_t copies = input_bits == 8 ? 1 : input_bits / 8;
  const uint8_t* shifts = input_shift.data_as<uint8_t>();
  require_entries(input_shift, "input_shift", n);
  // The TSRAM size of a chain counts these words too.
  std::vector<uint64_t> words(tsram_input_shift_words(input_bits, n), 0);
  for (size_t i = 0; i < n; ++i) {
    // A shift above 7 would spill into the next channel's slot.
    const uint32_t v = check_unsigned(shifts[i], INPUT_SHIFT_SLOT_BITS);
    const uint32_t k = static_cast<uint32_t>(i % per_word);
    for (uint32_t m = 0; m < copies; ++m) {
      const uint32_t slot = k * copies + m;
      // Slots past bit 63 (input widths above 16 bits) do not exist in the word and are dropped.
      if (INPUT_SHIFT_SLOT_BITS * (slot + 1) <= 64)
        put_sram_field(&words[i / per_word], RegDetail{INPUT_SHIFT_SLOT_BITS * slot, INPUT_SHIFT_SLOT_BITS}, v);
    }
  }
  for (uint64_t w : words) append_sram_word(out, w);
}

void format_tsram_post_processing_input_shift(std::vector<uint32_t>* out) { append_sram_word(out, 0); }

}  // namespace ovrix::lumo
