#include "backends/v2/cnp_tnp_variables.h"

#include "backends/v2/np_registers.h"
#include "mapping/host_hooks.h"

namespace ovrix::v2 {

namespace {

// Reads element `index` of a per-channel tensor through its typed access; an index beyond the tensor
// is refused like any out-of-range coordinate.
template <class T>
T channel_value(const Dense& tensor, uint32_t index) {
  const T* data = tensor.data_as<T>();
  if (index >= tensor.size())
    panic("Coordinates are out-of-range (linear index %zu, tensor size %zu)", static_cast<size_t>(index),
          tensor.size());
  return data[index];
}

}  // namespace

uint32_t cnp_tnp_input_shift_24b_size(const Dense& input_shift) {
  return static_cast<uint32_t>((input_shift.size() + 7) / 8);
}

std::vector<uint32_t> format_cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift,
                                               const Dense* activation_shift, const Dense* activation_scales,
                                               const Dense* output_shift, const Dense* bias_shift, const Dense* bias,
                                               const Dense* output_scales, uint32_t first_channel, uint32_t count) {
  std::vector<uint32_t> words(2 * size_t{count}, 0);
  for (uint32_t k = 0; k < count; ++k) {
    uint32_t* a = &words[2 * size_t{k}];
    uint32_t* b = a + 1;
    const uint32_t index = first_channel + k;
    // Later writes win where fields share bits (word A bits 27-31, word B bits 0-8).
    if (output_scales) set_field(a, VARS_W1_SCALE, channel_value<uint8_t>(*output_scales, index));
    if (bias) set_field(a, VARS_W1_BIAS, signed_field_value(channel_value<int8_t>(*bias, index), 8));
    if (bias_shift) set_field(a, VARS_W1_BIAS_SHIFT, channel_value<uint8_t>(*bias_shift, index));
    if (output_shift) set_field(a, VARS_W1_OUT_SHIFT, signed_field_value(channel_value<int8_t>(*output_shift, index), 6));
    if (max_value_shift) set_field(a, VARS_W1_MAX_SHIFT, channel_value<uint8_t>(*max_value_shift, index));
    if (activation_shift) {
      const uint32_t code = signed_field_value(channel_value<int8_t>(*activation_shift, index), 6);
      set_field(a, VARS_W1_ACT_SHIFT_LOW, code & 0x1F);
      set_field(b, VARS_W2_ACT_SHIFT_SIGN, code >> 5);
    }
    if (activation_scales) set_field(b, VARS_W2_ACT_SCALE, channel_value<uint8_t>(*activation_scales, index));
    if (max_value) set_field(b, VARS_W2_MAX_VALUE, channel_value<uint8_t>(*max_value, index));
  }
  return words;
}

}  // namespace ovrix::v2
