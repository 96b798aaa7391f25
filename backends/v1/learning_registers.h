#pragma once
// The learning words of a v1 NP register image (words 36 to 39 and 41).
#include <cstdint>
#include <vector>

#include "backends/common/register_fields.h"
#include "engine/params.h"

namespace ovrix::v1 {

inline constexpr RegField W36_LEARNING_ENABLE{36, {28, 1}};
inline constexpr RegField W36_LEARNING_WINNERS{36, {0, 20}};
inline constexpr RegField W37_MIN_PLASTICITY{37, {0, 16}};
inline constexpr RegField W38_PLASTICITY{38, {0, 16}};
inline constexpr RegField W39_LEARNING_CNP_FIRST{39, {0, 16}};
inline constexpr RegField W41_LEARNING_CNP_SECOND{41, {0, 12}};

// With params: sets the learning enable bit and writes the competition, minimum-plasticity and
// plasticity words from num_weights, learning_competition, min_plasticity, initial_plasticity and
// plasticity_decay. Without: only clears the enable bit. A value wider than its field is refused
// with the field-overflow text (the words written before stay written).
void format_learning_common_regs(std::vector<uint32_t>* regs, const LearningParams* params);
void format_learning_cnp_regs(std::vector<uint32_t>* regs, uint32_t first, uint32_t second);

}  // namespace ovrix::v1
