#pragma once
// What the editions' rules and recorders read of a layer: its first input shape, its filters and its
// parameters by name, each refusing what is missing; and its kind (mapping/graph_utils.h).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/layer.h"
#include "mapping/graph_utils.h"

namespace ovrix {

// The layer's first input shape (width, height, channels).
Shape first_input_shape(const Layer& layer);
// The parameter "filters" when the layer has it, else its input channels.
int64_t layer_filters(const Layer& layer);
// The value of a parameter; a missing one is refused naming the layer (std::invalid_argument).
int32_t layer_param(const Layer& layer, const std::string& key);
// The variable of that name; a missing one is refused naming the layer (std::runtime_error
// "The layer <name> has no variable '<variable>'.").
std::shared_ptr<Dense> layer_variable(const Layer& layer, const std::string& name);
// The shape of a variable, without making the tensor of one never set (it would be made full of
// zeros on first read, however large); nothing when the layer has no such variable.
std::optional<Shape> variable_shape(const Layer& layer, const std::string& name);

}  // namespace ovrix
