#include "backends/v2/memory_sizer.h"

#include <algorithm>
#include <stdexcept>

#include "backends/common/sizes.h"
#include "backends/v2/buffer_temp_conv_recording.h"
#include "backends/v2/cnp_sizes.h"
#include "backends/v2/cnp_weights.h"
#include "backends/v2/compatibility_checker.h"
#include "backends/v2/depthwise_buffer_temp_conv_recording.h"
#include "backends/v2/fnp_format.h"
#include "backends/v2/hrc_recording.h"
#include "mapping/graph_utils.h"
#include "mapping/np_split.h"

namespace ovrix::v2 {

namespace {

constexpr uint64_t WORD_BYTES = 4;

bool is_cnp(const hw::Component& c) { return c.type == hw::Type::CNP1 || c.type == hw::Type::CNP2; }

// Bytes of a count of 100-bit weight words, packed bit to bit.
uint32_t weight_bytes(uint64_t words_100b) { return size32(ceil_div(100 * words_100b, 8)); }

const Layer& checked(const std::shared_ptr<Layer>& layer) {
  if (!layer) throw std::invalid_argument("No layer to size.");
  return *layer;
}

// Frames of FIFO a TNP-B layer keeps: its "fifo_size" plus the current one.
uint64_t fifo_slots(const Layer& layer, uint64_t without_fifo) {
  const LayerParams* params = layer.params();
  return params && params->has("fifo_size") ? uint64_t(params->get("fifo_size")) + 1 : without_fifo;
}

}  // namespace

uint32_t MemorySizerImpl::get_input_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                                const hw::Component& component,
                                                const std::shared_ptr<Layer>& first_layer) const {
  const Layer& layer = checked(layer_ptr);
  const LayerType type = layer_type(layer);
  switch (type) {
    case LayerType::Add:
    case LayerType::Concatenate:
    case LayerType::InputConv2D:
    case LayerType::Dequantizer:
    case LayerType::StatefulRecurrent:
    case LayerType::Quantizer: return 0;
    case LayerType::Conv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose: {
      if (!is_cnp(component) || !component.np) return 0;
      const auto& window = component.np->input_window.shape;
      const uint64_t words = cnp_input_words(layer.input_bits(), window[0], window[1],
                                             component.np->spatial_partition.shape[2]);
      return size32(WORD_BYTES * (get_add_pksram_shift(layer) + words));
    }
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: {
      if (component.type != hw::Type::TNP_B || !component.np) return 0;
      const auto& window = component.np->input_window.shape;
      const uint64_t frames = fifo_slots(layer, 1);
      const uint64_t frame_words = np_input_words(hw::Type::TNP_B, window[1], window[0],
                                                  component.np->spatial_partition.shape[2], 0, layer.input_bits());
      return size32(WORD_BYTES * frame_words * frames);
    }
    case LayerType::Dense1D:
      // The input is taken flat when the dense layer opens the sequence.
      return size32(WORD_BYTES * get_fnp_input_size(layer, first_layer.get() == &layer));
    default: throw std::invalid_argument("Invalid v2 layer type.");
  }
}

uint32_t MemorySizerImpl::get_weight_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                                 const hw::Component& component) const {
  const Layer& layer = checked(layer_ptr);
  const LayerType type = layer_type(layer);
  switch (type) {
    case LayerType::Add:
    case LayerType::Concatenate:
    case LayerType::Dequantizer:
    case LayerType::StatefulRecurrent:
    case LayerType::Quantizer: return 0;
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose:
      if (!is_cnp(component)) return 0;
      return weight_bytes(conv2d_cnp_formatted_weight_100b_size(
          static_cast<uint32_t>(layer_param(layer, "kernel_size")), component.filters(), first_input_shape(layer)[2],
          static_cast<uint8_t>(layer_param(layer, "weights_bits"))));
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose:
      if (!is_cnp(component)) return 0;
      return weight_bytes(dwc_ch_cont_100b_size(static_cast<uint32_t>(layer_param(layer, "kernel_size")),
                                                component.filters(),
                                                static_cast<uint8_t>(layer_param(layer, "weights_bits"))));
    case LayerType::BufferTempConv:
      if (component.type != hw::Type::TNP_B) return 0;
      return weight_bytes(buffer_temp_conv_tnp_formatted_weight_100b_size(
          static_cast<uint32_t>(layer_param(layer, "fifo_size")), component.filters(), first_input_shape(layer)[2]));
    case LayerType::DepthwiseBufferTempConv:
      if (component.type != hw::Type::TNP_B) return 0;
      return weight_bytes(depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(
          static_cast<uint32_t>(layer_param(layer, "fifo_size")), component.filters()));
    case LayerType::InputConv2D: return size32(WORD_BYTES * get_hrc_sram_size(layer));
    case LayerType::Dense1D:
      if (component.type != hw::Type::FNP3) return 0;
      return size32(WORD_BYTES * get_fnp_sram_size(layer));
    default: throw std::invalid_argument("Invalid v2 layer type.");
  }
}

uint32_t MemorySizerImpl::get_external_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                                   const hw::Component& component, bool from_input,
                                                   bool two_slots) const {
  // An FNP2 keeps its RAM in external memory.
  if (component.type == hw::Type::FNP2) return size32(WORD_BYTES * get_fnp_sram_size(checked(layer_ptr)));
  if (component.type != hw::Type::SKIP_DMA_STORE) return 0;
  const Layer& layer = checked(layer_ptr);
  const LayerType type = layer_type(layer);
  if (type == LayerType::BufferTempConv || type == LayerType::DepthwiseBufferTempConv) {
    // A temporal FIFO keeps whole pixels: all channels of one position in whole words.
    const Shape in = first_input_shape(layer);
    const uint64_t pixel_words = ceil_div(uint64_t{layer.input_bits()} * in[2], 32);
    return size32(WORD_BYTES * pixel_words * in[0] * in[1] * fifo_slots(layer, 0));
  }
  const Shape shape = from_input ? first_input_shape(layer) : layer.output_dimensions();
  const uint8_t bits = from_input ? layer.input_bits() : layer.output_bits();
  const uint64_t frame_words = ceil_div(uint64_t{bits} * shape[0], 32) * shape[1] * shape[2];
  uint64_t frames = 2;
  if (!two_slots) {
    // The branch is kept until the deepest consumer has read it.
    DepthMemo memo;
    int64_t gap = 0;
    const int64_t own = get_layer_depth(layer_ptr, &memo);
    for (const auto& out : layer.outbound_layers())
      if (out) gap = std::max<int64_t>(gap, int64_t{get_layer_depth(out, &memo)} - own);
    frames = 3 + static_cast<uint64_t>(gap);
  }
  return size32(WORD_BYTES * frame_words * frames);
}

uint32_t MemorySizerImpl::get_fsram_64b_memory_size(const std::shared_ptr<Layer>&) const { return 0; }
uint32_t MemorySizerImpl::get_tsram_51b_memory_size(const std::shared_ptr<Layer>&) const { return 0; }
uint32_t MemorySizerImpl::get_evsram_32b_memory_size(const std::shared_ptr<Layer>&) const { return 0; }
uint32_t MemorySizerImpl::get_stsram_32b_memory_size(const std::shared_ptr<Layer>&) const { return 0; }

}  // namespace ovrix::v2
