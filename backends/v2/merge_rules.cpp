// Rules of the merge layers (Add, Concatenate), which run on skip DMA and the CNP layer after them.
#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>

#include "backends/v2/rules.h"
#include "mapping/graph_utils.h"

namespace ovrix::v2 {

namespace {

// Largest difference of the two input shifts of an Add, and range of the output shift applied to
// the larger one.
constexpr int32_t ADD_MAX_INPUT_SHIFT = 15;
constexpr int32_t ADD_MIN_OUTPUT_SHIFT = -4;
constexpr int32_t ADD_MAX_OUTPUT_SHIFT = 3;

// "Must be followed by a merge layer.": some outbound layer runs on a CNP.
bool followed_by_cnp(const Layer& layer) {
  for (const auto& out : layer.outbound_layers())
    if (out && is_kind(*out, hw::TargetKind::CNP)) return true;
  return false;
}

// The first inbound layer that is neither a CNP layer nor a merge layer, if any.
bool has_foreign_inbound(const Layer& layer) {
  for (const auto& in : layer.inbound_layers())
    if (in && !is_kind(*in, hw::TargetKind::CNP) && !is_kind(*in, hw::TargetKind::SkipDma)) return true;
  return false;
}

bool has_duplicate_inbound(const Layer& layer) {
  std::set<const Layer*> seen;
  for (const auto& in : layer.inbound_layers())
    if (!seen.insert(in.get()).second) return true;
  return false;
}

// Rules 1 and 2 of both merge kinds (followers and inbound kinds).
void check_merge_neighbours(const Layer& layer, RuleFailures* rules) {
  if (!followed_by_cnp(layer)) rules->fail("Must be followed by a merge layer.");
  if (has_foreign_inbound(layer)) rules->fail("Inbounds must be of types Conv, Add or Concat.");
}

}  // namespace

MappingStatus check_add_constraints(const Layer& layer) {
  RuleFailures rules(layer);
  if (layer.output_bits() != 8) rules.fail("Output must be 8-bit.");

  const auto variables = layer.variables();
  const auto a_shift = variables ? variables->get("a_shift") : nullptr;
  if (a_shift) {
    const auto b_shift = variables->get("b_shift");
    const auto output_shift = variables->get("output_shift");
    if (!b_shift || !output_shift)
      throw std::invalid_argument(fmt::format("Layer '{}' has no variable \"{}\".",
                                              layer.get_name(), (b_shift ? "output_shift" : "b_shift")));
    const uint32_t channels = a_shift->shape().size() > 0 ? a_shift->shape()[0] : 0;
    for (uint32_t c = 0; c < channels; ++c) {
      const int32_t a = a_shift->at<uint8_t>({c});
      const int32_t b = b_shift->at<uint8_t>({c});
      const int32_t o = output_shift->at<int8_t>({c});
      if (std::abs(a - b) > ADD_MAX_INPUT_SHIFT)
        rules.fail(fmt::format("This model cannot be mapped in hardware, Add input shift is out of range. The maximum "
                               "is {}.",
                               ADD_MAX_INPUT_SHIFT));
      const int32_t s = std::max(a, b) + o;
      if (s < ADD_MIN_OUTPUT_SHIFT || s > ADD_MAX_OUTPUT_SHIFT)
        rules.fail(fmt::format("This model cannot be mapped in hardware, Add output shift is out of range. Should be "
                               "in [{}, {}].",
                               ADD_MIN_OUTPUT_SHIFT, ADD_MAX_OUTPUT_SHIFT));
    }
  }
  check_merge_neighbours(layer, &rules);
  if (has_duplicate_inbound(layer)) return layer_failure(layer, "Add inbounds must come from different layers.");
  return rules.status();
}

MappingStatus check_concatenate_constraints(const Layer& layer) {
  RuleFailures rules(layer);
  check_merge_neighbours(layer, &rules);
  if (has_duplicate_inbound(layer)) return layer_failure(layer, "Concatenate inbounds must come from different layers.");
  return rules.status();
}

}  // namespace ovrix::v2
