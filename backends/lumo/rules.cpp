#include "backends/lumo/rules.h"

#include <fmt/format.h>

#include <optional>

#include "backends/common/rule_failures.h"
#include "backends/lumo/chain.h"
#include "backends/lumo/sram_sizes.h"
#include "engine/engine.h"
#include "engine/variables.h"

namespace ovrix::lumo {

namespace {

// Companion tensors must hold one value per channel they describe, and the projections the (rows,
// columns) of their channel counts, so that no formatter reads past a tensor.
MappingStatus check_variable_sizes(const Layer& layer) {
  MappingStatus status;
  const uint32_t s = uint32_t(param_or_zero(layer, "stateful_channels"));
  const uint32_t o = uint32_t(param_or_zero(layer, "output_channels"));
  const uint32_t c = first_input_shape(layer)[2];
  // An absent tensor is the recorder's to report; a present one must fit the channel counts.
  const auto expect = [&](const char* name, uint64_t count) {
    const auto shape = variable_shape(layer, name);
    if (!shape) return;
    const uint64_t got = shape->elements();
    if (got != count)
      status += layer_failure(layer, fmt::format("Variable {} must hold {} values (got {}).", name, count, got));
  };
  const auto expect_matrix = [&](const char* name, uint32_t rows, uint32_t cols) {
    const auto found = variable_shape(layer, name);
    if (!found) return;
    const Shape& shape = *found;
    if (!(shape.size() == 2 && shape[0] == rows && shape[1] == cols))
      status += layer_failure(layer, fmt::format("Variable {} must have the shape ({}, {}).", name, rows, cols));
  };
  expect_matrix("in_proj", s, c);
  expect_matrix("out_proj", o, s);
  for (const char* name : {"A_real", "A_imag", "internal_state_outputs_shift", "new_state_scale", "new_state_shift"})
    expect(name, s);
  for (const char* name : {"output_scales", "output_shift", "bias", "bias_shift"}) expect(name, o);
  expect("input_shift", c);
  return status;
}

MappingStatus check_recurrent_layer(const Layer& layer, uint32_t s0) {
  // The variables hold a value per channel, and one never set is made, full of zeros, when it is first
  // read: a layer whose channel counts no rule admits is refused on its parameters alone.
  const uint32_t s = uint32_t(param_or_zero(layer, "stateful_channels"));
  const uint32_t o = uint32_t(param_or_zero(layer, "output_channels"));
  const bool reads_variables = s <= TNPR_MAX_STATE_CHANNELS && o <= TNPR_MAX_OUTPUT_CHANNELS &&
                               first_input_shape(layer)[2] <= TNPR_MAX_INPUT_CHANNELS;
  MappingStatus status;
  if (reads_variables) {
    status += check_bitwidth(layer, 6, "new_state_shift", true);
    status += check_bitwidth(layer, 8, "new_state_scale", true);
    status += check_bitwidth(layer, 5, "internal_state_outputs_shift", true);
  }
  status += check_packed_input_row(layer);
  if (reads_variables) status += check_relu_max_values(layer);

  const uint32_t bits = layer.input_bits();
  if (starts_chain(layer)) {
    if (bits != 8 && bits != 16)
      status += layer_failure(
          layer, fmt::format("For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( {}).", bits));
  } else if (bits != 8) {
    status += layer_failure(layer,
                            fmt::format("For intermediate StatefulRecurrent layer, input must be 8-bit. got( {}).", bits));
  }

  if (s > TNPR_MAX_STATE_CHANNELS)
    status += layer_failure(layer,
                            fmt::format("State channels exceeds max limit of {} for TNP-R.", TNPR_MAX_STATE_CHANNELS));
  if (!is_pow2(s)) status += layer_failure(layer, fmt::format("State channels must be a power of 2. (got {}).", s));
  if (s != s0)
    status += layer_failure(
        layer, fmt::format("State channels must be the same for all stateful layers. Expected {}(got {}).", s0, s));

  if (o > TNPR_MAX_OUTPUT_CHANNELS)
    status += layer_failure(layer,
                            fmt::format("Output channels exceeds max limit of {} for TNP-R.", TNPR_MAX_OUTPUT_CHANNELS));
  const uint32_t sub = uint32_t(param_or_zero(layer, "subsample"));
  if (sub > TNPR_MAX_SUBSAMPLE)
    status += layer_failure(
        layer, fmt::format("Subsample ratio exceeds max limit of {} for TNP-R. (got {}).", TNPR_MAX_SUBSAMPLE, sub));

  const Layer* next = first_outbound_layer(layer);
  const uint32_t out_bits = layer.output_bits();
  if ((!next || !is_recurrent(*next)) && out_bits != 8 && out_bits != 32 && out_bits != 28)
    status += layer_failure(
        layer,
        fmt::format("For the last StatefulRecurrent layer, outputs must be 8-bit, 28-bit or 32-bit. (got {}).", out_bits));

  // Beyond the register and SRAM rules above: the tensors the recorder reads.
  if (reads_variables) {
    status += check_bitwidth(layer, TNPR_MAX_INPUT_SHIFT_BITS, "input_shift", true);
    status += check_variable_sizes(layer);
  }
  return status;
}

// The first element of a variable of a one-byte element type T, or nothing when the variable is absent.
template <class T>
std::optional<T> first_element(const Layer& layer, const char* name) {
  const auto t = variable(layer, name);
  if (!t) return std::nullopt;
  return t->at<T>({0});
}

}  // namespace

std::string too_many_layers_message() {
  return fmt::format("A model cannot have more that {} StatefulRecurrent layers.", TNPR_MAX_LAYERS);
}

MappingStatus check_packed_input_row(const Layer& layer) {
  if (!starts_chain(layer)) return MappingStatus::success();
  MappingStatus status;
  const uint64_t c = first_input_shape(layer)[2];
  const uint64_t b = layer.input_bits();
  const uint64_t v = b * c + 31;
  const uint64_t w = v / 32;
  if (!is_pow2(w))
    status += layer_failure(layer,
                      fmt::format("The packed input row (channels x input bits) must occupy a power-of-2 number of "
                                  "32-bit words (got {} words for {} channels at {}-bit).",
                                  w, c, b));
  if (v >= 64 && next_pow2(w) > 128)
    status += layer_failure(layer, fmt::format("The maximum input row size (input_channels * input_bits, padded to a "
                                         "power-of-2 number of 32-bit words) is {} bytes (got {}).",
                                         512, 4 * next_pow2(w)));
  const uint64_t max_channels = b == 8 ? 256 : 128;
  if (c > max_channels)
    status += layer_failure(layer, fmt::format("The maximum input channels for {}-bit input is {} (got {}).", b,
                                         max_channels, c));
  return status;
}

MappingStatus check_relu_max_values(const Layer& layer) {
  if (!layer.has_activation_type(ActivationType::ReLU)) return MappingStatus::success();
  MappingStatus status;
  const auto all_equal = [&](const char* name, uint8_t expected) {
    const auto t = variable(layer, name);
    if (!t) return;
    const uint8_t* v = t->data_as<uint8_t>();
    for (size_t i = 0; i < t->size(); ++i)
      if (v[i] != expected) {
        status += layer_failure(layer, fmt::format("When activation is ReLU, all {} elements must be {} (got {} at index {}).",
                                             name, expected, v[i], i));
        return;
      }
  };
  all_equal("max_value", 127);
  all_equal("max_value_shift", 31);
  return status;
}

MappingStatus check_post_processing_layer(const Layer& layer) {
  const LayerType type = layer_type(layer);
  if (type == LayerType::Dequantizer) return MappingStatus::success();
  MappingStatus status;
  if (type != LayerType::LumoPostProcessing)
    status += layer_failure(layer,
                      "Only a Dequantizer or a LumoPostProcessing is allowed a the end of a serie of StatefulRecurrent "
                      "layers.");
  const Shape in = first_input_shape(layer);
  if (in[2] != 1)
    status += layer_failure(layer, fmt::format("LumoPostProcessing layer input must have a single channel (got {}).", in[2]));
  if (in[1] < 3) status += layer_failure(layer, fmt::format("Timesteps dimension must be at least {} (got {}).", 3, in[1]));
  if (in[1] > 128)
    status += layer_failure(layer, fmt::format("Timesteps dimension must be at most {} (got {}).", 128, in[1]));

  // The recurrent layer whose outputs this layer post-processes.
  const auto& ins = layer.inbound_layers();
  const Layer* previous = nullptr;
  if (!ins.empty() && is_tnpr(*ins[0]))
    previous = ins[0].get();
  else if (ins.size() > 1)
    previous = ins[1].get();
  if (!previous || !is_recurrent(*previous)) {
    status += layer_failure(layer, "LumoPostProcessing layer must follow a StatefulRecurrent layer.");
  } else {
    if (const auto scale = first_element<uint8_t>(*previous, "output_scales"); scale && *scale != 1)
      status += layer_failure(*previous, fmt::format("Output scales must be 1 for the last StatefulRecurrent layer before a "
                                               "LumoPostProcessing layer (got {}).",
                                               *scale));
    if (const auto shift = first_element<int8_t>(*previous, "output_shift"); shift && *shift != 0)
      status += layer_failure(*previous, fmt::format("Output shift must be 0 for the last StatefulRecurrent layer before a "
                                               "LumoPostProcessing layer (got {}).",
                                               *shift));
  }
  if (type == LayerType::LumoPostProcessing) {
    const auto threshold = variable(layer, "threshold");
    if (!threshold || threshold->size() == 0)
      status += layer_failure(layer, "LumoPostProcessing layer needs a threshold value.");
    for (const char* name : {"input_scales", "input_shift"}) {
      const auto t = variable(layer, name);
      if (t && t->size() != in[2])
        status += layer_failure(layer, fmt::format("Variable {} must hold {} values (got {}).", name, in[2], t->size()));
    }
  }
  return status;
}

MappingStatus check_tnp_r_constraints(const HardwareConstraints& constraints, const Layer& layer) {
  MappingStatus result;
  uint32_t s0 = 0;
  if (is_recurrent(layer))
    s0 = uint32_t(param_or_zero(layer, "stateful_channels"));
  else
    result += layer_failure(layer, "A chain of TNP-R layers must start with a StatefulRecurrent layer.");

  uint32_t count = 0;
  for (const Layer* p = &layer; p && !result.failed; p = first_outbound_layer(*p)) {
    if (is_tnpr(*p)) ++count;
    if (is_recurrent(*p)) {
      result += check_recurrent_layer(*p, s0);
    } else {
      result += check_post_processing_layer(*p);
      if (!p->outbound_layers().empty())
        result += layer_failure(*p, "Dequantizer/LumoPostProcessing must be the last layer.");
    }
  }
  if (count > TNPR_MAX_LAYERS) result += MappingStatus("", too_many_layers_message());

  const auto check_size = [&](const char* sram, uint32_t limit, const char* word, uint32_t size) {
    if (size > limit)
      result += layer_failure(layer, fmt::format("{} size exceeds max limit of {} {} words for TNP-R (got {}).", sram, limit,
                                           word, size));
  };
  check_size("EVSRAM", constraints.evsram_32b_size, "32-bit", get_tnpr_evsram_32b_size(layer));
  check_size("STSRAM", constraints.stsram_32b_size, "32-bit", get_tnpr_stsram_32b_size(layer));
  check_size("FSRAM", constraints.fsram_64b_size, "64-bit", get_tnpr_fsram_64b_size(layer));
  check_size("TSRAM", constraints.tsram_51b_size, "51-bit", get_tnpr_tsram_51b_size(layer));
  return result;
}

}  // namespace ovrix::lumo
