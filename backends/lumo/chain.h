#pragma once
// Walking a chain of TNP-R layers: each next layer is the first outbound layer. The sizes, the rules
// and the recorder all walk chains through these helpers.
#include <cstdint>

#include "engine/layer.h"
#include "engine/tensor.h"

namespace ovrix::lumo {

LayerType type_of(const Layer& layer);
bool is_tnpr(const Layer& layer);
bool is_recurrent(const Layer& layer);
bool is_post_processing(const Layer& layer);

// The layer's first outbound layer, or null.
const Layer* first_outbound_layer(const Layer& layer);

// A StatefulRecurrent layer starts its chain when its first inbound layer runs on no hardware
// component (or it has no inbound layer at all).
bool starts_chain(const Layer& layer);

// First input shape of a layer: (d0, timesteps, channels); std::out_of_range when it has none.
Shape first_input(const Layer& layer);

// Integer parameter of a layer, 0 when the layer lacks it.
int32_t param_or_zero(const Layer& layer, const char* key);

// The variable of a layer, or null when it has none.
std::shared_ptr<Dense> variable(const Layer& layer, const char* name);

// 32-bit words of one packed input row of b-bit values over c channels: (b c + 31) / 32, 1 when that
// is at most 1, else the smallest power of two not below it.
uint32_t input_row_words(uint32_t bits, uint32_t channels);

}  // namespace ovrix::lumo
