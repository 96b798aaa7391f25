// Weight format of depthwise (and transposed depthwise) convolutions on a v2 CNP.
#include <stdexcept>
#include <string>

#include "backends/common/sizes.h"
#include "backends/common/weight_stream.h"
#include "backends/v2/cnp_weights.h"
#include "backends/v2/np_registers.h"

namespace ovrix::v2 {

namespace {

// How one kernel size lays out a channel's 8-bit weights: inside a kernel row, after element
// run_length - 1 the position skips run_gap bytes; after the row it skips row_gap bytes; channel n
// starts at n × channel_stride bytes.
struct DwFormat {
  uint32_t run_length;
  uint32_t run_gap;
  uint32_t row_gap;
  uint32_t channel_stride;
  uint32_t words_per_100b;
  uint32_t dma_target;
};

const DwFormat& cnp_weight_format(uint32_t kernel_size) {
  static constexpr DwFormat k3{3, 0, 0, 12, 3, 1};
  static constexpr DwFormat k4{4, 0, 2, 24, 3, 1};
  static constexpr DwFormat k5{5, 0, 1, 30, 3, 1};
  static constexpr DwFormat k7{4, 2, 3, 84, 3, 1};
  switch (kernel_size) {
    case 3: return k3;
    case 4: return k4;
    case 5: return k5;
    case 7: return k7;
    default: throw std::runtime_error("cnp_weight_format: Unexpected kernel size.");
  }
}

void check_channel_range(const WeightView& w, uint32_t first_channel, uint32_t channels) {
  if (w.dims[0] != w.dims[1]) throw std::invalid_argument("Convolution weights must have a square kernel.");
  if (uint64_t{first_channel} + channels > w.dims[3])
    throw std::invalid_argument("Channels " + std::to_string(first_channel) + " to " +
                                std::to_string(uint64_t{first_channel} + channels - 1) +
                                " are beyond the weights of " + std::to_string(w.dims[3]) + " channels.");
}

}  // namespace

uint32_t dwc_dma_target(uint32_t kernel_size, uint8_t weights_bits) {
  if (weights_bits != 8) return 0;
  return cnp_weight_format(kernel_size).dma_target;
}

uint32_t dwc_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels) {
  switch (kernel_size) {
    case 3: return (channels + 1) / 2;
    case 5: return (3 * channels + 1) / 2;
    case 7: return (7 * channels + 1) / 2;
    default: throw std::runtime_error("Invalid kernel size.");
  }
}

uint32_t dwc_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels, uint8_t weights_bits) {
  if (weights_bits != 8) return dwc_4bit_ch_cont_100b_size(kernel_size, channels);
  switch (kernel_size) {
    case 3: return channels;
    case 4: return 2 * channels;
    case 5: return 3 * channels;
    case 7: return 7 * channels;
    default: throw std::runtime_error("ch_cont_size: Unexpected kernel size.");
  }
}

uint32_t dwc_cnp_formatted_4bit_weight_32b_size(uint32_t kernel_size, uint32_t channels) {
  uint32_t words = 0;
  switch (kernel_size) {
    case 3: words = 2 * channels; break;
    case 5: words = 6 * channels; break;
    case 7: words = 14 * channels; break;
    default: throw std::runtime_error("Invalid kernel size.");
  }
  return (words + 15) & ~15u;
}

uint32_t dwc_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t channels, uint8_t weights_bits) {
  if (weights_bits != 8) return dwc_cnp_formatted_4bit_weight_32b_size(kernel_size, channels);
  return round_for_xl(dwc_ch_cont_100b_size(kernel_size, channels, 8) * 3);
}

std::vector<uint32_t> format_depthwise_conv_cnp_weights(const WeightView& w, uint32_t first_channel,
                                                        uint32_t channels, uint8_t weights_bits) {
  if (weights_bits != 8) return format_depthwise_conv_cnp_4bit_weights(w, first_channel, channels);
  const uint32_t k = w.dims[0];
  const DwFormat& fmt = cnp_weight_format(k);
  check_channel_range(w, first_channel, channels);
  std::vector<uint32_t> out(round_for_xl(dwc_ch_cont_100b_size(k, channels, 8) * fmt.words_per_100b), 0);
  auto* bytes = reinterpret_cast<uint8_t*>(out.data());
  for (uint32_t n = 0; n < channels; ++n) {
    size_t pos = size_t{n} * fmt.channel_stride;
    for (uint32_t j = 0; j < k; ++j) {
      for (uint32_t i = 0; i < k; ++i) {
        bytes[pos++] = static_cast<uint8_t>(w.at(i, j, 0, first_channel + n));
        if (i + 1 == fmt.run_length) pos += fmt.run_gap;
      }
      pos += fmt.row_gap;
    }
  }
  return out;
}

std::vector<uint32_t> format_depthwise_conv_cnp_4bit_weights(const WeightView& w, uint32_t first_channel,
                                                             uint32_t channels) {
  const uint32_t k = w.dims[0];
  uint32_t words_per_channel = 0;
  switch (k) {
    case 3: words_per_channel = 2; break;
    case 5: words_per_channel = 6; break;
    case 7: words_per_channel = 14; break;
    default: throw std::runtime_error("Invalid kernel size.");
  }
  check_channel_range(w, first_channel, channels);
  std::vector<uint32_t> out(size_t{words_per_channel} * channels, 0);
  HalfStream stream(&out, 50);
  const uint32_t row_bits = 4 * k;
  for (uint32_t n = 0; n < channels; ++n) {
    if (n > 0 && stream.bits_left_in_half() < row_bits * k) stream.align_to_next_half();
    for (uint32_t j = 0; j < k; ++j) {
      if (stream.bits_left_in_half() < row_bits) stream.align_to_next_half();
      for (uint32_t i = 0; i < k; ++i)
        stream.put(signed_field_value(w.at(i, j, 0, first_channel + n), 4), 4);
    }
  }
  stream.finish();
  return out;
}

std::vector<uint32_t> format_depthwise_conv_cnp_weights(const Dense& weights, uint32_t first_channel,
                                                        uint32_t channels, uint8_t weights_bits) {
  return format_depthwise_conv_cnp_weights(WeightView::of(weights), first_channel, channels, weights_bits);
}

std::vector<uint32_t> format_depthwise_conv_cnp_4bit_weights(const Dense& weights, uint32_t first_channel,
                                                             uint32_t channels) {
  return format_depthwise_conv_cnp_4bit_weights(WeightView::of(weights), first_channel, channels);
}

}  // namespace ovrix::v2
