#include "backends/lumo/fsram_format.h"

#include <algorithm>

#include "backends/common/sizes.h"
#include "backends/lumo/sram_sizes.h"

namespace ovrix::lumo {

std::vector<uint32_t> format_fsram_matrix(const Dense& weights) {
  const Shape shape = weights.shape();
  const uint64_t rows = shape.size() >= 2 ? shape[0] : 0;
  const uint64_t cols = shape.size() >= 2 ? shape[1] : 0;
  const uint64_t blocks = ceil_div(cols, 8);
  // The FSRAM size of a chain counts these words too.
  std::vector<uint32_t> words(2 * fsram_matrix_words(shape), 0);
  const int8_t* data = weights.data_as<int8_t>();
  if (words.empty()) return words;
  const std::vector<uint32_t> strides = weights.strides();
  for (uint64_t b = 0; b < blocks; ++b)
    for (uint64_t r = 0; r < rows; ++r) {
      // Byte j of 64-bit word (b R + r): bits 8j .. 8j+7, the low 32-bit word first.
      const uint64_t word = b * rows + r;
      for (uint64_t c = 8 * b; c < std::min(8 * b + 8, cols); ++c) {
        const uint8_t v = static_cast<uint8_t>(data[r * strides[0] + c * strides[1]]);
        const uint64_t j = c - 8 * b;
        words[2 * word + j / 4] |= uint32_t{v} << (8 * (j % 4));
      }
    }
  return words;
}

void format_fsram_weights(std::vector<uint32_t>* out, const Dense& in_proj, const Dense& out_proj) {
  const std::vector<uint32_t> a = format_fsram_matrix(in_proj);
  const std::vector<uint32_t> b = format_fsram_matrix(out_proj);
  out->insert(out->end(), a.begin(), a.end());
  out->insert(out->end(), b.begin(), b.end());
}

}  // namespace ovrix::lumo
