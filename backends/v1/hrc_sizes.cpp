#include "backends/v1/hrc_sizes.h"

#include <stdexcept>
#include <vector>

#include "backends/common/layer_queries.h"
#include "backends/common/sizes.h"
#include "backends/v1/hrc_conv.h"
#include "engine/engine.h"
#include "engine/variables.h"
#include "program/hrc_format.h"

namespace ovrix::v1 {

uint32_t get_hrc_sram_size(const Layer& layer) {
  uint64_t words = 0;
  for (const auto& line : format_hrc_weights(*layer_variable(layer, "weights"))) words += line.size();
  std::vector<uint32_t> thresholds;
  format_hrc_thresholds(&thresholds, *layer_variable(layer, "threshold"), *get_threshold_t16_from_act_steps(*layer_variable(layer, "act_step")));
  return round_for_xl(words + thresholds.size());
}

}  // namespace ovrix::v1
