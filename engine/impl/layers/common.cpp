// Helpers shared by the layer kinds, and the table from LayerType to the kind's rules.
#include <fmt/format.h>

#include <limits>
#include <stdexcept>
#include <string>

#include "engine/impl/layers/kind.h"

namespace ovrix::detail {

const KindRules& kind_rules(LayerType type) {
  switch (type) {
    case LayerType::InputData: return input_data_rules();
    case LayerType::InputConvolutional: return input_convolutional_rules();
    case LayerType::FullyConnected: return fully_connected_rules();
    case LayerType::Convolutional: return convolutional_rules();
    case LayerType::SeparableConvolutional: return separable_convolutional_rules();
    case LayerType::Add: return add_rules();
    case LayerType::Concatenate: return concatenate_rules();
    case LayerType::Conv2D: return conv2d_rules();
    case LayerType::InputConv2D: return input_conv2d_rules();
    case LayerType::DepthwiseConv2D: return depthwise_conv2d_rules();
    case LayerType::Conv2DTranspose: return conv2d_transpose_rules();
    case LayerType::Dequantizer: return dequantizer_rules();
    case LayerType::DepthwiseConv2DTranspose: return depthwise_conv2d_transpose_rules();
    case LayerType::BufferTempConv: return buffer_temp_conv_rules();
    case LayerType::DepthwiseBufferTempConv: return depthwise_buffer_temp_conv_rules();
    case LayerType::Dense1D: return dense1d_rules();
    case LayerType::StatefulRecurrent: return stateful_recurrent_rules();
    case LayerType::Quantizer: return quantizer_rules();
    case LayerType::LumoPostProcessing: return lumo_post_processing_rules();
    case LayerType::Unknown: break;
  }
  throw std::invalid_argument(fmt::format("Unsupported layer type {}.", static_cast<int32_t>(type)));
}

void refuse_build(const std::string& layer, const std::string& why) {
  throw std::invalid_argument("Layer " + layer + ": " + why);
}

const InputSignal& single_input(const std::vector<InputSignal>& inputs, const std::string& layer) {
  if (inputs.size() != 1) refuse_build(layer, fmt::format("takes exactly one input (got {}).", inputs.size()));
  if (inputs[0].dims.count != 3) {
    refuse_build(layer, fmt::format("expects an input of three dimensions (got {}).", inputs[0].dims.count));
  }
  return inputs[0];
}

AxisWindow window_axis(uint64_t n, uint32_t k, uint32_t s, Padding padding) {
  AxisWindow w;
  if (s == 0 || k == 0) return w;
  if (padding == Padding::Valid) {
    w.out = n >= k ? static_cast<uint32_t>((n - k) / s + 1) : 0;
    return w;
  }
  const uint64_t out = (n + s - 1) / s;
  w.out = static_cast<uint32_t>(out);
  const uint64_t covered = out == 0 ? 0 : (out - 1) * s + k;
  const uint64_t total = covered > n ? covered - n : 0;
  const uint64_t small = total / 2, large = total - total / 2;
  // Same: the odd value goes after; SameUpper: before.
  w.before = static_cast<uint32_t>(padding == Padding::Same ? small : large);
  w.after = static_cast<uint32_t>(padding == Padding::Same ? large : small);
  return w;
}

ConvCalculatedParams conv_geometry(const Shape& in, uint32_t kx, uint32_t ky, uint32_t sx, uint32_t sy,
                                   Padding padding) {
  // x runs along dimension 0 (width), y along dimension 1 (height).
  AxisWindow x = window_axis(in.dims[0], kx, sx, padding);
  AxisWindow y = window_axis(in.dims[1], ky, sy, padding);
  ConvCalculatedParams p;
  p.output_width = x.out;
  p.output_height = y.out;
  p.padding = PaddingParams{y.before, y.after, x.before, x.after};
  return p;
}

PoolingCalculatedParams pool_geometry(uint32_t width, uint32_t height, const PoolRequest& r) {
  PoolingCalculatedParams p;
  p.stride_x = 1;
  p.stride_y = 1;
  if (r.type == PoolType::NoPooling) {
    p.output_width = width;
    p.output_height = height;
    return p;
  }
  if (r.global) {
    p.output_width = 1;
    p.output_height = 1;
    p.flag = 1;
    return p;
  }
  AxisWindow x = window_axis(width, r.size_x, r.stride_x, r.padding);
  AxisWindow y = window_axis(height, r.size_y, r.stride_y, r.padding);
  p.stride_x = static_cast<uint8_t>(r.stride_x);
  p.stride_y = static_cast<uint8_t>(r.stride_y);
  p.output_width = x.out;
  p.output_height = y.out;
  p.padding = PaddingParams{y.before, y.after, x.before, x.after};
  return p;
}

TensorType weights_type(int32_t bits) {
  if (bits <= 1) return TensorType::bit;
  if (bits <= 2) return TensorType::int2;
  if (bits <= 4) return TensorType::int4;
  return TensorType::int8;
}

void add_output_variables(std::vector<VariableSpec>& vars, uint32_t channels, ActivationType activation,
                          bool lookup_table_allowed) {
  const Shape c{channels};
  vars.push_back({"bias", TensorType::int8, c});
  vars.push_back({"bias_shift", TensorType::uint8, c});
  vars.push_back({"output_scales", TensorType::uint8, c});
  vars.push_back({"output_shift", TensorType::int8, c});
  if (activation == ActivationType::ReLU) {
    vars.push_back({"max_value", TensorType::uint8, c});
    vars.push_back({"max_value_shift", TensorType::uint8, c});
  }
  if (activation == ActivationType::LUT && lookup_table_allowed) {
    vars.push_back({"activation_shift", TensorType::int8, c});
    vars.push_back({"activation_scales", TensorType::uint8, c});
    vars.push_back({"lut_values", TensorType::int32, Shape{lut_entries}});
  }
}

uint64_t mul_sat(std::initializer_list<uint64_t> factors) {
  uint64_t p = 1;
  for (uint64_t f : factors) {
    if (f != 0 && p > std::numeric_limits<uint64_t>::max() / f) return std::numeric_limits<uint64_t>::max();
    p *= f;
  }
  return p;
}

ActivationType v2_activation(const LayerParams& params) {
  return static_cast<ActivationType>(params.get("activation"));
}

Signals v2_signals(const LayerParams& params, const std::vector<InputSignal>* inputs) {
  Signals s;
  if (inputs && !inputs->empty()) s.input_bits = (*inputs)[0].bits;
  s.output_bits = static_cast<uint8_t>(params.get("output_bits"));
  // A ReLU output is never negative; potentials and lookup-table outputs are signed.
  s.output_signed = v2_activation(params) != ActivationType::ReLU;
  return s;
}

ConvPool conv_then_pool(const std::string& name, const Shape& in, const ConvCalculatedParams& conv,
                        const PoolRequest& request) {
  ConvPool r{conv, pool_geometry(conv.output_width, conv.output_height, request)};
  if (r.pool.output_width == 0 || r.pool.output_height == 0) {
    refuse_build(name, fmt::format("its output would be empty for an input of {} x {}.", in.dims[0], in.dims[1]));
  }
  return r;
}

}  // namespace ovrix::detail
