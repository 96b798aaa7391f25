#include "program/io_format.h"

#include <fmt/format.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "engine/layer.h"

namespace ovrix::io {
namespace {

LayerType kind(const Layer& layer) { return layer.params()->layer_type(); }

// A variable the layer's kind requires; its absence is a malformed layer, not a crash.
std::shared_ptr<Dense> required_variable(const Layer& layer, const char* name) {
  auto variables = layer.variables();
  std::shared_ptr<Dense> tensor = variables ? variables->get(name) : nullptr;
  if (!tensor) throw std::runtime_error(fmt::format("Layer '{}' has no variable '{}'.", layer.get_name(), name));
  return tensor;
}

// Every element in storage order, read with the storage type check of the tensor.
template <class T>
std::vector<T> elements(const Dense& tensor) {
  const T* data = tensor.data_as<T>();
  return std::vector<T>(data, data + tensor.size());
}

// The output of a ReLU layer whose activation is not applied on the device is described by its steps
// and thresholds; any other layer leaves the output as it is.
bool output_needs_scaling(const Layer& last) {
  return !last.output_flag() && last.activation() == ActivationType::ReLU;
}

}  // namespace

uint8_t input_bits(const Layer& first) {
  return kind(first) == LayerType::Quantizer ? first.output_bits() : first.input_bits();
}

bool input_sign(const Layer& first) {
  if (kind(first) == LayerType::Quantizer) return first.output_signed();
  if (first.input_bits() < 5) return false;
  return !first.is_target_component(hw::TargetKind::HRC);
}

bool input_channels_first(const Layer& first) {
  if (kind(first) != LayerType::Quantizer) return false;
  return first.params()->get("channels_first") != 0;
}

std::vector<float> format_input_scales(const Layer& first) {
  if (kind(first) != LayerType::Quantizer) return {};
  return elements<float>(*required_variable(first, "scales"));
}

std::vector<uint8_t> format_input_zero_points(const Layer& first) {
  if (kind(first) != LayerType::Quantizer) return {};
  return elements<uint8_t>(*required_variable(first, "zero_points"));
}

std::vector<float> format_output_scales(const Layer& last) {
  if (kind(last) == LayerType::Dequantizer) return elements<float>(*required_variable(last, "scales"));
  if (!output_needs_scaling(last)) return {};
  std::vector<float> scales = elements<float>(*required_variable(last, "act_step"));
  for (float& s : scales) {
    if (s != 0.0f) s = 1.0f / s;
  }
  return scales;
}

std::vector<int32_t> format_output_shift(const Layer& last) {
  if (kind(last) == LayerType::Dequantizer) {
    return std::vector<int32_t>(required_variable(last, "scales")->size(), 0);
  }
  if (!output_needs_scaling(last)) return {};
  return elements<int32_t>(*required_variable(last, "threshold"));
}

}  // namespace ovrix::io
