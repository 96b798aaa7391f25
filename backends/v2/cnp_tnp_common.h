#pragma once
// Register fields and per-channel variables that every v2 CNP and TNP-B layer shares: input window
// and partition, data widths, kernel and stride, pooled range, filter range, pooling, merge inputs
// and dual outputs, and the variables block (bias, shifts, scales, clipping).
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "backends/common/mapping_components.h"
#include "backends/v2/np_registers.h"
#include "engine/enums.h"
#include "engine/layer.h"
#include "engine/tensor.h"
#include "mapping/hw_description.h"
#include "mapping/np_split.h"

namespace ovrix {
struct MergeLayerMapInfo;
}

namespace ovrix::v2 {

// ---- Pooling

// Fills a pooling record for a layer without pooling (strides 1, the given output size, no padding,
// flag 0) and answers true.
bool get_no_pooling_params(PoolingCalculatedParams* params, uint32_t width, uint32_t height);

// Word 27 (pool size, stride and flag, and which borders of the input the NP's part touches where the
// pooling pads) and word 2's outbound max-pooling bit.
void format_cnp_pooling_registers(RegisterBlock* regs, const Shape& input, const NpSpace& partition,
                                  uint8_t pool_size, uint8_t pool_stride, bool pool_flag,
                                  const PaddingParams& pool_padding, bool outbound_max_pooling);

// ---- Shared configuration

// What the shared configuration reads besides the split.
struct CommonConfig {
  int32_t kernel_size = 0;
  int32_t stride = 0;
  ActivationType activation = ActivationType::NoActivation;
  uint32_t first_filter = 0;
  uint32_t filter_count = 0;
  uint8_t weights_bits = 0;
  uint32_t np_count = 0;  // NPs of the layer
  bool tnp_b_with_skip_dma = false;
  bool transposed = false;
  uint8_t input_bits = 0;
  uint8_t output_bits = 0;
  bool lut_flag = false;
};

// Words 1, 3, 4, 8 to 11, 20 and 24 to 26, in that order. A field that does not fit is refused and
// the words written before it keep their new values.
void write_common_config_registers(RegisterBlock* regs, const NpSplitInterface& split, const CommonConfig& config);

// The merge record as the merge fields read it.
struct MergeFields {
  bool is_add = false;
  uint32_t channel = 0;
  bool dual_output = false;
  uint32_t dual_output_target = 0;
  bool not_first = true;
};

// Words 52 and 53 of a merge (or word 52's first-layer bit alone when merge is null) and, for a dual
// output, words 1, 47 and 48. A merge needs its skip-DMA load ("Skip DMA load should not be null."),
// a dual output a store.
void write_merge_registers(RegisterBlock* regs, const MergeFields* merge, const hw::Component* skipdma_load,
                           const std::vector<hw::Component>& layer_nps, const std::vector<hw::Component>& stores);

// The whole shared configuration as the layer recorders call it: common words, then, when
// merge_fields is set, the merge words.
void format_cnp_tnp_common_config_registers(RegisterBlock* regs, const NpSplitInterface& split, int kernel_size,
                                            int stride, ActivationType activation, uint32_t first_filter,
                                            uint32_t filter_count, uint8_t weights_bits,
                                            const std::vector<hw::Component>& layer_nps, bool tnp_b_with_skip_dma,
                                            bool transposed, uint8_t input_bits, uint8_t output_bits,
                                            const std::unique_ptr<MergeLayerMapInfo>& merge_info,
                                            const hw::Component* skipdma_load,
                                            const std::vector<hw::Component>& stores, bool lut_flag,
                                            bool merge_fields);

// ---- Variables

// 24-bit words of the input-shift table: eight 3-bit shifts per word.
uint32_t cnp_tnp_input_shift_24b_size(const Dense& input_shift);

// Two words per output channel first_channel .. first_channel + count - 1; each tensor may be null
// (absent variable).
std::vector<uint32_t> format_cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift,
                                               const Dense* activation_shift, const Dense* activation_scales,
                                               const Dense* output_shift, const Dense* bias_shift, const Dense* bias,
                                               const Dense* output_scales, uint32_t first_channel, uint32_t count);

}  // namespace ovrix::v2
