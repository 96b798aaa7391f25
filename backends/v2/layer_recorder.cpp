#include "backends/v2/layer_recorder.h"

#include <fmt/format.h>

#include <stdexcept>
#include <string>

#include "backends/v2/buffer_temp_conv_recording.h"
#include "backends/v2/cnp_sizes.h"
#include "backends/v2/compatibility_checker.h"
#include "backends/v2/conv_recording.h"
#include "backends/v2/depthwise_buffer_temp_conv_recording.h"
#include "backends/v2/fnp_recording.h"
#include "backends/v2/hrc_recording.h"
#include "engine/device.h"

namespace ovrix::v2 {

LayerRecorderImpl::LayerRecorderImpl(const Device& device, const HardwareConstraints& constraints)
    : LayerRecorder(device, constraints) {}

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(const Layer& layer, const Layer& other,
                                                                 std::shared_ptr<Layer> next, bool starts_pass,
                                                                 bool ends_pass,
                                                                 const std::vector<hw::Ident>& excluded_nps,
                                                                 bool registers_only, bool lut_flag) const {
  const LayerType type = layer_type(layer);
  switch (type) {
    // Their hardware effect lies in the registers of the layers around them.
    case LayerType::InputData:
    case LayerType::Add:
    case LayerType::Concatenate:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return program::new_record(device_.version());
    case LayerType::Conv2D:
      return record_program_conv2d_layer(device_, layer, std::move(next), starts_pass, ends_pass, excluded_nps,
                                         registers_only, lut_flag);
    case LayerType::DepthwiseConv2D:
      return record_program_dwconv2d_layer(device_, layer, std::move(next), starts_pass, ends_pass, excluded_nps,
                                           registers_only, lut_flag);
    case LayerType::Conv2DTranspose:
      return record_program_transposed_conv2d_layer(device_, layer, std::move(next), starts_pass, ends_pass,
                                                    excluded_nps, registers_only, lut_flag);
    case LayerType::DepthwiseConv2DTranspose:
      return record_program_transposed_dwconv2d_layer(device_, layer, std::move(next), starts_pass, ends_pass,
                                                      excluded_nps, registers_only, lut_flag);
    case LayerType::InputConv2D: return record_program_input_conv2d_layer(device_, layer);
    case LayerType::BufferTempConv:
      return record_program_buffer_temp_conv_layer(device_, layer, std::move(next), starts_pass, ends_pass,
                                                   excluded_nps, registers_only, lut_flag);
    case LayerType::DepthwiseBufferTempConv:
      return record_program_depthwise_buffer_temp_conv_layer(device_, layer, std::move(next), starts_pass, ends_pass,
                                                             excluded_nps, registers_only, lut_flag);
    case LayerType::Dense1D:
      return record_program_dense1d_layer(device_, constraints_, layer, other, std::move(next), starts_pass, ends_pass,
                                          excluded_nps, registers_only);
    default:
      throw std::runtime_error(fmt::format("Unsupported layer type: {}.", static_cast<int32_t>(type)));
  }
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer& /*layer*/, bool /*flag*/) const {
  throw std::runtime_error("Learning not implemented on v2.");
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer> /*layer*/) const {
  throw std::runtime_error("Learning not implemented on v2.");
}

}  // namespace ovrix::v2
