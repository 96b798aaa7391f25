#pragma once
// The input convolution on the v1 HRC: its eight-word register image, its threshold SRAM words, and
// the recording of its program (registers, the R, G and B weight SRAMs, the threshold SRAM, then the
// start sequence).
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "backends/common/register_fields.h"
#include "engine/device.h"
#include "engine/layer.h"
#include "engine/params.h"
#include "program/record.h"
#include "program/reg_detail.h"

namespace ovrix::v1 {

inline constexpr RegDetail HRC_SRAM_SELECT_R{0, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_G{1, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_B{2, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_TH_STP{31, 1};

inline constexpr uint32_t HRC_REGISTER_WORDS = 8;
inline constexpr RegField HRC0_START{0, {0, 1}};
inline constexpr RegField HRC0_KERNEL{0, {4, 2}};
inline constexpr RegField HRC0_ACT_BITS{0, {8, 2}};
inline constexpr RegField HRC0_ONE_CHANNEL{0, {12, 1}};
inline constexpr RegField HRC0_VALID{0, {13, 1}};
inline constexpr RegField HRC0_POOL_Y{0, {16, 1}};
inline constexpr RegField HRC0_POOL_X{0, {17, 1}};
inline constexpr RegField HRC0_VALID_Y{0, {20, 1}};
inline constexpr RegField HRC0_VALID_X{0, {21, 1}};
inline constexpr RegField HRC1_STRIDE_Y{1, {0, 3}};
inline constexpr RegField HRC1_STRIDE_X{1, {4, 3}};
inline constexpr RegField HRC2_PAD_R{2, {0, 8}};
inline constexpr RegField HRC2_PAD_G{2, {8, 8}};
inline constexpr RegField HRC2_PAD_B{2, {16, 8}};
inline constexpr RegField HRC3_BUILD_3{3, {0, 3}};
inline constexpr RegField HRC3_BUILD_4{3, {4, 3}};
inline constexpr RegField HRC3_BUILD_1{3, {8, 3}};
inline constexpr RegField HRC3_BUILD_2{3, {12, 3}};
inline constexpr RegField HRC4_RESERVED_0{4, {0, 9}};
inline constexpr RegField HRC4_LAST_FILTER{4, {16, 9}};

// Register addresses of the HRC blocks.
inline constexpr uint16_t HRC_CONTROL_ADDRESS = 0;
inline constexpr uint16_t HRC_REGISTERS_ADDRESS = 8;
inline constexpr uint16_t HRC_SELECT_ADDRESS = 32;
inline constexpr uint16_t HRC_SRAM_ADDRESS = 40;

// Two words per channel: the threshold as 24-bit two's complement, then the raw step.
void format_hrc_thresholds(std::vector<uint32_t>* out, const Dense& threshold, const Dense& steps);
// The register image of the layer's parameters and its four build values.
std::vector<uint32_t> format_hrc_registers(const LayerParams& params, const std::array<uint32_t, 4>& build_values);
// Selects one SRAM (a select block) then loads data into it; nothing for empty data.
void load_hrc_sram(program::Record* record, const RegDetail& select, const std::vector<uint32_t>& data);
std::unique_ptr<program::Record> record_program_hrc_layer(const Device& device, const Layer& layer);

}  // namespace ovrix::v1
