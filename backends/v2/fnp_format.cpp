#include "backends/v2/fnp_format.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "backends/common/sizes.h"
#include "backends/v2/cnp_sizes.h"
#include "backends/v2/conv_recording.h"
#include "backends/v2/shift_lut.h"
#include "engine/dma.h"

namespace ovrix::v2 {

namespace {

// Two header words open every neuron's block.
constexpr uint64_t NEURON_HEADER_WORDS = 2;
constexpr uint64_t WORD_BITS = 32;
[[noreturn]] void unsupported_padding() { throw std::runtime_error("Unsupported padding."); }

void check_mode(InputPadding mode) {
  if (mode != INPUT_PADDING_FLAT && mode != INPUT_PADDING_PACKED_ROWS && mode != INPUT_PADDING_ALIGNED_ROWS)
    unsupported_padding();
}

// The row layouts place a whole number of input values in each byte and word; the aligned rows are
// made for 8-bit data only.
void check_row_bits(InputPadding mode, uint8_t bits) {
  if (mode == INPUT_PADDING_PACKED_ROWS && (bits == 0 || 8 % bits != 0))
    throw std::invalid_argument(fmt::format("The packed-rows FNP input layout cannot hold {}-bit input values.", bits));
  if (mode == INPUT_PADDING_ALIGNED_ROWS && bits != 8)
    throw std::invalid_argument(fmt::format("The aligned-rows FNP input layout needs 8-bit input values, not {}-bit.",
                                            bits));
}

// Bytes of one input row of `width` values, packed.
uint64_t row_bytes(uint8_t bits, uint64_t width) { return ceil_div(uint64_t{bits} * width, 8); }

uint64_t input_values(const Shape& dim) { return uint64_t{dim[0]} * dim[1] * dim[2]; }

// Where each input value lies in a layout, counted in value slots: the flat layout has one slot per
// value; the row layouts visit y, then c, then x, pad every row of d0 values with row_pad slots and
// every y group of d2 rows with group_pad slots.
struct SlotLayout {
  InputPadding mode;
  uint64_t d0, d1, d2;
  uint64_t row_pad = 0;
  uint64_t group_pad = 0;

  SlotLayout(const Shape& dim, InputPadding m, uint8_t input_bits) : mode(m), d0(dim[0]), d1(dim[1]), d2(dim[2]) {
    check_mode(mode);
    if (mode == INPUT_PADDING_FLAT) return;
    check_row_bits(mode, input_bits);
    if (mode == INPUT_PADDING_PACKED_ROWS) {
      const uint64_t per_byte = 8 / input_bits;
      const uint64_t per_word = WORD_BITS / input_bits;
      row_pad = round_up(d0, per_byte) - d0;
      const uint64_t group = round_up(d0, per_byte) * d2;
      group_pad = round_up(group, per_word) - group;
    } else {
      row_pad = round_up(d0, 4) - d0;  // one byte per value: rows padded to 4 bytes
    }
  }

  // Slots of the whole layout.
  uint64_t slots() const {
    if (mode == INPUT_PADDING_FLAT) return d0 * d1 * d2;
    return ((d0 + row_pad) * d2 + group_pad) * d1;
  }

