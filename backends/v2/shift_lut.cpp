#include "backends/v2/shift_lut.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backends/v2/np_registers.h"
#include "mapping/host_hooks.h"

namespace ovrix::v2 {

namespace {

// Fields of a merge byte.
constexpr RegDetail MERGE_SHIFT_DIFFERENCE{0, 4};
constexpr RegDetail MERGE_SHIFT_OUTPUT{4, 3};
constexpr RegDetail MERGE_SHIFT_A_NOT_ABOVE_B{7, 1};

// Fields of a CNP lookup-table word.
constexpr RegDetail LUT_EVEN_ENTRY{0, 14};
constexpr RegDetail LUT_ODD_ENTRY{16, 14};

constexpr uint32_t CNP_LUT_WORDS = 1024;
constexpr uint32_t HRC_LUT_WORDS = 2048;

}  // namespace

std::vector<uint32_t> pack_input_shift(std::span<const uint8_t> shifts) {
  std::vector<uint32_t> words(2 * ((shifts.size() + 7) / 8), 0);
  for (size_t i = 0; i < shifts.size(); ++i) words[i / 4] |= uint32_t{shifts[i]} << (8 * (i % 4));
  return words;
}

std::vector<uint32_t> format_input_shift(const Dense& shifts, uint32_t first, uint32_t count) {
  const uint8_t* data = shifts.data_as<uint8_t>();
  const size_t size = shifts.size();
  // count 0 stands for the tensor's whole element count, wherever the range starts.
  const uint64_t n = count == 0 ? size : count;
  if (uint64_t{first} + n > size)
    throw std::invalid_argument(fmt::format("Input shifts {} to {} (excluded) are beyond the tensor of {} elements.",
                                            first, first + n, size));
  return pack_input_shift(std::span<const uint8_t>(data + first, n));
}

std::vector<uint32_t> format_input_shift(const Dense& shifts) { return format_input_shift(shifts, 0, 0); }

uint8_t merge_shift_byte(uint8_t a, uint8_t b, int8_t o) {
  const int32_t s = int32_t{std::max(a, b)} + o;
  const uint32_t s_code = signed_field_value(s, 3);
  uint32_t byte = 0;
  set_field(&byte, MERGE_SHIFT_DIFFERENCE, a > b ? a - b : b - a);
  set_field(&byte, MERGE_SHIFT_OUTPUT, s_code);
  set_field(&byte, MERGE_SHIFT_A_NOT_ABOVE_B, a <= b ? 1 : 0);
  return static_cast<uint8_t>(byte);
}

std::vector<uint32_t> format_merge_layer_shift(const std::shared_ptr<const Dense>& a_shift,
                                               const std::shared_ptr<const Dense>& b_shift,
                                               const std::shared_ptr<const Dense>& output_shift, uint32_t start,
                                               uint32_t count) {
  if (!a_shift || !b_shift || !output_shift)
    throw std::invalid_argument("Merge layer shifts need the tensors a_shift, b_shift and output_shift.");
  std::vector<uint32_t> words((size_t{count} + 3) / 4, 0);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t c = start + i;
    const uint8_t byte = merge_shift_byte(a_shift->at<uint8_t>({c}), b_shift->at<uint8_t>({c}),
                                          output_shift->at<int8_t>({c}));
    words[i / 4] |= uint32_t{byte} << (8 * (i % 4));
  }
  return words;
}

uint32_t lut_entry(int32_t value) { return signed_field_value(value, 14); }

std::vector<uint32_t> format_lut_values_for_cnp(const Dense* lut) {
  if (lut == nullptr) throw std::invalid_argument("A lookup table is needed.");
  if (lut->size() / 2 != CNP_LUT_WORDS) throw std::runtime_error("Wrong size for LUT.");
  const int32_t* values = lut->data_as<int32_t>();
  std::vector<uint32_t> words(CNP_LUT_WORDS, 0);
  for (uint32_t k = 0; k < CNP_LUT_WORDS; ++k) {
    set_field(&words[k], LUT_EVEN_ENTRY, lut_entry(values[2 * k]));
    set_field(&words[k], LUT_ODD_ENTRY, lut_entry(values[2 * k + 1]));
  }
  return words;
}

std::vector<uint32_t> format_lut_values_for_hrc(const Dense* lut) {
  if (lut == nullptr) throw std::invalid_argument("A lookup table is needed.");
  if (lut->size() != HRC_LUT_WORDS) throw std::runtime_error("Wrong size for LUT.");
  const int32_t* values = lut->data_as<int32_t>();
  std::vector<uint32_t> words(HRC_LUT_WORDS, 0);
  for (uint32_t k = 0; k < HRC_LUT_WORDS; ++k) words[k] = lut_entry(values[k]);
  return words;
}

}  // namespace ovrix::v2
