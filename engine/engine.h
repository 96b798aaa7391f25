#pragma once
// Free functions of the engine.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/layer.h"
#include "engine/tensor.h"
#include "mapping/mapping_status.h"

namespace ovrix {

// Version text of the engine (UTF-8), or null.
const char* version();

// Fails (naming the layer) when the layer's variable `name` needs more than `bits` bits, counted as
// evaluate_bitwidth counts them; succeeds when the layer has no such variable. The element type
// decides signedness; is_unsigned (false from v2 callers, true from lumo ones) does not change the
// verdict.
MappingStatus check_bitwidth(const Layer& layer, uint32_t bits, const std::string& name, bool is_unsigned);

// Number of bits the values of a tensor need (signed types count the sign bit).
int32_t evaluate_bitwidth(const Dense& tensor);

// One int32 threshold per filter or neuron: 16 x act step, rounded to nearest.
std::unique_ptr<Dense> get_threshold_t16_from_act_steps(const Dense& act_steps);

}  // namespace ovrix
