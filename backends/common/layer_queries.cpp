#include "backends/common/layer_queries.h"

#include <fmt/format.h>

#include <stdexcept>

#include "engine/variables.h"

namespace ovrix {

Shape first_input_shape(const Layer& layer) {
  const std::vector<Shape> inputs = layer.input_dimensions();
  if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
  return inputs.front();
}

int32_t layer_param(const Layer& layer, const std::string& key) {
  const LayerParams* params = layer.params();
  if (params == nullptr || !params->has(key))
    throw std::invalid_argument(fmt::format("Layer '{}' has no parameter \"{}\".", layer.get_name(), key));
  return params->get(key);
}

int64_t layer_filters(const Layer& layer) {
  const LayerParams* params = layer.params();
  if (params != nullptr && params->has("filters")) return params->get("filters");
  return first_input_shape(layer)[2];
}

std::shared_ptr<Dense> layer_variable(const Layer& layer, const std::string& name) {
  const auto variables = layer.variables();
  auto tensor = variables ? variables->get(name) : nullptr;
  if (!tensor) throw std::runtime_error(fmt::format("The layer {} has no variable '{}'.", layer.get_name(), name));
  return tensor;
}

std::optional<Shape> variable_shape(const Layer& layer, const std::string& name) {
  const auto variables = layer.variables();
  if (!variables || !variables->has(name)) return std::nullopt;
  if (const auto* own = dynamic_cast<const VariablesImpl*>(variables.get())) {
    if (const auto stored = own->stored(name)) return stored->shape();
    if (const VariablesImpl::Spec* spec = own->spec(name)) return spec->shape;
  }
  return variables->get(name)->shape();
}

}  // namespace ovrix
