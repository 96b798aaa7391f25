#include "backends/v2/fnp_recording.h"

#include <algorithm>
#include <stdexcept>

#include "backends/common/sizes.h"
#include "backends/v2/cnp_sizes.h"
#include "backends/v2/conv_recorder.h"
#include "backends/v2/default_regs.h"
#include "backends/v2/mesh_registers.h"
#include "mapping/layer_mapping.h"

namespace ovrix::v2 {

namespace {

uint32_t input_bits_code(uint8_t bits) {
  if (bits == 4) return fnp::NIBBLE_CODE;
  if (bits == 8) return fnp::BYTE_CODE;
  throw std::runtime_error("Wrong input_bits at FNP recording.");
}

uint32_t weight_bits_code(uint8_t bits) {
  if (bits == 4) return fnp::NIBBLE_CODE;
  if (bits == 8) return fnp::BYTE_CODE;
  throw std::runtime_error("Wrong weight bitwidth at FNP recording.");
}

// Potentials of 9 to 32 bits leave the FNP as wide outputs.
uint32_t output_bits_code(uint8_t bits) {
  if (bits == 4) return fnp::NIBBLE_CODE;
  if (bits >= 8 && bits <= 32) return fnp::BYTE_CODE;
  throw std::runtime_error("Wrong output bitwidth at FNP recording.");
}

// Bytes of one row and words of one row group of the row layouts; 0 for the flat layout.
struct RowSizes {
  uint64_t row_bytes = 0;
  uint64_t group_words = 0;
};

RowSizes row_sizes(const Shape& dim, InputPadding mode, uint8_t input_bits) {
  RowSizes r;
  const uint64_t packed = ceil_div(uint64_t{input_bits} * dim[0], 8);
  if (mode == INPUT_PADDING_PACKED_ROWS) {
    r.row_bytes = packed;
    r.group_words = ceil_div(packed * dim[2], 4);
  } else if (mode == INPUT_PADDING_ALIGNED_ROWS) {
    r.row_bytes = round_up(packed, 4);
    r.group_words = r.row_bytes * dim[2] / 4;
  }
  return r;
}

}  // namespace

void format_fnp_registers(const HardwareConstraints& constraints, RegisterBlock* regs, hw::Type type,
                          uint8_t input_bits, uint8_t output_bits, bool activation, const Shape& dim,
                          bool single_buffer, const Dense& weights, uint8_t weight_bits, InputPadding mode) {
  const uint32_t in_code = input_bits_code(input_bits);
  const uint32_t weight_code = weight_bits_code(weight_bits);
  const uint32_t out_code = output_bits_code(output_bits);

  write_flag(regs, fnp::W1_FNP_ENABLE, true);
  write_flag(regs, fnp::W1_ACTIVATION_LUT, false);
  write_flag(regs, fnp::W1_SINGLE_BUFFER, single_buffer);
  write_flag(regs, fnp::W1_FNP3, type == hw::Type::FNP3);
  write_flag(regs, fnp::W1_RESERVED_25, false);

  write_field(regs, fnp::W3_INPUT_BITS, in_code);
  write_flag(regs, fnp::W3_RESERVED_3, false);
  write_field(regs, fnp::W3_WEIGHT_BITS, weight_code);
  write_flag(regs, fnp::W3_RESERVED_7, true);
  write_field(regs, fnp::W3_OUTPUT_BITS, out_code);
  write_flag(regs, fnp::W3_POTENTIAL_OUTPUT, output_bits <= 8 && !activation);
  write_flag(regs, fnp::W3_ACTIVATION, activation);
  write_field(regs, fnp::W3_RESERVED_16, 1);

  write_field(regs, fnp::W10_HEIGHT, dim[1]);
  write_field(regs, fnp::W10_WIDTH, dim[0]);

  const RowSizes rows = row_sizes(dim, mode, input_bits);
  write_field(regs, fnp::W11_ROW_BYTES, size32(rows.row_bytes));
  write_field(regs, fnp::W28_ROW_BYTES, size32(rows.row_bytes));
  write_field(regs, fnp::W28_ROW_GROUP_WORDS, size32(rows.group_words));

  write_field(regs, fnp::W14_FPKSRAM_SIZE, get_fpksram_size(dim[1], dim[0], dim[2], input_bits, mode));
  write_flag(regs, fnp::W14_RESERVED_29, true);
  write_flag(regs, fnp::W14_RESERVED_30, false);
  write_flag(regs, fnp::W14_RESERVED_31, true);

  const Shape wshape = weights.shape();
  write_field(regs, fnp::W15_NEURONS, wshape.size() >= 2 ? wshape[1] : 0);
  write_field(regs, fnp::W15_NEURON_WORDS, get_neuron_word_size(dim, mode, input_bits, weight_bits));
  write_field(regs, fnp::W16_RESERVED_0, 0);

  if (type == hw::Type::FNP2) {
    write_field(regs, fnp::W17_RAM_WORDS, fnp::FNP2_RAM_WORDS);
    write_field(regs, fnp::W17_SRAM_RAM, 0);
  } else {
    // The SRAM address counter of an FNP3 wraps at its budget.
    if (constraints.fnp3_weight_limit == 0)
      throw std::runtime_error("The device has no FNP3 weight memory to record a dense layer into.");
    const uint32_t words = get_layer_word_size(weights, weight_bits, dim, mode, input_bits);
    write_field(regs, fnp::W17_RAM_WORDS, words % constraints.fnp3_weight_limit);
    write_field(regs, fnp::W17_SRAM_RAM, 1);
  }
}

std::unique_ptr<program::Record> record_program_dense1d_layer(const Device& device,
                                                              const HardwareConstraints& constraints,
                                                              const Layer& layer, const Layer& first_layer,
                                                              std::shared_ptr<Layer> next_layer, bool starts_pass,
                                                              bool ends_pass,
                                                              const std::vector<hw::Ident>& excluded_nps,
                                                              bool registers_only) {
  const bool flatten = &layer == &first_layer;
  const Shape dim = get_fnp_input_dim(layer, flatten);
  const auto input_shift = required_variable(layer, "input_shift");
  const auto weights = required_variable(layer, "weights");
  const bool activation = layer.activation_enabled();
  const LayerMapping& mapping = mapping_of(layer);
  const hw::Component& np = mapping.nps->at(0);

  const uint8_t input_bits = layer.input_bits();
  const uint8_t output_bits = layer.output_bits();
  const auto weight_bits = static_cast<uint8_t>(layer_param(layer, "weights_bits"));
  const std::vector<hw::Component> inputs = source_components(mapping);
  const std::vector<hw::Component> outputs = destination_components(mapping);

  const InputPadding mode = get_fnp_supported_padding(layer, flatten);
  auto record = program::new_record(device.version());
  if (std::find(excluded_nps.begin(), excluded_nps.end(), np.ident) != excluded_nps.end()) return record;

  RegisterBlock regs = default_np_regs(np, mapping.index, registers_only, false);
  format_fnp_registers(constraints, &regs, np.type, input_bits, output_bits, activation, dim, np.single_buffer(),
                       *weights, weight_bits, mode);
  format_mesh_registers_set_output_to_NPs(&regs, inputs, *mapping.nps, outputs, mapping.alt_info,
                                          mapping.output_index, false, mapping.output_to_dma, ends_pass);
  update_partial_reconfig_regs_for_next(&regs, next_layer.get(), np.ident, ends_pass);
  if (starts_pass) set_ib_spikes(&regs);

  record->add_np_track(np.ident, dma::Target::NpRegisters, 0, regs, true, true);
  record->add_np_track(np.ident, dma::Target::InputShift, 0,
                       format_input_shift_fnp(*input_shift, dim, mode, input_bits), true, true);
  if (!registers_only) {
    const std::vector<uint32_t> ram = format_fnp_ram(layer, flatten, mode, input_bits, weight_bits);
    if (np.type == hw::Type::FNP2)
      record->add_fnp2_filters_track(np.ident, ram);
    else
      record->add_np_track(np.ident, dma::Target::Fnp3WeightMemory, 0, ram, true, true);
  }
  return record;
}

}  // namespace ovrix::v2