  // Calls fn(slot, flat input index) for every input value, in layout order.
  template <class Fn>
  void for_each(Fn fn) const {
    if (mode == INPUT_PADDING_FLAT) {
      // Every input value counts, whatever the shape: a flat layout of an unflattened input keeps
      // all d0 * d1 * d2 values.
      const uint64_t n = d0 * d1 * d2;
      for (uint64_t i = 0; i < n; ++i) fn(i, i);
      return;
    }
    uint64_t slot = 0;
    for (uint64_t y = 0; y < d1; ++y) {
      for (uint64_t c = 0; c < d2; ++c) {
        for (uint64_t x = 0; x < d0; ++x) fn(slot++, x * (d1 * d2) + y * d2 + c);
        slot += row_pad;
      }
      slot += group_pad;
    }
  }
};

// A per-neuron variable with at least `count` values.
std::shared_ptr<Dense> per_neuron(const Layer& layer, const char* name, uint64_t count, bool required) {
  auto tensor = required ? required_variable(layer, name) : optional_variable(layer, name);
  if (tensor && tensor->size() < count)
    throw std::invalid_argument(fmt::format("Layer '{}' has {} values of \"{}\" for {} neurons.",
                                            layer.get_name(), tensor->size(), name, count));
  return tensor;
}

uint32_t neuron_count(const Dense& weights) {
  const Shape shape = weights.shape();
  if (shape.size() != 2)
    throw std::invalid_argument(fmt::format("Dense weights must have 2 dimensions (input, neuron), not {}.",
                                            shape.size()));
  return shape[1];
}

}  // namespace

Shape get_fnp_input_dim(const Layer& layer, bool flatten) {
  const Shape input = first_input_shape(layer);
  if (!flatten) return input;
  const uint64_t n = input_values(input);
  if (n > std::numeric_limits<uint32_t>::max())
    throw std::invalid_argument(fmt::format("Layer '{}' has too many input values for an FNP.", layer.get_name()));
  const Shape flat{1, 1, static_cast<uint32_t>(n)};
  check_shape(flat);
  return flat;
}

uint32_t get_fpksram_size(uint32_t rows, uint32_t row_len, uint32_t channels, uint8_t bits, InputPadding mode) {
  const uint64_t row = row_bytes(bits, row_len);
  switch (mode) {
    case INPUT_PADDING_FLAT: return size32(ceil_div(uint64_t{channels} * rows * bits * row_len, WORD_BITS));
    case INPUT_PADDING_PACKED_ROWS: return size32(ceil_div(row * channels, 4) * rows);
    case INPUT_PADDING_ALIGNED_ROWS: return size32(round_up(row, 4) * channels / 4 * rows);
    default: unsupported_padding();
  }
}

uint32_t get_fnp_input_size(const Layer& layer, bool flatten) {
  const Shape dim = get_fnp_input_dim(layer, flatten);
  return get_fpksram_size(dim[1], dim[0], dim[2], layer.input_bits(), get_fnp_supported_padding(layer, flatten));
}

uint32_t get_neuron_word_size(const Shape& dim, InputPadding mode, uint8_t input_bits, uint8_t weight_bits) {
  switch (mode) {
    case INPUT_PADDING_FLAT:
      return size32(ceil_div(uint64_t{weight_bits} * input_values(dim), WORD_BITS) + NEURON_HEADER_WORDS);
    case INPUT_PADDING_PACKED_ROWS: {
      // The weights take the slots of the input layout, weight_bits bits each.
      const SlotLayout layout(dim, mode, input_bits);
      return size32(ceil_div(layout.slots() * weight_bits, WORD_BITS) + NEURON_HEADER_WORDS);
    }
    case INPUT_PADDING_ALIGNED_ROWS:
      return size32(round_up(row_bytes(input_bits, dim[0]), 4) * dim[2] / 4 * dim[1] + NEURON_HEADER_WORDS);
    default: unsupported_padding();
  }
}

uint32_t get_layer_word_size(const Dense& weights, uint8_t weight_bits, const Shape& dim, InputPadding mode,
                             uint8_t input_bits) {
  return size32(uint64_t{get_neuron_word_size(dim, mode, input_bits, weight_bits)} * neuron_count(weights));
}

uint32_t get_fnp_sram_size(const Layer& layer) {
  const auto weights = required_variable(layer, "weights");
  const uint32_t words = get_layer_word_size(*weights, static_cast<uint8_t>(layer_param(layer, "weights_bits")),
                                             get_fnp_input_dim(layer, false), get_fnp_supported_padding(layer, false),
                                             layer.input_bits());
  return round_for_xl(words);
}

std::vector<uint32_t> format_input_shift_fnp(const Dense& input_shift, const Shape& dim, InputPadding mode,
                                             uint8_t input_bits) {
  check_mode(mode);
  if (mode == INPUT_PADDING_FLAT) return format_input_shift(input_shift, 0, 0);
  const SlotLayout layout(dim, mode, input_bits);
  const uint8_t* shifts = input_shift.data_as<uint8_t>();
  if (input_values(dim) > input_shift.size())
    throw std::invalid_argument(fmt::format("The input shift holds {} values for an FNP input of {}.",
                                            input_shift.size(), input_values(dim)));
  // One byte per slot, in an even number of words.
  const uint64_t words = mode == INPUT_PADDING_PACKED_ROWS
                             ? ceil_div(layout.slots(), 4)
                             : get_fpksram_size(dim[1], dim[0], dim[2], input_bits, mode);
  std::vector<uint32_t> out(round_up(words, 2), 0);
  layout.for_each([&](uint64_t slot, uint64_t index) { out[slot / 4] |= uint32_t{shifts[index]} << (8 * (slot % 4)); });
  return out;
}

uint32_t fnp_input_shift_24b_size(const Dense& input_shift, const Shape& dim, InputPadding mode, uint8_t input_bits) {
  uint64_t row_group_bytes = 0;
  switch (mode) {
    case INPUT_PADDING_FLAT: return size32(ceil_div(input_shift.size(), 8));
    case INPUT_PADDING_PACKED_ROWS: row_group_bytes = row_bytes(input_bits, dim[0]) * dim[2] + 3; break;
    case INPUT_PADDING_ALIGNED_ROWS: row_group_bytes = round_up(row_bytes(input_bits, dim[0]), 4) * dim[2]; break;
    default: unsupported_padding();
  }
  check_row_bits(mode, input_bits);
  // Whole words of a row group, as value slots of input_bits bits, eight 3-bit shifts per 24-bit word.
  const uint64_t slot_bits = row_group_bytes / 4 * dim[1] * WORD_BITS;
  return size32(ceil_div(slot_bits / input_bits, 8));
}

std::vector<uint32_t> format_fnp_ram(const Layer& layer, bool flatten, InputPadding mode, uint8_t input_bits,
                                     uint8_t weight_bits) {
  const auto weights = required_variable(layer, "weights");
  const uint32_t neurons = neuron_count(*weights);
  const auto bias = per_neuron(layer, "bias", neurons, true);
  const auto bias_shift = per_neuron(layer, "bias_shift", neurons, true);
  const auto max_value = per_neuron(layer, "max_value", neurons, false);
  const auto max_value_shift = per_neuron(layer, "max_value_shift", neurons, false);
  const auto output_scales = per_neuron(layer, "output_scales", neurons, true);
  const auto output_shift = per_neuron(layer, "output_shift", neurons, true);
  const Shape dim = get_fnp_input_dim(layer, flatten);

  if (weight_bits == 0 || weight_bits > 8 || 8 % weight_bits != 0)
    throw std::invalid_argument(fmt::format("Dense weights of {} bits cannot be packed.", weight_bits));
  if (mode == INPUT_PADDING_ALIGNED_ROWS && weight_bits != 8)
    throw std::invalid_argument(fmt::format("The aligned-rows FNP input layout needs 8-bit weights, not {}-bit.",
                                            weight_bits));
  const SlotLayout layout(dim, mode, input_bits);
  const Shape wshape = weights->shape();
  if (wshape[0] < input_values(dim))
    throw std::invalid_argument(fmt::format("Layer '{}' has weights for {} input values, its FNP input has {}.",
                                            layer.get_name(), wshape[0], input_values(dim)));

  const uint32_t block = get_neuron_word_size(dim, mode, input_bits, weight_bits);
  const uint32_t total = get_layer_word_size(*weights, weight_bits, dim, mode, input_bits);
  std::vector<uint32_t> ram(total, 0);

  const int8_t* w = weights->data_as<int8_t>();
  const std::vector<uint32_t> strides = weights->strides();
  const int8_t* b = bias->data_as<int8_t>();
  const uint8_t* bs = bias_shift->data_as<uint8_t>();
  const uint8_t* mv = max_value ? max_value->data_as<uint8_t>() : nullptr;
  const uint8_t* mvs = max_value_shift ? max_value_shift->data_as<uint8_t>() : nullptr;
  const uint8_t* scales = output_scales->data_as<uint8_t>();
  const int8_t* shifts = output_shift->data_as<int8_t>();
  const uint32_t mask = (1u << weight_bits) - 1;

  for (uint32_t n = 0; n < neurons; ++n) {
    uint32_t* header = &ram[uint64_t{n} * block];
    header[0] = uint32_t{static_cast<uint8_t>(b[n])} | uint32_t{bs[n]} << 8;
    // Each clamp field is written when its variable is there.
    if (mv) set_field(&header[0], fnp::MAX_VALUE, mv[n]);
    if (mvs) set_field(&header[0], fnp::MAX_VALUE_SHIFT, mvs[n]);
    header[1] = uint32_t{scales[n]} | uint32_t{static_cast<uint8_t>(shifts[n])} << 8;

    uint32_t* packed = header + NEURON_HEADER_WORDS;
    layout.for_each([&](uint64_t slot, uint64_t index) {
      const uint32_t value = static_cast<uint8_t>(w[index * strides[0] + uint64_t{n} * strides[1]]) & mask;
      const uint64_t bit = slot * weight_bits;
      packed[bit / WORD_BITS] |= value << (bit % WORD_BITS);
    });
  }
  return ram;
}

}  // namespace ovrix::v2
