#pragma once
// The 50-word register image of a v1 NP (CNP or FNP): the image every recorder starts from, and the
// fields the CNP recorders and the mesh writers fill, each a named bit range of a named word written
// only through write_field (set_field underneath), so a value wider than its field is refused
// instead of spilling into its neighbours.
//
// Names of the form REGn_/CNPn_ are the hardware's own and do not follow the word index; names of the
// form Wn_ are ours and carry their word index n.
#include <cstdint>
#include <vector>

#include "backends/common/register_fields.h"
#include "program/reg_detail.h"

namespace ovrix::v1 {

inline constexpr uint32_t NP_REGISTER_WORDS = 50;

// The image every v1 recorder starts from: 50 words, all 0 but words 6, 12, 13 and 37.
std::vector<uint32_t> default_np_regs();

// ---- Fields the hardware names (bit ranges of the words given beside them)
inline constexpr RegDetail CNP1_CONV_STRD{8, 1};     // word 20
inline constexpr RegDetail CNP1_KERNEL_TYPE{28, 3};  // word 20
inline constexpr RegDetail CNP4_OB_I_ORIG{0, 12};    // word 24
inline constexpr RegDetail CNP4_OB_J_ORIG{16, 12};   // word 24
inline constexpr RegDetail REG10_J_SIZE_CUT{16, 11}; // word 10
inline constexpr RegDetail REG11_ICONT_SIZE{0, 8};   // word 11

// ---- Word 1: input modes
inline constexpr RegField W1_RESERVED_4{1, {4, 1}};
inline constexpr RegField W1_RESERVED_5{1, {5, 1}};
inline constexpr RegField W1_RESERVED_6{1, {6, 1}};
inline constexpr RegField W1_RESERVED_7{1, {7, 1}};
inline constexpr RegField W1_RESERVED_20{1, {20, 2}};
inline constexpr RegField W1_SINGLE_BUFFER{1, {22, 1}};

// ---- Word 2: input buffer
inline constexpr RegField W2_IB_SPIKES{2, {7, 1}};

// ---- Word 3: data widths, NP count and layer number
inline constexpr RegField W3_INPUT_BITS_MODE{3, {0, 2}};
inline constexpr RegField W3_SEPARABLE{3, {2, 1}};
inline constexpr RegField W3_WEIGHTS_4BIT{3, {3, 1}};
inline constexpr RegField W3_DW_WEIGHTS_MODE{3, {4, 2}};
inline constexpr RegField W3_PW_WEIGHTS_MODE{3, {8, 2}};
inline constexpr RegField W3_ACT_BITS_MODE{3, {12, 2}};
inline constexpr RegField W3_ACTIVATION{3, {15, 1}};
inline constexpr RegField W3_NP_COUNT{3, {16, 8}};
inline constexpr RegField W3_LAYER_NUMBER{3, {24, 8}};

// ---- Word 4: input SRAM extent (also the partial-reconfiguration extent)
inline constexpr RegField W4_INPUT_SRAM_WORDS{4, {0, 18}};
inline constexpr RegField W4_ENABLE{4, {31, 1}};

// ---- Word 8: window size and signed cut offsets (i along y, j along x)
inline constexpr RegField W8_WINDOW_ROWS{8, {0, 11}};
inline constexpr RegField W8_CUT_ROW_OFFSET{8, {12, 4}};
inline constexpr RegField W8_WINDOW_COLUMNS{8, {16, 11}};
inline constexpr RegField W8_CUT_COLUMN_OFFSET{8, {28, 4}};

// ---- Word 9: cut origin and stride phases
inline constexpr RegField W9_CUT_ROW_ORIGIN{9, {0, 12}};
inline constexpr RegField W9_ROW_PHASE{9, {12, 1}};
inline constexpr RegField W9_CUT_COLUMN_ORIGIN{9, {16, 12}};
inline constexpr RegField W9_COLUMN_PHASE{9, {28, 1}};

// ---- Words 10 and 11: cut size, input container, weight words per channel
inline constexpr RegField W10_CUT_ROWS{10, {0, 11}};
inline constexpr RegField W10_CUT_COLUMNS{10, REG10_J_SIZE_CUT};
inline constexpr RegField W11_ICONT_SIZE{11, REG11_ICONT_SIZE};
inline constexpr RegField W11_WEIGHT_WORDS_PER_CHANNEL{11, {12, 10}};

// ---- Words 20 to 22: kernel, stride, filter counts, separable weight memories
inline constexpr RegField W20_PW_SLOTS_PER_CHANNEL{20, {0, 7}};
inline constexpr RegField W20_CONV_STRIDE{20, CNP1_CONV_STRD};
inline constexpr RegField W20_FILTERS_1X1{20, {16, 11}};
inline constexpr RegField W20_KERNEL_TYPE{20, CNP1_KERNEL_TYPE};
inline constexpr RegField W21_FILTERS_MULTIBIT{21, {0, 11}};
inline constexpr RegField W21_FILTERS_1BIT{21, {16, 11}};
inline constexpr RegField W22_RESERVED_0{22, {0, 11}};
inline constexpr RegField W22_DW_SLOTS{22, {16, 14}};

// ---- Words 24 to 26: pooled output range and filter range
inline constexpr RegField W24_FIRST_POOLED_ROW{24, CNP4_OB_I_ORIG};
inline constexpr RegField W24_FIRST_POOLED_COLUMN{24, CNP4_OB_J_ORIG};
inline constexpr RegField W25_POOLED_ROWS{25, {0, 10}};
inline constexpr RegField W25_POOLED_COLUMNS{25, {16, 8}};
inline constexpr RegField W26_FIRST_FILTER{26, {0, 11}};
inline constexpr RegField W26_FILTERS{26, {16, 11}};

// ---- Word 27: pooling
inline constexpr RegField W27_POOL_WIDTH{27, {0, 3}};
inline constexpr RegField W27_POOL_STRIDE{27, {4, 3}};
inline constexpr RegField W27_POOL_FLAG{27, {8, 1}};
inline constexpr RegField W27_PAD_RIGHT{27, {12, 1}};
inline constexpr RegField W27_PAD_LEFT{27, {13, 1}};
inline constexpr RegField W27_PAD_BOTTOM{27, {14, 1}};
inline constexpr RegField W27_PAD_TOP{27, {15, 1}};

// ---- Words 28, 29 and 36: input rows in SRAM, filter groups
inline constexpr RegField W28_ROW_WORDS{28, {0, 14}};
inline constexpr RegField W28_CONTAINER_BYTES{28, {16, 9}};
inline constexpr RegField W29_RESERVED_0{29, {0, 1}};
inline constexpr RegField W29_FILTER_GROUPS{29, {16, 8}};
inline constexpr RegField W36_RESERVED_28{36, {28, 1}};

// ---- Words 32 to 35 (and 4, 14): the input of the layer the NP runs next
inline constexpr RegField W1_FNP_INPUT_MODE{1, {4, 1}};
inline constexpr RegField W32_PR_ENABLE{32, {0, 1}};
inline constexpr RegField W32_PR_FNP{32, {1, 1}};
inline constexpr RegField W32_PR_VALID{32, {2, 1}};
inline constexpr RegField W32_PR_INPUT_BITS{32, {4, 2}};
inline constexpr RegField W32_PR_PREVIOUS_PASS{32, {24, 8}};
inline constexpr RegField W33_PR_CUT_ROW_ORIGIN{33, {0, 12}};
inline constexpr RegField W33_PR_CUT_COLUMN_ORIGIN{33, {16, 12}};
inline constexpr RegField W34_PR_ROWS{34, {0, 11}};
inline constexpr RegField W34_PR_COLUMNS{34, {16, 11}};
inline constexpr RegField W35_PR_FNP_INPUTS{35, {0, 18}};
inline constexpr RegField W35_PR_ROW_WORDS{35, {0, 14}};
inline constexpr RegField W35_PR_CONTAINER_BYTES{35, {16, 9}};
inline constexpr RegField W14_INPUT_SRAM_WORDS{14, {0, 18}};

// ---- Words 44 to 47 and 49: where the NP's output goes and where its input comes from
inline constexpr RegField W44_P2P_OUT{44, {0, 1}};
inline constexpr RegField W44_RESERVED_1{44, {1, 1}};
inline constexpr RegField W44_OUTPUT_FLAG{44, {2, 1}};
inline constexpr RegField W44_PACKET{44, {16, 8}};
inline constexpr RegField W44_MASK{44, {24, 8}};
inline constexpr RegField W45_OUT_FIRST_COLUMN{45, {0, 8}};
inline constexpr RegField W45_OUT_LAST_COLUMN{45, {8, 8}};
inline constexpr RegField W45_OUT_ROW{45, {0, 8}};
inline constexpr RegField W45_OUT_COLUMN{45, {8, 8}};
inline constexpr RegField W45_OUT_ID{45, {20, 4}};
inline constexpr RegField W45_OUT_INDEX{45, {24, 8}};
inline constexpr RegField W46_IN_FIRST_COLUMN{46, {0, 8}};
inline constexpr RegField W46_IN_LAST_COLUMN{46, {8, 8}};
inline constexpr RegField W46_IN_ROW{46, {0, 8}};
inline constexpr RegField W46_IN_COLUMN{46, {8, 8}};
inline constexpr RegField W46_IN_ID{46, {20, 4}};
inline constexpr RegField W46_RESERVED_30{46, {30, 2}};
inline constexpr RegField W47_FIRST_COLUMN{47, {0, 8}};
inline constexpr RegField W47_LAST_COLUMN{47, {8, 8}};
inline constexpr RegField W49_CFG_DMA_ROW{49, {0, 8}};
inline constexpr RegField W49_CFG_DMA_COLUMN{49, {8, 8}};
inline constexpr RegField W49_CFG_DMA_ID{49, {16, 4}};

}  // namespace ovrix::v1
