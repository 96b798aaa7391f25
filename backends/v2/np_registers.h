#pragma once
// The 64-word register block of a v2 NP (CNP, FNP, TNP-B): every field as a named bit range of a
// named word, grouped by word, written through write_field (backends/common/register_fields.h).
//
// Names of the form REGn_/CNPn_/PR1_ are the hardware's own; they do not follow the word index
// (REG4_NP_NUM lies in word 3). Names of the form Wn_ are ours and carry their word index n.
#include <cstdint>
#include <vector>

#include "backends/common/register_fields.h"
#include "program/reg_detail.h"

namespace ovrix::v2 {

inline constexpr uint32_t NP_REGISTER_WORDS = 64;

// ---- Word 1: activation and output routing modes
inline constexpr RegField W1_RESERVED_4{1, {4, 1}};
inline constexpr RegField W1_RESERVED_7{1, {7, 1}};
inline constexpr RegField W1_ACTIVATION_LUT{1, {20, 1}};
inline constexpr RegField W1_TNP_B_SKIP_DMA{1, {22, 1}};
inline constexpr RegField W1_LUT_FLAG{1, {29, 1}};
inline constexpr RegField W1_DUAL_OUTPUT{1, {31, 1}};

// ---- Word 2: input buffer
inline constexpr RegField W2_IB_SPIKES{2, {7, 1}};
inline constexpr RegField W2_OUTBOUND_MAX_POOLING{2, {8, 1}};

// ---- Word 3: data widths, NP count and number
inline constexpr RegField W3_INPUT_BITS_MODE{3, {0, 2}};
inline constexpr RegField W3_DEPTHWISE{3, {2, 1}};
inline constexpr RegField W3_WEIGHTS_4BIT{3, {3, 1}};
inline constexpr RegField W3_WEIGHTS_MODE{3, {4, 2}};
inline constexpr RegField W3_WEIGHTS_8BIT{3, {7, 1}};
inline constexpr RegField REG4_IB_CH_GRP_EN{3, {10, 1}};
inline constexpr RegField W3_OUTPUT_BITS_MODE{3, {12, 2}};
inline constexpr RegField W3_NO_RELU_OUTPUT{3, {14, 1}};
inline constexpr RegField W3_RELU{3, {15, 1}};
inline constexpr RegField REG4_NP_NUM{3, {16, 8}};
inline constexpr RegField W3_NP_NUMBER{3, {24, 8}};

// ---- Word 4: packet SRAM
inline constexpr RegField REG5_CPKSRAM_SIZE{4, {0, 16}};
inline constexpr RegField W4_RESERVED_29{4, {29, 2}};
inline constexpr RegField W4_ENABLE{4, {31, 1}};

// ---- Word 8: input partition size and window offsets (i along y, j along x)
inline constexpr RegField REG8_II_SIZE{8, {0, 11}};
inline constexpr RegField REG8_II_OFFSET{8, {12, 3}};
inline constexpr RegField REG8_JJ_SIZE{8, {16, 11}};
inline constexpr RegField REG8_JJ_OFFSET{8, {28, 3}};

// ---- Word 9: input window origin and stride phases
inline constexpr RegField REG9_I_ORIG_CUT{9, {0, 12}};
inline constexpr RegField REG9_I_CONV_STRD_OFFSET{9, {12, 1}};
inline constexpr RegField W9_J_ORIG_CUT{9, {16, 12}};
inline constexpr RegField W9_J_CONV_STRD_OFFSET{9, {28, 1}};

// ---- Word 10: input window size
inline constexpr RegField W10_I_WINDOW_SIZE{10, {0, 11}};
inline constexpr RegField W10_J_WINDOW_SIZE{10, {16, 11}};

// ---- Word 11: input and channel containers
inline constexpr RegField W11_ICONT_SIZE{11, {0, 8}};
inline constexpr RegField REG11_CHCONT_SIZE{11, {12, 18}};

// ---- Word 20: convolution mode
inline constexpr RegField W20_STRIDE_2{20, {8, 1}};
inline constexpr RegField W20_TRANSPOSED{20, {9, 1}};
inline constexpr RegField W20_RESERVED_10{20, {10, 1}};
inline constexpr RegField W20_RESERVED_16{20, {16, 11}};
inline constexpr RegField W20_KERNEL_SIZE{20, {28, 3}};

// ---- Words 21, 22: filters and channel cut
inline constexpr RegField CNP2_TF_TOTAL{21, {0, 11}};
inline constexpr RegField CNP3_CH_ORIG_CUT{22, {0, 12}};
inline constexpr RegField CNP3_CH_SIZE_CUT{22, {16, 10}};

// ---- Words 24, 25: pooled output range
inline constexpr RegField W24_FIRST_POOLED_ROW{24, {0, 12}};
inline constexpr RegField W24_FIRST_POOLED_COLUMN{24, {16, 12}};
inline constexpr RegField W25_ROW_COUNT_TERM{25, {0, 10}};
inline constexpr RegField W25_COLUMN_COUNT_TERM{25, {16, 8}};

// ---- Word 26: filter range
inline constexpr RegField W26_FIRST_FILTER{26, {0, 11}};
inline constexpr RegField W26_FILTER_COUNT{26, {16, 10}};

// ---- Word 27: pooling
inline constexpr RegField W27_POOL_SIZE{27, {0, 3}};
inline constexpr RegField W27_POOL_STRIDE{27, {4, 3}};
inline constexpr RegField W27_POOL_FLAG{27, {8, 1}};
inline constexpr RegField W27_RESERVED_9{27, {9, 1}};
inline constexpr RegField W27_PAD_RIGHT{27, {12, 1}};
inline constexpr RegField W27_PAD_LEFT{27, {13, 1}};
inline constexpr RegField W27_PAD_BOTTOM{27, {14, 1}};
inline constexpr RegField W27_PAD_TOP{27, {15, 1}};

// ---- Words 28, 29: channel packing
inline constexpr RegField W28_ROW_WORDS{28, {0, 14}};
inline constexpr RegField CNP8_CPK_CHCONT_SIZE{28, {16, 16}};
inline constexpr RegField W29_FILTER_GROUPS{29, {16, 8}};

// ---- Words 32 to 44: partial reconfiguration (the layer the NP runs next)
inline constexpr RegField W32_PR_ENABLE{32, {0, 1}};
inline constexpr RegField PR1_FNP_MODE{32, {1, 1}};
inline constexpr RegField W32_PR_VALID{32, {2, 1}};
inline constexpr RegField W32_PR_MERGE{32, {3, 1}};
inline constexpr RegField W32_PR_INPUT_BITS{32, {4, 2}};
inline constexpr RegField W32_PR_CONCAT{32, {6, 1}};
inline constexpr RegField PR1_IB_CH_GRP_EN{32, {10, 1}};
inline constexpr RegField PR1_SP_MAXPOOLING{32, {11, 1}};
inline constexpr RegField W32_PR_INPUT_INDEX{32, {24, 8}};
inline constexpr RegField PR1_I_ORIG_CUT{33, {0, 12}};
inline constexpr RegField PR1_J_ORIG_CUT{33, {16, 12}};
inline constexpr RegField PR1_I_SIZE_CUT{34, {0, 11}};
inline constexpr RegField PR1_J_SIZE_CUT{34, {16, 11}};
inline constexpr RegField PR1_CH_SIZE{35, {0, 18}};
inline constexpr RegField PR1_SEPARABLE{35, {15, 1}};
inline constexpr RegField W35_PR_ROW_WORDS{35, {0, 14}};
inline constexpr RegField W35_PR_ROW_BYTES{35, {16, 16}};
inline constexpr RegField PR1_PKSRAM_SIZE{40, {0, 16}};
inline constexpr RegField W41_PR_INPUT_FIRST_COLUMN{41, {0, 8}};
inline constexpr RegField W41_PR_INPUT_LAST_COLUMN{41, {8, 8}};
inline constexpr RegField W41_PR_NP_COUNT{41, {24, 7}};
inline constexpr RegField W41_PR_RESERVED_31{41, {31, 1}};
inline constexpr RegField PR1_CH_ORIG_CUT{42, {0, 12}};
inline constexpr RegField PR1_CH_SIZE_CUT{42, {16, 10}};

// ---- Word 44: mesh output mode
inline constexpr RegField W44_P2P_OUT{44, {0, 1}};
inline constexpr RegField W44_RESERVED_1{44, {1, 1}};
inline constexpr RegField W44_END_OF_PASS{44, {2, 1}};
inline constexpr RegField W44_ENABLE{44, {3, 1}};
inline constexpr RegField W44_PR_END_OF_PASS{44, {15, 1}};
inline constexpr RegField W44_PACKET_WORDS{44, {16, 8}};
inline constexpr RegField W44_MASK{44, {24, 8}};

// ---- Word 45: where the output goes (point to point, or a column range)
inline constexpr RegField W45_OUT_ROW{45, {0, 8}};
inline constexpr RegField W45_OUT_COLUMN{45, {8, 8}};
inline constexpr RegField W45_OUT_FIRST_COLUMN{45, {0, 8}};
inline constexpr RegField W45_OUT_LAST_COLUMN{45, {8, 8}};
inline constexpr RegField W45_OUT_ID{45, {20, 4}};
inline constexpr RegField W45_OUT_INDEX{45, {24, 8}};

// ---- Word 46: where the input comes from
inline constexpr RegField W46_IN_ROW{46, {0, 8}};
inline constexpr RegField W46_IN_COLUMN{46, {8, 8}};
inline constexpr RegField W46_IN_FIRST_COLUMN{46, {0, 8}};
inline constexpr RegField W46_IN_LAST_COLUMN{46, {8, 8}};
inline constexpr RegField W46_ALT_LAYER{46, {19, 1}};
inline constexpr RegField W46_IN_ID{46, {20, 4}};
inline constexpr RegField W46_RESERVED_31{46, {31, 1}};

// ---- Word 47: column span of the layer and its outputs
inline constexpr RegField W47_FIRST_COLUMN{47, {0, 8}};
inline constexpr RegField W47_LAST_COLUMN{47, {8, 8}};
inline constexpr RegField W47_DUAL_FIRST_COLUMN{47, {16, 8}};
inline constexpr RegField W47_DUAL_LAST_COLUMN{47, {24, 8}};

// ---- Word 48: dual output destination
inline constexpr RegField W48_DUAL_FIRST_COLUMN{48, {0, 8}};
inline constexpr RegField W48_DUAL_LAST_COLUMN{48, {8, 8}};
inline constexpr RegField W48_DUAL_ROW{48, {0, 8}};
inline constexpr RegField W48_DUAL_COLUMN{48, {8, 8}};
inline constexpr RegField W48_DUAL_SINGLE{48, {16, 1}};
inline constexpr RegField W48_DUAL_ID{48, {20, 4}};
inline constexpr RegField W48_DUAL_TARGET{48, {24, 8}};

// ---- Word 49: configuration DMA of an FNP
inline constexpr RegField W49_CFG_DMA_ROW{49, {0, 8}};
inline constexpr RegField W49_CFG_DMA_COLUMN{49, {8, 8}};
inline constexpr RegField W49_CFG_DMA_ID{49, {16, 4}};

// ---- Word 52: merge and alternate layer
inline constexpr RegField W52_MERGE_ENABLE{52, {0, 1}};
inline constexpr RegField W52_MERGE_INPUT{52, {1, 1}};
inline constexpr RegField W52_IS_ADD{52, {2, 1}};
inline constexpr RegField W52_RESERVED_3{52, {3, 1}};
inline constexpr RegField W52_MERGE_LOAD{52, {4, 1}};
inline constexpr RegField W52_ALT_SECOND{52, {4, 1}};
inline constexpr RegField W52_NOT_FIRST{52, {7, 1}};
inline constexpr RegField W52_MERGE_CHANNEL{52, {16, 8}};
inline constexpr RegField W52_ALT_FIRST_INDEX{52, {16, 8}};
inline constexpr RegField W52_ALT_NP_COUNT{52, {24, 8}};

// ---- Word 53: skip-DMA load that feeds a merge
inline constexpr RegField W53_LOAD_ENABLE{53, {0, 1}};
inline constexpr RegField W53_RESERVED_0{53, {0, 16}};
inline constexpr RegField W53_LOAD_COLUMN{53, {8, 8}};
inline constexpr RegField W53_RESERVED_19{53, {19, 1}};
inline constexpr RegField W53_LOAD_ID{53, {20, 4}};
inline constexpr RegField W53_VALID{53, {31, 1}};

// ---- Word 56: NP position in its node and merge kind
inline constexpr RegField W56_ADD_MERGE{56, {3, 1}};
inline constexpr RegField W56_UPPER_PAIR{56, {8, 1}};
inline constexpr RegField W56_ENABLE{56, {23, 1}};
inline constexpr RegField W56_UPPER_PAIR_SRAM{56, {24, 1}};

// ---- Per-channel variables: two words per output channel (A then B)
inline constexpr RegDetail VARS_W1_SCALE{0, 8};
inline constexpr RegDetail VARS_W1_BIAS{8, 8};
inline constexpr RegDetail VARS_W1_BIAS_SHIFT{16, 5};
inline constexpr RegDetail VARS_W1_OUT_SHIFT{21, 6};
inline constexpr RegDetail VARS_W1_MAX_SHIFT{27, 5};
// The activation shift is six bits: its five low bits share word A with the max-value shift, its
// sign lies in bit 0 of word B.
inline constexpr RegDetail VARS_W1_ACT_SHIFT_LOW{27, 5};
inline constexpr RegDetail VARS_W2_ACT_SHIFT_SIGN{0, 1};
inline constexpr RegDetail VARS_W2_ACT_SCALE{1, 8};
inline constexpr RegDetail VARS_W2_MAX_VALUE{0, 8};

}  // namespace ovrix::v2
