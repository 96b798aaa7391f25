#pragma once
// Where a v1 NP sits in the mesh: the configuration DMA that serves it, where its output goes and where
// its input comes from, the input-buffer spike flag, and the partial-reconfiguration words that describe
// the input of the layer the same NP runs next.
#include <cstdint>
#include <vector>

#include "engine/layer.h"
#include "mapping/hw_description.h"

namespace ovrix::v1 {

// Word 49: row, column and one-hot position of the configuration DMA; bits 20-31 kept.
void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, const hw::Ident& ident);

// Words 44 to 47. first: the components feeding the NP; second: the layer's own; third: those it sends
// to; n: the destination routing byte (255: none). A point-to-point side needs exactly one component
// ("Cannot use P2P mode for multiple NPs."); a side that needs a column range needs at least one
// (std::runtime_error).
void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs, const std::vector<hw::Component>& first,
                                             const std::vector<hw::Component>& second,
                                             const std::vector<hw::Component>& third, uint8_t n, bool p2p_first,
                                             bool p2p_third, bool r);

// Word 2 bit 7.
void set_ib_spikes(std::vector<uint32_t>* regs);

// Words 32 to 35, 4 and 14 for `layer`, the mapped layer that follows on the NP, and `component`, its
// component on that NP.
void update_partial_reconfig_regs(std::vector<uint32_t>* regs, const Layer& layer, const hw::Component& component);

}  // namespace ovrix::v1
