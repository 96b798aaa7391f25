#include "backends/v2/hrc_recording.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backends/common/sizes.h"
#include "backends/v2/cnp_sizes.h"
#include "backends/v2/conv_recording.h"
#include "backends/v2/shift_lut.h"
#include "engine/dma.h"
#include "program/hrc_format.h"

namespace ovrix::v2 {

namespace {

// Codes of word 0.
constexpr uint32_t MAX_POOLING_CODE = 3;
constexpr uint32_t VALID_BORDERS_CODE = 3;
constexpr uint32_t NIBBLE_OUTPUT_CODE = 2;
constexpr uint32_t BYTE_OUTPUT_CODE = 3;
// Values the control word takes to start the HRC once it is configured.
constexpr uint32_t CONTROL_LOAD = 1;
constexpr uint32_t CONTROL_RUN = 0;
// The HRC sits at column 0, row 0, id 0, channel 0.
const hw::Ident HRC_IDENT{};

void write(HrcRegisters* regs, const HrcRegField& field, uint32_t value) {
  set_field(&(*regs)[field.word], field.bits, value);
}

uint32_t kernel_size_code(int32_t kernel) {
  switch (kernel) {
    case 3: return 0;
    case 4: return 1;
    case 5: return 2;
    case 7: return 3;
    case 16: return 4;
    default: throw std::runtime_error("Wrong kernel size at HRC recording.");
  }
}

// Negative pool sizes and strides (global pooling) leave their fields at 0.
uint32_t non_negative(int32_t v) { return v < 0 ? 0u : static_cast<uint32_t>(v); }

// Adds the select word of the SRAM, then its data; an empty list writes nothing.
void write_sram(program::Record* record, const RegDetail& select, const std::vector<uint32_t>& words) {
  if (words.empty()) return;
  uint32_t select_word = 0;
  set_field(&select_word, select, 1);
  record->add_np_track(HRC_IDENT, dma::Target::RegisterWrites, hrc::SRAM_SELECT_ADDRESS, {select_word, 0});
  record->add_np_track(HRC_IDENT, dma::Target::HrcSram, hrc::SRAM_DATA_ADDRESS, words);
}

}  // namespace

HrcRegisters format_hrc_registers(const HrcConfig& c) {
  HrcRegisters regs{1, 0, 0, 0, 0};
  write(&regs, hrc::W0_KERNEL_SIZE, kernel_size_code(c.kernel_size));

  if (c.output_bits != 4 && c.output_bits != 8)
    throw std::runtime_error(fmt::format("Wrong output bitwidth when programming HRC: {}-bit found\nonly 8-bit and "
                                         "4-bit are supported.", c.output_bits));
  write(&regs, hrc::W0_OUTPUT_BITS, c.output_bits == 4 ? NIBBLE_OUTPUT_CODE : BYTE_OUTPUT_CODE);

  const bool relu = c.activation == static_cast<int32_t>(ActivationType::ReLU);
  const bool lut = c.activation == static_cast<int32_t>(ActivationType::LUT);
  write(&regs, hrc::W0_RELU, relu);
  write(&regs, hrc::W0_LUT, lut);
  write(&regs, hrc::W0_LUT_OUTPUT, lut);

  if (c.input_channels != 1 && c.input_channels != 3)
    throw std::runtime_error("Wrong number of channles at HRC recording.");
  write(&regs, hrc::W0_ONE_CHANNEL, c.input_channels == 1);

  if (c.padding != static_cast<int32_t>(Padding::Valid) && c.padding != static_cast<int32_t>(Padding::Same) &&
      c.padding != static_cast<int32_t>(Padding::SameUpper))
    throw std::runtime_error("Wrong padding at HRC recording.");
  const bool valid = c.padding == static_cast<int32_t>(Padding::Valid);
  write(&regs, hrc::W0_VALID_PADDING, valid);
  write(&regs, hrc::W0_VALID_BORDERS, valid ? VALID_BORDERS_CODE : 0);

  write(&regs, hrc::W0_POOL_SIZE_X, non_negative(c.pool_size));
  write(&regs, hrc::W0_POOL_SIZE_Y, non_negative(c.pool_size));

  if (c.pool_type != static_cast<int32_t>(PoolType::NoPooling) && c.pool_type != static_cast<int32_t>(PoolType::Max))
    throw std::runtime_error("Wrong pooling at HRC recording.");
  write(&regs, hrc::W0_MAX_POOLING, c.pool_type == static_cast<int32_t>(PoolType::Max) ? MAX_POOLING_CODE : 0);

  // Unlike pooling, a stride has no "none": a negative one is refused like any other that its field cannot hold.
  write(&regs, hrc::W1_STRIDE_X, static_cast<uint32_t>(c.kernel_stride));
  write(&regs, hrc::W1_STRIDE_Y, static_cast<uint32_t>(c.kernel_stride));
  write(&regs, hrc::W1_POOL_STRIDE_X, non_negative(c.pool_stride));
  write(&regs, hrc::W1_POOL_STRIDE_Y, non_negative(c.pool_stride));

  if (c.padding_value != nullptr) {
    const uint8_t* values = c.padding_value->data_as<uint8_t>();
    for (size_t ch = 0; ch < 3 && ch < c.padding_value->size(); ++ch)
      write(&regs, hrc::W2_PADDING_VALUE[ch], values[ch]);
  }

  write(&regs, hrc::W3_PAD_X_BEFORE, c.conv_padding.x_before);
  write(&regs, hrc::W3_PAD_X_AFTER, c.conv_padding.x_after);
  write(&regs, hrc::W3_PAD_Y_BEFORE, c.conv_padding.y_before);
  write(&regs, hrc::W3_PAD_Y_AFTER, c.conv_padding.y_after);

  write(&regs, hrc::W4_RESERVED_0, 0);
  // 1 to 512 filters: no filter at all wraps to a value no field holds.
  write(&regs, hrc::W4_LAST_FILTER, static_cast<uint32_t>(c.filters) - 1);
  return regs;
}

std::unique_ptr<program::Record> record_program_input_conv2d_layer(const Device& device, const Layer& layer) {
  HrcConfig config;
  config.filters = layer_param(layer, "filters");
  config.kernel_size = layer_param(layer, "kernel_size");
  config.activation = layer_param(layer, "activation");
  config.padding = layer_param(layer, "padding");
  config.pool_type = layer_param(layer, "pool_type");
  config.pool_stride = layer_param(layer, "pool_stride");
  config.pool_size = layer_param(layer, "pool_size");
  config.kernel_stride = layer_param(layer, "kernel_stride");
  config.output_bits = layer.output_bits();
  config.input_channels = first_input_shape(layer)[2];
  const auto* conv = dynamic_cast<const HasConvParams*>(&layer);
  if (conv == nullptr) throw std::runtime_error(fmt::format("Layer '{}' has no convolution geometry.", layer.get_name()));
  config.conv_padding = conv->conv_calculated_params().padding;
  const auto padding_value = required_variable(layer, "padding_value");
  config.padding_value = padding_value.get();
  const HrcRegisters registers = format_hrc_registers(config);

  const auto weights = required_variable(layer, "weights");
  const auto output_shift = required_variable(layer, "output_shift");
  const auto output_scales = required_variable(layer, "output_scales");
  const auto bias_shift = required_variable(layer, "bias_shift");
  const auto bias = required_variable(layer, "bias");
  const auto max_value = optional_variable(layer, "max_value");
  const auto max_value_shift = optional_variable(layer, "max_value_shift");
  const std::vector<std::vector<uint32_t>> channel_weights = format_hrc_weights(*weights);

  auto record = program::new_record(device.version());
  record->add_np_track(HRC_IDENT, dma::Target::RegisterWrites, hrc::REGISTERS_ADDRESS,
                       std::vector<uint32_t>(registers.begin(), registers.end()));
  write_sram(record.get(), HRC_SRAM_SELECT_R, channel_weights[0]);
  write_sram(record.get(), HRC_SRAM_SELECT_G, channel_weights[1]);
  write_sram(record.get(), HRC_SRAM_SELECT_B, channel_weights[2]);

  std::vector<uint32_t> activation_words;
  if (config.activation == static_cast<int32_t>(ActivationType::LUT)) {
    const auto lut_values = required_variable(layer, "lut_values");
    const auto activation_shift = required_variable(layer, "activation_shift");
    const auto activation_scales = required_variable(layer, "activation_scales");
    write_sram(record.get(), HRC_SRAM_SELECT_LUT, format_lut_values_for_hrc(lut_values.get()));
    activation_words = format_hrc_lut_variables(*output_scales, *bias, *bias_shift, *output_shift, *activation_shift,
                                                *activation_scales);
  } else {
    activation_words = format_hrc_activations(*output_shift, *output_scales, max_value_shift.get(), max_value.get(),
                                              *bias_shift, *bias);
  }
  write_sram(record.get(), HRC_SRAM_SELECT_ACT, activation_words);

  // The configuration is complete: clear the enable bit of word 0, then load and run.
  uint32_t word0 = registers[0];
  set_field(&word0, hrc::W0_ENABLE.bits, 0);
  record->add_np_track(HRC_IDENT, dma::Target::RegisterWrites, hrc::REGISTERS_ADDRESS, {word0});
  record->add_np_track(HRC_IDENT, dma::Target::RegisterWrites, hrc::CONTROL_ADDRESS, {CONTROL_LOAD});
  record->add_np_track(HRC_IDENT, dma::Target::RegisterWrites, hrc::CONTROL_ADDRESS, {CONTROL_RUN});
  return record;
}

uint32_t get_hrc_sram_size(const Layer& layer) {
  const auto weights = required_variable(layer, "weights");
  const auto output_shift = required_variable(layer, "output_shift");
  const auto output_scales = required_variable(layer, "output_scales");
  const auto max_value_shift = optional_variable(layer, "max_value_shift");
  const auto max_value = optional_variable(layer, "max_value");
  const auto bias_shift = required_variable(layer, "bias_shift");
  const auto bias = required_variable(layer, "bias");
  uint64_t words = 0;
  for (const auto& sram : format_hrc_weights(*weights)) words += sram.size();
  words += format_hrc_activations(*output_shift, *output_scales, max_value_shift.get(), max_value.get(), *bias_shift,
                                  *bias)
               .size();
  return round_for_xl(words);
}

}  // namespace ovrix::v2
