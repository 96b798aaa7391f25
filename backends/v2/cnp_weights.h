#pragma once
// Weight formats of a v2 CNP: the words of its weight SRAM (100-bit words carried in three or four
// 32-bit words) for standard and depthwise convolutions with 8-bit and 4-bit weights, and the sizes
// that the compatibility rules, the memory sizer and the register blocks read. Transposed
// convolutions use the standard format, transposed depthwise convolutions the depthwise format.
#include <array>
#include <cstdint>
#include <vector>

#include "backends/common/weight_view.h"
#include "engine/tensor.h"

namespace ovrix::v2 {

// ---- Standard convolution (and transposed convolution)

// DMA target of the weight block: 0 for 4-bit weights; for 8-bit, 1 for kernels 1, 3, 4, 5 and 0
// for kernel 7.
uint32_t conv2d_dma_target(uint32_t kernel_size, uint8_t weights_bits);
// 100-bit words of one input channel's container (all the NP's filters); weights_bits other than 8
// take the 4-bit size.
uint32_t conv2d_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters, uint8_t weights_bits);
uint32_t conv2d_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters);
uint32_t conv2d_cnp_formatted_weight_100b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels,
                                               uint8_t weights_bits);
uint32_t conv2d_cnp_formatted_4bit_weight_100b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels);
// 32-bit words of the formatted block (8-bit: rounded up to 16 when the block needs the XL header).
uint32_t conv2d_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels,
                                              uint8_t weights_bits);
uint32_t conv2d_cnp_formatted_4bit_weight_32b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels);

// Words of the filters first_filter .. first_filter + filters - 1 over every input channel.
std::vector<uint32_t> format_conv2d_cnp_weights(const Dense& weights, uint32_t first_filter, uint32_t filters,
                                                uint8_t weights_bits);
std::vector<uint32_t> format_conv2d_4bit_weights(const Dense& weights, uint32_t first_filter, uint32_t filters);
std::vector<uint32_t> format_conv2d_cnp_weights(const WeightView& weights, uint32_t first_filter, uint32_t filters,
                                                uint8_t weights_bits);
std::vector<uint32_t> format_conv2d_4bit_weights(const WeightView& weights, uint32_t first_filter, uint32_t filters);

// The filters of one NP: first .. first + count - 1.
struct FilterShare {
  uint32_t first;
  uint32_t count;
};
// The words of several NPs' shares of one layer, in the order of `shares`; the same words as one
// call per share, in one sweep over the tensor: each kernel row of a channel is read once for all
// the shares, where one call per share would read the whole tensor again for every NP.
std::vector<std::vector<uint32_t>> format_conv2d_cnp_weights(const WeightView& weights,
                                                             const std::vector<FilterShare>& shares,
                                                             uint8_t weights_bits);
std::vector<std::vector<uint32_t>> format_conv2d_4bit_weights(const WeightView& weights,
                                                              const std::vector<FilterShare>& shares);

// ---- Depthwise convolution (and transposed depthwise convolution)

// 0 for 4-bit weights; 1 for 8-bit weights with kernels 3, 4, 5 and 7.
uint32_t dwc_dma_target(uint32_t kernel_size, uint8_t weights_bits);
// 100-bit words of the weights of `channels` channels; weights_bits other than 8 take the 4-bit size.
uint32_t dwc_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels, uint8_t weights_bits);
uint32_t dwc_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels);
uint32_t dwc_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t channels, uint8_t weights_bits);
uint32_t dwc_cnp_formatted_4bit_weight_32b_size(uint32_t kernel_size, uint32_t channels);

// Words of the channels first_channel .. first_channel + channels - 1.
std::vector<uint32_t> format_depthwise_conv_cnp_weights(const Dense& weights, uint32_t first_channel,
                                                        uint32_t channels, uint8_t weights_bits);
std::vector<uint32_t> format_depthwise_conv_cnp_4bit_weights(const Dense& weights, uint32_t first_channel,
                                                             uint32_t channels);
std::vector<uint32_t> format_depthwise_conv_cnp_weights(const WeightView& weights, uint32_t first_channel,
                                                        uint32_t channels, uint8_t weights_bits);
std::vector<uint32_t> format_depthwise_conv_cnp_4bit_weights(const WeightView& weights, uint32_t first_channel,
                                                             uint32_t channels);

}  // namespace ovrix::v2
