#include "backends/v2/conv_recording.h"

#include <fmt/format.h>

#include <stdexcept>

#include "backends/v2/cnp_sizes.h"
#include "backends/v2/cnp_tnp_variables.h"
#include "backends/v2/cnp_weights.h"
#include "backends/v2/conv_registers.h"
#include "backends/v2/mesh_registers.h"
#include "backends/v2/shift_lut.h"
#include "backends/v2/skipdma.h"
#include "mapping/layer_mapping.h"

namespace ovrix::v2 {

std::shared_ptr<Dense> optional_variable(const Layer& layer, const std::string& name) {
  const auto variables = layer.variables();
  return variables ? variables->get(name) : nullptr;
}

std::shared_ptr<Dense> required_variable(const Layer& layer, const std::string& name) {
  auto tensor = optional_variable(layer, name);
  if (!tensor) throw std::runtime_error(fmt::format("Layer '{}' has no variable \"{}\"", layer.get_name(), name));
  return tensor;
}

namespace {

using RegisterBuilder = RegisterMap (*)(const Layer&, std::shared_ptr<Layer>, bool, bool,
                                        const std::vector<hw::Ident>&, bool, bool);

struct ConvRecording {
  LayerType type;
  bool depthwise;
  RegisterBuilder registers;
};

// The merge shifts of an NP whose layer adds a skip branch (its first inbound is an Add).
std::vector<uint32_t> merge_shift_words(const Layer& layer, const MergeLayerMapInfo& merge) {
  const auto tensor = [&](const std::shared_ptr<Tensor>& t, const char* name) {
    if (!t)
      throw std::runtime_error(fmt::format("Layer '{}' has no variable \"{}\" from its Add inbound",
                                           layer.get_name(), name));
    return Tensor::ensure_dense(t);
  };
  const auto a = tensor(merge.a_shift, "a_shift");
  const auto b = tensor(merge.b_shift, "b_shift");
  const auto o = tensor(merge.output_shift, "output_shift");
  const uint32_t channels = a->shape().size() > 0 ? a->shape()[0] : 0;
  return format_merge_layer_shift(a, b, o, 0, channels);
}

std::unique_ptr<program::Record> record_conv(const ConvRecording& kind, const Device& device, const Layer& layer,
                                             const std::shared_ptr<Layer>& next_layer, bool starts_pass,
                                             bool ends_pass, const std::vector<hw::Ident>& excluded_nps,
                                             bool registers_only, bool lut_flag) {
  if (layer_type(layer) != kind.type) throw std::runtime_error("Invalid layer type for CNP recording.");
  const LayerMapping& mapping = mapping_of(layer);
  const RegisterMap registers =
      kind.registers(layer, next_layer, starts_pass, ends_pass, excluded_nps, registers_only, lut_flag);
  auto record = program::new_record(device.version());

  // A standard convolution gives every NP all the input channels, hence the same input shifts.
  std::vector<uint32_t> shared_input_shift;
  if (!registers_only && !kind.depthwise)
    shared_input_shift = format_input_shift(*required_variable(layer, "input_shift"), 0, 0);

  std::shared_ptr<Dense> weights;
  if (!registers_only || !kind.depthwise) weights = required_variable(layer, "weights");
  const auto max_value = optional_variable(layer, "max_value");
  const auto max_value_shift = optional_variable(layer, "max_value_shift");
  const auto activation_shift = optional_variable(layer, "activation_shift");
  const auto activation_scales = optional_variable(layer, "activation_scales");
  std::shared_ptr<Dense> input_shift;
  if (!registers_only && kind.depthwise) input_shift = required_variable(layer, "input_shift");
  const auto output_shift = optional_variable(layer, "output_shift");
  const auto bias_shift = optional_variable(layer, "bias_shift");
  const auto bias = optional_variable(layer, "bias");
  const auto output_scales = optional_variable(layer, "output_scales");
  const auto weights_bits = static_cast<uint8_t>(layer_param(layer, "weights_bits"));
  const uint32_t kernel = weights && weights->shape().size() > 0 ? weights->shape()[0] : 0;
  const uint32_t conv_target = kind.depthwise ? 0 : conv2d_dma_target(kernel, weights_bits);
  const bool lut = layer.has_activation_type(ActivationType::LUT);

  // The weight blocks of a standard convolution's NPs, formatted together in the order of the NPs
  // that get a block: one NP's filters are often a few bytes of each row of the tensor, and one
  // sweep reads each row once for all of them.
  std::vector<std::vector<uint32_t>> conv_weights;
  size_t next_conv_weights = 0;
  if (!registers_only && !kind.depthwise) {
    std::vector<FilterShare> shares;
    for (const hw::Component& np : *mapping.nps)
      if (registers.count(np.ident)) shares.push_back({np.start_neuron(), np.filters()});
    conv_weights = format_conv2d_cnp_weights(WeightView::of(*weights), shares, weights_bits);
  }

  for (const hw::Component& np : *mapping.nps) {
    const auto block = registers.find(np.ident);
    if (block == registers.end()) continue;
    record->add_np_track(np.ident, dma::Target::NpRegisters, 0, block->second);
    if (registers_only) continue;

    const uint32_t first = np.start_neuron();
    const uint32_t count = np.filters();
    if (kind.depthwise) {
      const auto words = format_depthwise_conv_cnp_weights(*weights, first, count, weights_bits);
      record->add_np_track(np.ident, static_cast<dma::Target>(dwc_dma_target(kernel, weights_bits)), 0, words);
      record->add_np_track(np.ident, dma::Target::InputShift, 0, format_input_shift(*input_shift, first, count));
    } else {
      std::vector<uint32_t> words = std::move(conv_weights[next_conv_weights++]);
      record->add_np_track(np.ident, static_cast<dma::Target>(conv_target), 0, std::move(words));
      record->add_np_track(np.ident, dma::Target::InputShift, 0, shared_input_shift);
    }
    record->add_np_track(np.ident, dma::Target::Variables, 0,
                         format_cnp_tnp_variables(max_value.get(), max_value_shift.get(), activation_shift.get(),
                                                  activation_scales.get(), output_shift.get(), bias_shift.get(),
                                                  bias.get(), output_scales.get(), first, count));
    if (lut) {
      const auto lut_values = required_variable(layer, "lut_values");
      record->add_np_track(np.ident, dma::Target::LookUpTable, 0, format_lut_values_for_cnp(lut_values.get()));
    }
    if (mapping.merge_info && mapping.merge_info->is_add)
      record->add_np_track(np.ident, dma::Target::MergeShifts, 0, merge_shift_words(layer, *mapping.merge_info));
  }
  if (!registers_only) record_skipdma(record.get(), layer);
  return record;
}

constexpr ConvRecording CONV2D{LayerType::Conv2D, false, &format_conv2d_np_registers};
constexpr ConvRecording DWCONV2D{LayerType::DepthwiseConv2D, true, &format_dwconv2d_np_registers};
constexpr ConvRecording CONV2D_TRANSPOSE{LayerType::Conv2DTranspose, false, &format_transposed_conv2d_np_registers};
constexpr ConvRecording DWCONV2D_TRANSPOSE{LayerType::DepthwiseConv2DTranspose, true,
                                           &format_transposed_dwconv2d_np_registers};

}  // namespace

std::unique_ptr<program::Record> record_program_conv2d_layer(const Device& device, const Layer& layer,
                                                             std::shared_ptr<Layer> next_layer, bool starts_pass,
                                                             bool ends_pass,
                                                             const std::vector<hw::Ident>& excluded_nps,
                                                             bool registers_only, bool lut_flag) {
  return record_conv(CONV2D, device, layer, next_layer, starts_pass, ends_pass, excluded_nps, registers_only,
                     lut_flag);
}

std::unique_ptr<program::Record> record_program_dwconv2d_layer(const Device& device, const Layer& layer,
                                                               std::shared_ptr<Layer> next_layer, bool starts_pass,
                                                               bool ends_pass,
                                                               const std::vector<hw::Ident>& excluded_nps,
                                                               bool registers_only, bool lut_flag) {
  return record_conv(DWCONV2D, device, layer, next_layer, starts_pass, ends_pass, excluded_nps, registers_only,
                     lut_flag);
}

std::unique_ptr<program::Record> record_program_transposed_conv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_layer, bool starts_pass, bool ends_pass,
    const std::vector<hw::Ident>& excluded_nps, bool registers_only, bool lut_flag) {
  return record_conv(CONV2D_TRANSPOSE, device, layer, next_layer, starts_pass, ends_pass, excluded_nps,
                     registers_only, lut_flag);
}

std::unique_ptr<program::Record> record_program_transposed_dwconv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_layer, bool starts_pass, bool ends_pass,
    const std::vector<hw::Ident>& excluded_nps, bool registers_only, bool lut_flag) {
  return record_conv(DWCONV2D_TRANSPOSE, device, layer, next_layer, starts_pass, ends_pass, excluded_nps,
                     registers_only, lut_flag);
}

}  // namespace ovrix::v2
