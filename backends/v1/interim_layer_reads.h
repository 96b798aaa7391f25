#pragma once
// Small reads of a layer that every v1 file needs. Interim: they go once the editions share their
// layer helpers; nothing here is v1-specific.
#include <cstdint>
#include <string>

#include "engine/layer.h"
#include "mapping/mapping_status.h"

namespace ovrix::v1::reads {

// The kind of the layer's parameters; std::runtime_error when the layer has none.
LayerType kind(const Layer& layer);
// An integer parameter by key; the engine's std::invalid_argument when absent.
int32_t param(const Layer& layer, const std::string& key);
// The first input shape (width, height, channels); the engine's error before it is set.
Shape first_input(const Layer& layer);
// A failing status for the layer with that message.
MappingStatus failure(const Layer& layer, const std::string& message);

}  // namespace ovrix::v1::reads
