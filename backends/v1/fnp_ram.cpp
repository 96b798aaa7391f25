#include "backends/v1/fnp_ram.h"

#include <fmt/format.h>

#include <cstdlib>
#include <limits>
#include <string>

#include "backends/common/register_fields.h"
#include "backends/common/sizes.h"
#include "backends/v1/fnp_error.h"
#include "backends/v1/fnp_sizes.h"

namespace ovrix::v1 {

namespace {

constexpr RegDetail FNP_HEADER_VALUE{0, 20};  // threshold (signed) and step (unsigned) words
constexpr uint32_t NO_THRESHOLD = 0x80000;
constexpr uint32_t MAX_STEP = 0xFFFFF;

}  // namespace

FnpLayout FnpLayout::of(const Shape& weights_shape, int b) {
  if (weights_shape.size() < 2) throw FnpError("weights need at least two dimensions.");
  if (b < 1 || b > 8) throw FnpError(fmt::format("weights_bits should be between 1 and 8. Receives {}.", b));
  FnpLayout l;
  l.neurons = weights_shape[0];
  l.inputs = weights_shape[1];
  l.planes = fnp_weight_planes(b);
  const uint64_t set_words = ceil_div(l.inputs, 32) * l.planes;
  const uint64_t block = fnp_neuron_words(l.inputs, b);
  if (block * l.neurons > std::numeric_limits<uint32_t>::max())
    throw FnpError(fmt::format("the weight memory of {} neurons of {} inputs does not fit in 32-bit addresses.",
                               l.neurons, l.inputs));
  l.set_words = static_cast<uint32_t>(set_words);
  l.block_words = static_cast<uint32_t>(block);
  return l;
}

std::vector<uint32_t> format_fnp_ram(const Dense& weights, const Dense& threshold, const Dense& step, int b,
                                     bool with_thresholds) {
  const FnpLayout layout = FnpLayout::of(weights.shape(), b);
  const int8_t* w = weights.data_as<int8_t>();
  const std::vector<uint32_t> strides = weights.strides();
  std::vector<uint32_t> ram(layout.words(), 0);
  const uint32_t max_magnitude = (1u << layout.planes) - 1;
  for (uint32_t k = 0; k < layout.neurons; ++k) {
    for (uint32_t i = 0; i < layout.inputs; ++i) {
      const int value = w[size_t{k} * strides[0] + size_t{i} * strides[1]];
      if (value == 0) continue;
      const uint32_t magnitude = static_cast<uint32_t>(std::abs(value));
      if (magnitude > max_magnitude || (value < 0 && b == 1))
        throw FnpError(
            fmt::format("weight {} of neuron {} at input {} does not fit in {}-bit weights.", value, k, i, b));
      for (uint32_t p = 0; p < layout.planes; ++p)
        if ((magnitude >> p) & 1u) ram[layout.word(k, i, p, value < 0)] |= 1u << (i % 32);
    }
  }
  const int32_t* thresholds = with_thresholds ? threshold.data_as<int32_t>() : nullptr;
  const int32_t* steps = with_thresholds ? step.data_as<int32_t>() : nullptr;
  for (uint32_t k = 0; k < layout.neurons; ++k) {
    const size_t s = size_t{k} * layout.block_words;
    if (!with_thresholds) {
      set_field(&ram[s], FNP_HEADER_VALUE, NO_THRESHOLD);
      continue;
    }
    if (k >= threshold.size() || k >= step.size())
      throw FnpError(fmt::format("threshold and act_step need one value per neuron ({}).", layout.neurons));
    set_field(&ram[s], FNP_HEADER_VALUE, signed_field_value(thresholds[k], 20));
    const int32_t q = steps[k];
    if (static_cast<uint32_t>(q) > MAX_STEP)
      throw FnpError(fmt::format("act_step should be between 0 and 65535. Receives act_step {}.", q / 16));
    set_field(&ram[s + 1], FNP_HEADER_VALUE, static_cast<uint32_t>(q));
  }
  return ram;
}

}  // namespace ovrix::v1
