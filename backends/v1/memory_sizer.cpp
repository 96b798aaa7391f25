#include "backends/v1/memory_sizer.h"

#include <algorithm>
#include <stdexcept>

#include "backends/v1/cnp_sizes.h"
#include "backends/v1/fnp_sizes.h"
#include "backends/v1/hrc_sizes.h"
#include "backends/v1/input_fit.h"
#include "backends/common/layer_queries.h"
#include "backends/common/sizes.h"
#include "engine/layer.h"
#include "mapping/np_split.h"

namespace ovrix::v1 {

namespace {

constexpr uint64_t WORD_BYTES = 4;
// CNP weight words are 50 bits wide and stored in pairs.
constexpr uint64_t CNP_WEIGHT_PAIR_BITS = 50;


const Layer& checked(const std::shared_ptr<Layer>& layer) {
  if (!layer) throw std::invalid_argument("No layer to size.");
  return *layer;
}

[[noreturn]] void invalid_kind() { throw std::invalid_argument("Invalid v1 layer type."); }

// The input window of one CNP: every channel of the rows it reads, each row as wide as the layer's
// input.
uint64_t cnp_input_window_words(const Layer& layer, const hw::Component& component) {
  const Shape input = first_input_shape(layer);
  const auto& conv = dynamic_cast<const HasConvParams&>(layer).conv_calculated_params();
  const auto& pool = dynamic_cast<const HasPoolParams&>(layer).pool_calculated_params();
  const LayerParams& params = *layer.params();
  const uint32_t pool_size = params.has("pool_size") ? static_cast<uint32_t>(params.get("pool_size")) : 0;
  const hw::NpMapping part = component.np.value_or(hw::NpMapping{});
  const NpSplit split(input, part.spatial_partition, part.input_window, params.get("kernel_width"),
                      params.get("stride_x"), conv.padding, pool_size, pool.stride_x, pool.padding);
  return cnp_input_words(input[0], layer.input_bits(), split.channels, split.window_height);
}

}  // namespace

uint32_t MemorySizerImpl::get_input_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                                const hw::Component& component,
                                                const std::shared_ptr<Layer>& /*first_layer*/) const {
  const Layer& layer = checked(layer_ptr);
  switch (layer_type(layer)) {
    case LayerType::InputConvolutional:
    case LayerType::Add:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return 0;
    case LayerType::FullyConnected: return size32(WORD_BYTES * get_fnp_input_size(layer));
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: return size32(WORD_BYTES * cnp_input_window_words(layer, component));
    default: invalid_kind();
  }
}

uint32_t MemorySizerImpl::get_weight_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                                 const hw::Component& component) const {
  const Layer& layer = checked(layer_ptr);
  switch (layer_type(layer)) {
    case LayerType::InputConvolutional: return size32(WORD_BYTES * get_hrc_sram_size(layer));
    case LayerType::FullyConnected:
      return component.type == hw::Type::FNP3 ? size32(WORD_BYTES * get_fnp_sram_size(layer)) : 0;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: {
      const uint64_t words = get_weights_size(layer, component.filters());
      return size32((words / 2 * CNP_WEIGHT_PAIR_BITS + 7) / 8);
    }
    case LayerType::Add:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return 0;
    default: invalid_kind();
  }
}

uint32_t MemorySizerImpl::get_external_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                                   const hw::Component& component, bool /*dual_output_store*/,
                                                   bool /*multi_pass*/) const {
  if (component.type != hw::Type::FNP2) return 0;
  return size32(WORD_BYTES * get_fnp_sram_size(checked(layer_ptr)));
}

// The v1 edition has none of the lumo SRAMs.
uint32_t MemorySizerImpl::get_fsram_64b_memory_size(const std::shared_ptr<Layer>&) const { return 0; }
uint32_t MemorySizerImpl::get_tsram_51b_memory_size(const std::shared_ptr<Layer>&) const { return 0; }
uint32_t MemorySizerImpl::get_evsram_32b_memory_size(const std::shared_ptr<Layer>&) const { return 0; }
uint32_t MemorySizerImpl::get_stsram_32b_memory_size(const std::shared_ptr<Layer>&) const { return 0; }

}  // namespace ovrix::v1
