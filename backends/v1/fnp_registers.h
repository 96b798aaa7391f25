#pragma once
// The register image of a dense layer on a v1 FNP and the recording of its program (register words,
// then the weight memory: in the FNP3's own memory, or in the FNP2 filters track for external memory).
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "backends/common/register_fields.h"
#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/hw_description.h"
#include "program/record.h"
#include "program/reg_detail.h"

namespace ovrix::v1 {

// ---- Fields the hardware names (bit ranges of the words given beside them)
inline constexpr RegDetail REG2_NP2NP_CFG{20, 2};     // word 1
inline constexpr RegDetail REG2_CNP4FNP_NUM{24, 2};   // word 1
inline constexpr RegDetail REG11_CH_SIZE{12, 18};     // word 11
inline constexpr RegDetail FNP1_FPKT_WSIZE{0, 18};    // word 14
inline constexpr RegDetail FNP2_FN_TOTAL{0, 17};      // word 15
inline constexpr RegDetail FNP3_OB_TYPE{28, 2};       // word 16
inline constexpr RegDetail FNP4_W_SIZE_LAST{0, 16};   // word 17
inline constexpr RegDetail FNP4_W_BLK_COUNT{20, 4};   // word 17

inline constexpr RegField W1_NP2NP_CFG{1, REG2_NP2NP_CFG};
inline constexpr RegField W1_CNP4FNP_NUM{1, REG2_CNP4FNP_NUM};
inline constexpr RegField W3_FNP_WEIGHTS_MODE{3, {4, 2}};
inline constexpr RegField W3_FNP_MULTIBIT_WEIGHTS{3, {7, 1}};
inline constexpr RegField W10_FNP_HEIGHT{10, {0, 11}};
inline constexpr RegField W10_FNP_WIDTH{10, {16, 11}};
inline constexpr RegField W11_CHANNEL_SIZE{11, REG11_CH_SIZE};
inline constexpr RegField W12_WEIGHT_BLOCK_UNITS{12, {24, 8}};
inline constexpr RegField W14_FNP_PACKET_ENABLE{14, {31, 1}};
inline constexpr RegField W14_PACKET_WORDS{14, FNP1_FPKT_WSIZE};
inline constexpr RegField W15_NEURONS{15, FNP2_FN_TOTAL};
inline constexpr RegField W16_RESERVED_0{16, {0, 18}};
inline constexpr RegField W16_OUTPUT_TYPE{16, FNP3_OB_TYPE};
inline constexpr RegField W17_WEIGHT_WORDS{17, FNP4_W_SIZE_LAST};
inline constexpr RegField W17_WEIGHT_BLOCKS{17, FNP4_W_BLK_COUNT};

inline constexpr dma::Target kFnpRegistersTarget = dma::Target::NpRegisters;
inline constexpr dma::Target kFnpWeightsTarget = dma::Target::Fnp3WeightMemory;

// The register image of the layer's first component, keyed by its identifier; built for learning
// with the layer's learning parameters (learning stays off when it has none). A value wider than its
// field is refused with the field-overflow text; 4-bit inputs need single-buffer mode
// (std::invalid_argument).
std::map<hw::Ident, std::vector<uint32_t>> format_fnp_regs(const Device& device, const Layer& layer, bool learning,
                                                           std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                           bool routing_flag);

// The dense layer's program: its register words then, unless registers_only, its weight memory; an
// empty record when its NP is left out.
std::unique_ptr<program::Record> record_program_dense_layer(const Device& device, const Layer& layer,
                                                            std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                            bool routing_flag,
                                                            const std::vector<hw::Ident>& skipped_nps,
                                                            bool registers_only);

// The layer's weight memory with its thresholds and steps, as recorded.
std::vector<uint32_t> format_layer_fnp_ram(const Layer& layer);

}  // namespace ovrix::v1
