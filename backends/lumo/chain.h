#pragma once
// Walking a chain of TNP-R layers: each next layer is the first outbound layer. The sizes, the rules
// and the recorder all walk chains through these helpers. A layer's input is (d0, timesteps,
// channels), read with first_input_shape.
#include <cstdint>

#include "engine/layer.h"
#include "backends/common/layer_queries.h"
#include "engine/tensor.h"

namespace ovrix::lumo {

bool is_tnpr(const Layer& layer);
bool is_recurrent(const Layer& layer);
bool is_post_processing(const Layer& layer);

// The layer's first outbound layer, or null.
const Layer* first_outbound_layer(const Layer& layer);

// A StatefulRecurrent layer starts its chain when its first inbound layer runs on no hardware
// component (or it has no inbound layer at all).
bool starts_chain(const Layer& layer);

// Integer parameter of a layer, 0 when the layer lacks it.
int32_t param_or_zero(const Layer& layer, const char* key);

// The variable of a layer, or null when it has none.
std::shared_ptr<Dense> variable(const Layer& layer, const char* name);

}  // namespace ovrix::lumo
