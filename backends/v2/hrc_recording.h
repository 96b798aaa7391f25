#pragma once
// Recording of the first convolution of a model (InputConv2D) on the v2 HRC: its five configuration
// registers, then its SRAMs (weights of the three input channels, lookup table, activation
// parameters) written through a select-then-write protocol, then the start of the block.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/device.h"
#include "engine/layer.h"
#include "program/record.h"
#include "program/reg_detail.h"

namespace ovrix::v2 {

// Which HRC SRAM the next data block goes to: one bit of the select word.
inline constexpr RegDetail HRC_SRAM_SELECT_R{0, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_G{1, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_B{2, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_LUT{29, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_ACT{31, 1};

// The HRC configuration registers, word by word.
struct HrcRegField {
  uint32_t word;
  RegDetail bits;
};
namespace hrc {
inline constexpr uint32_t REGISTER_WORDS = 5;
inline constexpr HrcRegField W0_ENABLE{0, {0, 1}};
inline constexpr HrcRegField W0_KERNEL_SIZE{0, {4, 3}};
inline constexpr HrcRegField W0_OUTPUT_BITS{0, {8, 2}};
inline constexpr HrcRegField W0_RELU{0, {10, 1}};
inline constexpr HrcRegField W0_LUT{0, {11, 1}};
inline constexpr HrcRegField W0_ONE_CHANNEL{0, {12, 1}};
inline constexpr HrcRegField W0_VALID_PADDING{0, {13, 1}};
inline constexpr HrcRegField W0_LUT_OUTPUT{0, {15, 1}};
inline constexpr HrcRegField W0_MAX_POOLING{0, {16, 2}};
inline constexpr HrcRegField W0_VALID_BORDERS{0, {20, 2}};
inline constexpr HrcRegField W0_POOL_SIZE_X{0, {24, 4}};
inline constexpr HrcRegField W0_POOL_SIZE_Y{0, {28, 4}};
inline constexpr HrcRegField W1_STRIDE_X{1, {0, 5}};
inline constexpr HrcRegField W1_STRIDE_Y{1, {8, 5}};
inline constexpr HrcRegField W1_POOL_STRIDE_X{1, {16, 4}};
inline constexpr HrcRegField W1_POOL_STRIDE_Y{1, {24, 4}};
inline constexpr HrcRegField W2_PADDING_VALUE[3] = {{2, {0, 8}}, {2, {8, 8}}, {2, {16, 8}}};
inline constexpr HrcRegField W3_PAD_X_BEFORE{3, {0, 2}};
inline constexpr HrcRegField W3_PAD_X_AFTER{3, {4, 2}};
inline constexpr HrcRegField W3_PAD_Y_BEFORE{3, {8, 2}};
inline constexpr HrcRegField W3_PAD_Y_AFTER{3, {12, 2}};
inline constexpr HrcRegField W4_RESERVED_0{4, {0, 9}};
inline constexpr HrcRegField W4_LAST_FILTER{4, {16, 9}};

// Register and SRAM addresses of the HRC's configuration blocks.
inline constexpr uint16_t CONTROL_ADDRESS = 0;
inline constexpr uint16_t REGISTERS_ADDRESS = 8;
inline constexpr uint16_t SRAM_SELECT_ADDRESS = 32;
inline constexpr uint16_t SRAM_DATA_ADDRESS = 40;
}  // namespace hrc

using HrcRegisters = std::array<uint32_t, hrc::REGISTER_WORDS>;

// What the configuration registers are made of.
struct HrcConfig {
  int32_t kernel_size = 0;
  int32_t output_bits = 0;
  int32_t activation = 0;
  uint32_t input_channels = 0;
  int32_t padding = 0;
  int32_t pool_type = 0;
  int32_t pool_size = 0;
  int32_t pool_stride = 0;
  int32_t kernel_stride = 0;
  const Dense* padding_value = nullptr;  // up to three values, one per input channel; may be null
  PaddingParams conv_padding;
  int32_t filters = 0;
};

// The five registers, word 0 with its enable bit set. Refuses what the HRC cannot run: "Wrong kernel
// size at HRC recording.", "Wrong output bitwidth when programming HRC: <n>-bit found\nonly 8-bit and
// 4-bit are supported.", "Wrong number of channles at HRC recording.", "Wrong padding at HRC
// recording.", "Wrong pooling at HRC recording.", and values wider than their fields.
HrcRegisters format_hrc_registers(const HrcConfig& config);

// The HRC program of the layer (all its tracks on the HRC, identifier 0.0.0.0). A variable it needs
// and the layer lacks (a lookup-table layer without "lut_values", "activation_shift" or
// "activation_scales" included) is refused naming the layer and the variable.
std::unique_ptr<program::Record> record_program_input_conv2d_layer(const Device& device, const Layer& layer);

// 32-bit words of the HRC's weight and activation SRAM data of the layer, padded to the extended DMA
// block format when it needs it.
uint32_t get_hrc_sram_size(const Layer& layer);

}  // namespace ovrix::v2
