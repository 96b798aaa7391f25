#pragma once
// Recording of a v2 convolution layer already mapped onto CNPs: for every NP its register block,
// weights, input shifts, variables, and when needed its lookup table and merge shifts, followed by
// the layer's skip-DMA channel writes.
#include <memory>
#include <vector>

#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/hw_types.h"
#include "program/record.h"

namespace ovrix::v2 {

// The arguments are those of LayerRecorder::record_layer (see conv_registers.h); registers_only
// records the register blocks alone. A layer of another kind is refused with
// "Invalid layer type for CNP recording."; a variable the recording needs and the layer lacks is
// refused naming the layer and the variable.
std::unique_ptr<program::Record> record_program_conv2d_layer(const Device& device, const Layer& layer,
                                                             std::shared_ptr<Layer> next_layer, bool starts_pass,
                                                             bool ends_pass,
                                                             const std::vector<hw::Ident>& excluded_nps,
                                                             bool registers_only, bool lut_flag);
std::unique_ptr<program::Record> record_program_dwconv2d_layer(const Device& device, const Layer& layer,
                                                               std::shared_ptr<Layer> next_layer, bool starts_pass,
                                                               bool ends_pass,
                                                               const std::vector<hw::Ident>& excluded_nps,
                                                               bool registers_only, bool lut_flag);
std::unique_ptr<program::Record> record_program_transposed_conv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_layer, bool starts_pass, bool ends_pass,
    const std::vector<hw::Ident>& excluded_nps, bool registers_only, bool lut_flag);
std::unique_ptr<program::Record> record_program_transposed_dwconv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_layer, bool starts_pass, bool ends_pass,
    const std::vector<hw::Ident>& excluded_nps, bool registers_only, bool lut_flag);

// The layer's variable; an absent one is refused naming the layer and the variable
// (std::runtime_error).
std::shared_ptr<Dense> required_variable(const Layer& layer, const std::string& name);
// The layer's variable, or null when the layer has none of that name.
std::shared_ptr<Dense> optional_variable(const Layer& layer, const std::string& name);

}  // namespace ovrix::v2
