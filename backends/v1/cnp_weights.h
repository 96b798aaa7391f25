#pragma once
// How the weights of one v1 CNP are laid out in its weight SRAM, and how many 32-bit words each layout
// takes. The SRAM is a stream of 64-bit slots carried as two words (slot bits 0-31, then 32-63), of
// which at most 50 bits are used. Layouts: the standard convolution with 1- or 2-bit weights (bit
// planes of whole kernels), with 4-bit weights (sign-magnitude codes), and the depthwise and pointwise
// tensors of a separable convolution (two's-complement codes).
//
// Every formatter reads its tensor through the tensor's strides, refuses element types other than the
// signed-byte ones ("Wrong requested type %s for a tensor of type %s"), filter ranges outside the
// tensor, and values its layout cannot hold (ovrix::v1::CnpError, or the signed-range panic of
// int32_to_intN), so no weight is ever stored as another value.
#include <cstdint>
#include <vector>

#include "engine/tensor.h"

namespace ovrix {

// value as an N-bit two's-complement field (low N-1 bits, sign in bit N-1); a value outside
// -2^(N-1) .. 2^(N-1)-1 is refused: panic("%d cannot fit in a %d-bit signed integer").
template <int N>
uint32_t int32_to_intN(int value);

}  // namespace ovrix

namespace ovrix::v1 {

// Standard convolution, weights (filter, channel, kernel row, kernel column) with equal kernel sides
// ("CNP: width and height must be equal."), kernel widths 1, 3, 5, 7. 1-bit weights (two_bits false)
// are 0 or 1, 2-bit weights -1, 0 or 1; a 1x1 kernel always has a -1 plane, so there -1 is held at
// 1 bit too. Filters first_filter .. first_filter + count - 1, one block per input channel.
std::vector<uint32_t> format_std_cnp_weights(const Dense& weights, bool two_bits, uint32_t first_filter,
                                             uint32_t count);
// The same with 4-bit weights, -7 .. 7 (sign and magnitude; -8 has no code).
std::vector<uint32_t> format_4bits_std_cnp_weights(const Dense& weights, uint32_t first_filter, uint32_t count);
// Words of the standard layouts for that many filters: 0 for the kernel widths 2, 4 and 6 of the 1- and
// 2-bit layouts, 0xFFFFFFFF for weight widths other than 1, 2 and 4 and for kernels without a layout
// ("Unsupported kernel size" for a 4-bit kernel other than 1, 3, 5, 7); sizes past 32 bits saturate.
uint32_t get_std_cnp_sram_size(uint32_t kernel_width, uint32_t channels, uint32_t filters, int weights_bits);

// Separable convolution, depthwise weights (1, channel, kernel row, kernel column) at `bits` per value;
// the whole layer's block, shared by its NPs. Its own size (not rounded to 16 words).
std::vector<uint32_t> format_sep_cnp_dw_weights(const Dense& weights, int bits);
// Words the depthwise block occupies in the SRAM (rounded up to 16); 0xFFFFFFFF when a kernel row does
// not fit a slot.
uint32_t get_dw_weights_sram_size(int kernel_width, uint32_t channels, int bits);
// Pointwise weights (filter, channel), filters first_filter .. first_filter + count - 1, one block of
// get_nb_words_per_pw_channel slots per input channel.
std::vector<uint32_t> format_sep_cnp_pw_weights(const Dense& weights_pw, int bits, uint32_t first_filter,
                                                uint32_t count);
// 64-bit slots per pointwise input channel for that many filters.
uint32_t get_nb_words_per_pw_channel(uint32_t filters, int bits);
// Depthwise SRAM words plus the pointwise words of every channel (saturated past 32 bits).
uint32_t get_sep_cnp_sram_size(uint32_t kernel_width, uint32_t channels, uint32_t filters, int bits);

}  // namespace ovrix::v1
