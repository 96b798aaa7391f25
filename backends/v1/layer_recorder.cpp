#include "backends/v1/layer_recorder.h"

#include <fmt/format.h>

#include <stdexcept>
#include <string>

#include "backends/v1/conv_recording.h"
#include "backends/v1/fnp_learning.h"
#include "backends/v1/fnp_registers.h"
#include "backends/v1/hrc_conv.h"
#include "backends/v1/sep_conv_recording.h"
#include "backends/common/layer_queries.h"
#include "engine/device.h"
#include "engine/layer.h"
#include "engine/variables.h"
#include "mapping/layer_mapping.h"

namespace ovrix::v1 {

LayerRecorderImpl::LayerRecorderImpl(const Device& device, const HardwareConstraints& constraints)
    : LayerRecorder(device, constraints) {}

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(const Layer& layer, const Layer& /*other*/,
                                                                 std::shared_ptr<Layer> next, bool ib_spikes,
                                                                 bool output_flag,
                                                                 const std::vector<hw::Ident>& skipped_nps,
                                                                 bool registers_only, bool /*extra*/) const {
  const LayerType type = layer_type(layer);
  switch (type) {
    case LayerType::InputData:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return program::new_record(device_.version());
    case LayerType::InputConvolutional: return record_program_hrc_layer(device_, layer);
    case LayerType::FullyConnected:
      return record_program_dense_layer(device_, layer, std::move(next), ib_spikes, output_flag, skipped_nps,
                                        registers_only);
    case LayerType::Convolutional:
      return record_program_conv_layer(device_, layer, std::move(next), ib_spikes, output_flag, skipped_nps,
                                       registers_only);
    case LayerType::SeparableConvolutional:
      return record_program_sep_conv_layer(device_, layer, std::move(next), ib_spikes, output_flag, skipped_nps,
                                           registers_only);
    default:
      throw std::runtime_error(fmt::format("Unsupported layer type: {}.", static_cast<int32_t>(type)));
  }
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer& layer, bool flag) const {
  return record_program_learning_dense_layer(device_, layer, flag);
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer> layer) const {
  if (!layer) throw std::invalid_argument("No layer to read learning back into.");
  auto variables = std::dynamic_pointer_cast<VariablesImpl>(layer->variables());
  const auto mapping = require_layer_mapping(*layer);
  const hw::Component& np = mapping->nps->at(0);
  fnp_update_learn_vars(device_.hardware(), variables.get(), np.type == hw::Type::FNP3);
}

}  // namespace ovrix::v1
