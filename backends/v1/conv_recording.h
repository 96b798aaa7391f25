#pragma once
// Recording of a v1 Convolutional layer mapped onto CNPs: for every NP its 50-word register image, its
// share of the weights and of the thresholds, as DMA blocks of one record. The register writers of
// this file serve the separable convolution too.
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/hw_description.h"
#include "mapping/hw_types.h"
#include "program/record.h"

namespace ovrix::v1 {

using RegisterMap = std::map<hw::Ident, std::vector<uint32_t>>;

// The program of a Convolutional layer: per NP of its mapping, in mapping order and leaving out the
// NPs of skipped_nps, the registers (DMA target 7) then, unless registers_only, the weights (target 0)
// and the thresholds (target 4). next: the layer that follows on the same NPs (may be null), whose
// input the shared NPs' partial-reconfiguration words describe; ib_spikes sets the input-buffer spike
// flag; output_flag goes to the output-routing word. Any error abandons the whole record.
std::unique_ptr<program::Record> record_program_conv_layer(const Device& device, const Layer& layer,
                                                           std::shared_ptr<Layer> next, bool ib_spikes,
                                                           bool output_flag,
                                                           const std::vector<hw::Ident>& skipped_nps,
                                                           bool registers_only);

// The register image of every NP of a Convolutional layer that is not skipped.
RegisterMap build_conv_np_regs(const Layer& layer, std::shared_ptr<Layer> next, bool ib_spikes, bool output_flag,
                               const std::vector<hw::Ident>& skipped_nps);

// The split-dependent CNP fields of one NP: words 1, 3, 4, 8 to 11, 20, 24 to 26, 28, 29 and 36. window:
// the part of the input the NP covers (the component's spatial partition); cut: the part of it the NP
// keeps in its SRAM (the component's input window). The first field that does not fit ends the write
// with its error and leaves the words written before it.
void format_cnp_regs(std::vector<uint32_t>* regs, const Shape& input_shape, uint8_t layer_number, uint8_t input_bits,
                     int kernel_width, int stride_x, const PaddingParams& conv_padding, bool activation,
                     uint32_t act_bits, NpSpace window, const NpSpace& cut, uint32_t pool_width, uint8_t pool_stride,
                     const PaddingParams& pool_padding, uint32_t filters, uint32_t first_filter, uint32_t nb_nps,
                     bool single_buffer);

// Word 27: pooling width, stride and flag, and which input borders the window touches where the pooling
// pads.
void format_cnp_pooling_regs(std::vector<uint32_t>* regs, const Shape& input_shape, const NpSpace& window,
                             uint8_t pool_width, uint8_t pool_stride, bool pool_flag,
                             const PaddingParams& pool_padding);

}  // namespace ovrix::v1
