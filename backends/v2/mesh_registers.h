#pragma once
// Where a v2 NP sits in the mesh: the configuration DMA of an FNP, where the NP's output goes and
// where its input comes from, the pairing with an alternate layer, and the partial-reconfiguration
// words that describe the layer the same NP runs next.
#include <cstdint>
#include <memory>
#include <vector>

#include "backends/common/mapping_components.h"
#include "backends/v2/np_registers.h"
#include "engine/layer.h"
#include "mapping/hw_description.h"
#include "mapping/layer_mapping.h"

namespace ovrix::v2 {

// Word 49: the configuration DMA that serves an FNP.
void format_mesh_cfg_dma_reg(RegisterBlock* regs, const hw::Ident& dma);

// How an NP's input and output are routed (words 44 to 46).
struct MeshRouting {
  bool p2p_in = false;       // the input comes point to point from one component
  bool p2p_out = false;      // the output goes point to point to one component
  bool end_of_pass = false;  // the NP's layer ends its pass
};

// Words 44 to 47 (and word 52 with an alternate layer). inputs: the components that feed the NP;
// layer_nps: the layer's own; outputs: those it sends to. Point-to-point modes need exactly one
// component on their side ("Cannot use P2P OUT mode for multiple NPs.", "Cannot use P2P IN mode for
// multiple NPs."); an empty side has no column range and is refused.
void format_mesh_registers_set_output_to_NPs(RegisterBlock* regs, const std::vector<hw::Component>& inputs,
                                             const std::vector<hw::Component>& layer_nps,
                                             const std::vector<hw::Component>& outputs,
                                             const std::unique_ptr<AltLayerMapInfo>& alt, uint8_t out_param,
                                             MeshRouting routing);
// The same with the routing's three flags as arguments.
inline void format_mesh_registers_set_output_to_NPs(RegisterBlock* regs, const std::vector<hw::Component>& inputs,
                                                    const std::vector<hw::Component>& layer_nps,
                                                    const std::vector<hw::Component>& outputs,
                                                    const std::unique_ptr<AltLayerMapInfo>& alt, uint8_t out_param,
                                                    bool p2p_in, bool p2p_out, bool end_of_pass) {
  format_mesh_registers_set_output_to_NPs(regs, inputs, layer_nps, outputs, alt, out_param,
                                          MeshRouting{p2p_in, p2p_out, end_of_pass});
}

// Partial-reconfiguration words for the layer that the NP runs next: `np` is that layer's component
// with the NP's identifier.
void update_partial_reconfig_regs(RegisterBlock* regs, const Layer& layer, const hw::Component& np, bool end_of_pass);
// The same for the layer after this one (if any, and mapped) when it runs on the NP `np` too.
void update_partial_reconfig_regs_for_next(RegisterBlock* regs, const Layer* next_layer, const hw::Ident& np,
                                           bool end_of_pass);

}  // namespace ovrix::v2
