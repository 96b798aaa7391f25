#pragma once
// Recording of a v1 SeparableConvolutional layer mapped onto CNPs: a depthwise then a pointwise
// convolution on the same NP. Registers, pooling word and thresholds as for the standard convolution;
// the weights come as two blocks, the layer's depthwise block (the same on every NP) and the NP's
// pointwise block placed after it.
#include <cstdint>
#include <memory>
#include <vector>

#include "backends/v1/conv_recording.h"

namespace ovrix::v1 {

// The arguments mean what they mean for record_program_conv_layer. Per NP: registers (target 7), then,
// unless registers_only, the depthwise block (target 0), the pointwise block (target 0, header value =
// the depthwise block's size in 16-word units) and the thresholds (target 4).
std::unique_ptr<program::Record> record_program_sep_conv_layer(const Device& device, const Layer& layer,
                                                               std::shared_ptr<Layer> next, bool ib_spikes,
                                                               bool output_flag,
                                                               const std::vector<hw::Ident>& skipped_nps,
                                                               bool registers_only);

// The register image of every NP of a SeparableConvolutional layer that is not skipped.
RegisterMap build_sep_conv_np_regs(const Layer& layer, std::shared_ptr<Layer> next, bool ib_spikes,
                                   bool output_flag, const std::vector<hw::Ident>& skipped_nps);

}  // namespace ovrix::v1
