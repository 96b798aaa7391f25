#include "backends/v2/dense_rules.h"

#include <fmt/format.h>

#include <string>

#include "backends/v2/cnp_sizes.h"
#include "backends/v2/conv_recording.h"
#include "backends/v2/fnp_format.h"
#include "backends/v2/rules.h"

namespace ovrix::v2 {

namespace {

// The FNP input memory in bytes, whatever the layout; the layout chooser refuses beyond it.
constexpr uint32_t FNP_INPUT_LIMIT_BYTES = 2048;

// Whether the input layout the layer gets suits the layer that feeds it: the flat layout takes data
// from the DMA or another FNP, the row layouts take rows from a CNP, a TNP-B or (packed rows) the HRC.
bool layout_fits_inbound(InputPadding mode, const Layer* previous) {
  const auto targets = [previous](hw::TargetKind kind) { return previous != nullptr && is_kind(*previous, kind); };
  switch (mode) {
    case INPUT_PADDING_FLAT:
      return previous == nullptr || targets(hw::TargetKind::None) || targets(hw::TargetKind::FNP);
    case INPUT_PADDING_PACKED_ROWS:
      return targets(hw::TargetKind::CNP) || targets(hw::TargetKind::TNP_B) || targets(hw::TargetKind::HRC);
    case INPUT_PADDING_ALIGNED_ROWS:
      return targets(hw::TargetKind::CNP) || targets(hw::TargetKind::TNP_B);
    default: return false;
  }
}

}  // namespace

MappingStatus check_fnp_constraints(const HardwareConstraints& constraints, const Layer& layer,
                                    const Layer* previous) {
  RuleFailures rules(layer);
  const auto fail = [&](const std::string& message) { rules.fail(message); };
  const int32_t in = layer.input_bits();
  const int32_t out = layer.output_bits();
  const bool activation = layer.activation_enabled();
  const int32_t weight_bits = layer_param(layer, "weights_bits");
  const bool flatten = previous == nullptr;

  if (in != 4 && in != 8) fail("Input should be 4-bit or 8-bit.");
  if (out != 4 && out < 8) fail("Output bits should be 4, 8 or > 8.");
  if (!activation && out != 8) {
    if (out != 28 && out != 32) fail("Without activation output bitwidth should be 8, 28 or 32.");
  } else if (activation && out == 4) {
    if (layer_param(layer, "activation") != static_cast<int32_t>(ActivationType::ReLU))
      fail("4-bit activation is not supported with LUT.");
  } else if (activation && out != 8) {
    fail("With activation output bitwidth should be 4 or 8.");
  }

  const InputPadding mode = get_fnp_supported_padding(layer, flatten);
  if (!layout_fits_inbound(mode, previous))
    fail(fmt::format("Input dimensions are too large to fit in a FNP. The maximum value is {}.",
                     FNP_INPUT_LIMIT_BYTES));

  if (weight_bits != 4 && weight_bits != 8)
    fail("Weights bitwidth should be 4-bit or 8-bit.");
  else if (weight_bits == 4 && out == 8)
    fail("With 4-bit weights, output must be 4-bit or 32-bit.");
  if (in < weight_bits) fail("Input bits should be >= weights bits.");
  if (!rules.passed()) return rules.status();

  // The memories, once the widths and the layout are known to be the FNP's.
  const Shape dim = get_fnp_input_dim(layer, flatten);
  const uint32_t shift = fnp_input_shift_24b_size(*required_variable(layer, "input_shift"), dim, mode,
                                                  static_cast<uint8_t>(in));
  if (constraints.input_shift_max_24b_words < shift)
    fail(fmt::format("Input shift exceeds memory. Maximum size is {} bytes. (got {} bytes).",
                     uint64_t{constraints.input_shift_max_24b_words} * 3, uint64_t{shift} * 3));
  const uint32_t size = get_fnp_input_size(layer, flatten);
  if (constraints.fnp_input_max_bytes < size)
    fail(fmt::format("Input size exceeds memory. Maximum size is {} bytes. (got {} bytes).",
                     uint64_t{constraints.fnp_input_max_bytes} * 4, uint64_t{size} * 4));
  return rules.status();
}

}  // namespace ovrix::v2
