#include "backends/v1/cnp_thresholds.h"

#include <fmt/format.h>

#include <string>
#include <utility>

#include "backends/v1/cnp_error.h"
#include "mapping/host_hooks.h"

namespace ovrix::v1 {

namespace {

constexpr uint32_t kNoThreshold = 0x80000;  // the lowest 20-bit threshold: every potential fires
constexpr uint32_t kMaxStep16 = 0xFFFFF;

}  // namespace

std::vector<uint32_t> format_cnp_thresholds(const Dense& threshold, const Dense& threshold_t16, bool activation,
                                            uint32_t first_filter, uint32_t count) {
  std::vector<uint32_t> words(2 * size_t{count}, 0);
  (void)threshold.data_as<int32_t>();
  (void)threshold_t16.data_as<int32_t>();
  for (const auto& [tensor, name] : {std::pair{&threshold, "threshold"}, std::pair{&threshold_t16, "act_step"}})
    if (uint64_t{first_filter} + count > tensor->size())
      throw CnpError(fmt::format("filters {} to {} are outside the {} values of \"{}\".", first_filter,
                                 uint64_t{first_filter} + count - 1, tensor->size(), name));
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t f = first_filter + k;
    if (activation) {
      const int32_t t = threshold.at<int32_t>({f});
      if (t < -524288 || t > 524287) panic("%d cannot fit in a %d-bit signed integer", t, 20);
      words[2 * k] = static_cast<uint32_t>(t) & 0xFFFFF;
    } else {
      words[2 * k] = kNoThreshold;
    }
    const int32_t step = threshold_t16.at<int32_t>({f});
    if (static_cast<uint32_t>(step) > kMaxStep16)
      throw CnpError(fmt::format("act_step should be between 0 and 65535. Receives act_step {}.", step / 16));
    words[2 * k + 1] = static_cast<uint32_t>(step);
  }
  return words;
}

}  // namespace ovrix::v1
