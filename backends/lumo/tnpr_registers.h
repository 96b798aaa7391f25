#pragma once
// The sixteen configuration registers of the TNP-R, built from the summary of one chain.
#include <bitset>
#include <cstdint>
#include <vector>

#include "backends/common/register_fields.h"
#include "program/reg_detail.h"

namespace ovrix::lumo {

// Summary of a recorded chain; every field starts at zero, so the per-layer entries past the chain
// stay 0.
struct TnprConfig {
  uint32_t layer_count = 0;     // N: the recurrent layers and the closing post-processing layer
  std::bitset<8> relu_layers;   // bit i: layer i applies ReLU
  uint8_t input_bits = 0;       // of the first layer
  uint8_t output_bits = 0;      // 16 with post-processing, else the last recurrent layer's
  bool post_processing = false;
  uint32_t input_row_words = 0;
  uint32_t timesteps = 0;       // with post-processing: the first layer's timesteps
  uint32_t tsram_input_shift_base = 0;
  uint32_t tsram_output_base = 0;
  uint32_t cbuf_base = 0;       // with post-processing: (N - 1) x stateful_channels
  uint32_t subsample[8] = {};
  uint32_t stateful_channels = 0;
  uint32_t output_channels[8] = {};
  uint32_t input_channels[8] = {};
};

// Named fields of the register block (word index, then the bit range in that word).
inline constexpr uint32_t TNPR_REG_WORDS = 16;
inline constexpr uint32_t REG_CONTROL = 0;
inline constexpr RegDetail CONTROL_LAST_LAYER{0, 3};  // N - 1
inline constexpr RegDetail CONTROL_POST_PROCESSING{17, 1};
inline constexpr RegDetail CONTROL_OUTPUT_16B{18, 1};
inline constexpr RegDetail CONTROL_INPUT_16B{19, 1};
inline constexpr RegDetail CONTROL_POST_PROCESSING_OUT{20, 1};
inline constexpr RegDetail CONTROL_OUTPUT_WIDE{22, 1};
inline constexpr uint32_t REG_INPUT = 1;
inline constexpr RegDetail INPUT_ROW_WORDS{0, 8};
inline constexpr RegDetail INPUT_TIMESTEPS{8, 8};
inline constexpr uint32_t REG_TSRAM_BASES = 3;
inline constexpr RegDetail TSRAM_INPUT_SHIFT_BASE{0, 16};
inline constexpr RegDetail TSRAM_OUTPUT_BASE{16, 16};
inline constexpr uint32_t REG_CBUF = 4;
inline constexpr RegDetail CBUF_BASE_ADDR{0, 16};
inline constexpr uint32_t REG_SUBSAMPLE = 5;
inline constexpr RegDetail SUBSAMPLE_LAYERS[8] = {{0, 2}, {2, 2}, {4, 2}, {6, 2}, {8, 2}, {10, 2}, {12, 2}, {14, 2}};
inline constexpr uint32_t REG_STATE = 6;
inline constexpr RegDetail INTERNAL_STATE_SIZE{0, 9};
// Output channels of layers 0-7: two a word from word 7; input channels likewise from word 11.
inline constexpr uint32_t REG_COUT_FIRST = 7;
inline constexpr uint32_t REG_CIN_FIRST = 11;
inline constexpr RegDetail LAYER_0_COUT_SIZE{0, 9};
inline constexpr RegDetail LAYER_1_COUT_SIZE{9, 9};
inline constexpr RegDetail LAYER_2_COUT_SIZE{0, 9};
inline constexpr RegDetail LAYER_3_COUT_SIZE{9, 9};
inline constexpr RegDetail LAYER_4_COUT_SIZE{0, 9};
inline constexpr RegDetail LAYER_5_COUT_SIZE{9, 9};
inline constexpr RegDetail LAYER_6_COUT_SIZE{0, 9};
inline constexpr RegDetail LAYER_7_COUT_SIZE{9, 9};
inline constexpr RegDetail LAYER_COUT_SIZE[8] = {LAYER_0_COUT_SIZE, LAYER_1_COUT_SIZE, LAYER_2_COUT_SIZE,
                                                 LAYER_3_COUT_SIZE, LAYER_4_COUT_SIZE, LAYER_5_COUT_SIZE,
                                                 LAYER_6_COUT_SIZE, LAYER_7_COUT_SIZE};
inline constexpr RegDetail LAYER_0_CIN_SIZE{0, 9};
inline constexpr RegDetail LAYER_1_CIN_SIZE{9, 9};
inline constexpr RegDetail LAYER_2_CIN_SIZE{0, 9};
inline constexpr RegDetail LAYER_3_CIN_SIZE{9, 9};
inline constexpr RegDetail LAYER_4_CIN_SIZE{0, 9};
inline constexpr RegDetail LAYER_5_CIN_SIZE{9, 9};
inline constexpr RegDetail LAYER_6_CIN_SIZE{0, 9};
inline constexpr RegDetail LAYER_7_CIN_SIZE{9, 9};
inline constexpr RegDetail LAYER_CIN_SIZE[8] = {LAYER_0_CIN_SIZE, LAYER_1_CIN_SIZE, LAYER_2_CIN_SIZE,
                                                LAYER_3_CIN_SIZE, LAYER_4_CIN_SIZE, LAYER_5_CIN_SIZE,
                                                LAYER_6_CIN_SIZE, LAYER_7_CIN_SIZE};
inline constexpr uint32_t REG_LAYER_FLAGS = 15;
inline constexpr RegDetail FLAGS_POST_LAST{0, 8};       // the bit of the last layer
inline constexpr RegDetail FLAGS_POST_LAST_TWO{8, 8};   // the bits of the last two layers
inline constexpr RegDetail FLAGS_RELU_LAYERS{16, 8};

// The sixteen words, fields written in word order (the layer count first); a value wider than its
// field is refused through set_field ("Attempted to write value ...").
RegisterBlock format_tnpr_registers(const TnprConfig& config);

}  // namespace ovrix::lumo
