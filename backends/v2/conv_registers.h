#pragma once
// Register blocks of the NPs that run a v2 convolution (standard, depthwise, transposed, transposed
// depthwise): one 64-word block per NP of the layer's mapping, keyed by the NP's identifier.
#include <map>
#include <memory>
#include <vector>

#include "backends/v2/np_registers.h"
#include "engine/layer.h"
#include "mapping/hw_types.h"

namespace ovrix::v2 {

using RegisterMap = std::map<hw::Ident, RegisterBlock>;

// next_layer: the first layer of the next pass (null for the last pass); NPs it shares with this
// layer get its partial-reconfiguration words. starts_pass sets the input-buffer spikes bit,
// ends_pass marks the end of the pass in the routing words, excluded_nps get no block,
// registers_only writes the registers of an NP the pass does not use, lut_flag goes to word 1.
RegisterMap format_conv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool starts_pass,
                                       bool ends_pass, const std::vector<hw::Ident>& excluded_nps,
                                       bool registers_only, bool lut_flag);
RegisterMap format_dwconv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool starts_pass,
                                         bool ends_pass, const std::vector<hw::Ident>& excluded_nps,
                                         bool registers_only, bool lut_flag);
RegisterMap format_transposed_conv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer,
                                                  bool starts_pass, bool ends_pass,
                                                  const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                  bool lut_flag);
RegisterMap format_transposed_dwconv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer,
                                                    bool starts_pass, bool ends_pass,
                                                    const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                    bool lut_flag);

}  // namespace ovrix::v2
