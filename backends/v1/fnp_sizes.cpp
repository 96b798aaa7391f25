#include "backends/v1/fnp_sizes.h"

#include <stdexcept>

#include "backends/common/layer_queries.h"
#include "backends/common/sizes.h"
#include "engine/variables.h"

namespace ovrix::v1 {

uint64_t fnp_neuron_words(uint64_t inputs, int b) {
  return ceil_div(inputs, 32) * fnp_weight_planes(b) * fnp_weight_sets(b) + 4;
}

uint32_t fnp_sram_size(const Shape& weights_shape, int b) {
  if (weights_shape.size() < 2) throw std::invalid_argument("FNP weights need at least two dimensions.");
  return size32(fnp_neuron_words(weights_shape[1], b) * weights_shape[0]);
}

uint32_t get_fnp_sram_size(const Layer& layer) {
  const auto weights = layer_variable(layer, "weights");
  return round_for_xl(fnp_sram_size(weights->shape(), layer_param(layer, "weights_bits")));
}

uint32_t get_fnp_input_size(const Layer& layer) {
  const Shape input = first_input_shape(layer);
  return size32(ceil_div(uint64_t{input[0]} * input[1] * input[2], 32));
}

}  // namespace ovrix::v1
