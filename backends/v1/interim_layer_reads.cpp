#include "backends/v1/interim_layer_reads.h"

#include <stdexcept>

namespace ovrix::v1::reads {

namespace {

const LayerParams& params_of(const Layer& layer) {
  const LayerParams* params = layer.parameters();
  if (params == nullptr) throw std::runtime_error("The layer " + layer.name() + " has no parameters.");
  return *params;
}

}  // namespace

LayerType kind(const Layer& layer) { return params_of(layer).layer_type(); }

int32_t param(const Layer& layer, const std::string& key) { return params_of(layer).get(key); }

Shape first_input(const Layer& layer) {
  const std::vector<Shape> inputs = layer.input_dims();
  if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
  return inputs.front();
}

MappingStatus failure(const Layer& layer, const std::string& message) { return MappingStatus(layer.name(), message); }

}  // namespace ovrix::v1::reads
