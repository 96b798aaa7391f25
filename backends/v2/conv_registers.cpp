#include "backends/v2/conv_registers.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "backends/common/sizes.h"
#include "backends/v2/cnp_sizes.h"
#include "backends/v2/cnp_tnp_config.h"
#include "backends/v2/cnp_tnp_pooling.h"
#include "backends/v2/cnp_weights.h"
#include "backends/v2/default_regs.h"
#include "backends/v2/mesh_registers.h"
#include "mapping/layer_mapping.h"
#include "mapping/np_split.h"

namespace ovrix::v2 {

namespace {

struct ConvKind {
  bool depthwise;
  bool transposed;
  const char* name;
};

constexpr ConvKind CONV2D{false, false, "Conv2D"};
constexpr ConvKind DWCONV2D{true, false, "DepthwiseConv2D"};
constexpr ConvKind CONV2D_TRANSPOSE{false, true, "Conv2DTranspose"};
constexpr ConvKind DWCONV2D_TRANSPOSE{true, true, "DepthwiseConv2DTranspose"};

bool is_of_kind(const Layer& layer, const ConvKind& kind) {
  if (kind.transposed)
    return kind.depthwise ? dynamic_cast<const DepthwiseConv2DTranspose*>(&layer) != nullptr
                          : dynamic_cast<const Conv2DTranspose*>(&layer) != nullptr;
  return kind.depthwise ? dynamic_cast<const DepthwiseConv2D*>(&layer) != nullptr
                        : dynamic_cast<const Conv2D*>(&layer) != nullptr;
}

// The pooling an NP of the layer applies after its convolution.
struct Pooling {
  PoolingCalculatedParams params;
  uint8_t size = 1;  // P: 1 without pooling and for a global average pooling
};

Pooling layer_pooling(const Layer& layer, const ConvKind& kind, PaddingParams* conv_padding) {
  Pooling pooling;
  if (kind.transposed) {
    // Transposed convolutions do not pool: stride 1, no padding.
    get_no_pooling_params(&pooling.params, 0, 0);
    return pooling;
  }
  const auto& conv = dynamic_cast<const HasConvParams&>(layer).conv_calculated_params();
  pooling.params = dynamic_cast<const HasPoolParams&>(layer).pool_calculated_params();
  *conv_padding = conv.padding;
  const int32_t pool_size = layer_param(layer, "pool_size");
  const int32_t pool_type = layer_param(layer, "pool_type");
  if (pool_type == static_cast<int32_t>(PoolType::NoPooling)) {
    pooling.size = static_cast<uint8_t>(get_no_pooling_params(&pooling.params, conv.output_width, conv.output_height));
  } else if (pool_type == static_cast<int32_t>(PoolType::Average) && pool_size == -1) {
    pooling.size = 1;
  } else {
    pooling.size = static_cast<uint8_t>(pool_size);
  }
  return pooling;
}

RegisterMap format_np_registers(const ConvKind& kind, const Layer& layer, const std::shared_ptr<Layer>& next_layer,
                                bool starts_pass, bool ends_pass, const std::vector<hw::Ident>& excluded_nps,
                                bool registers_only, bool lut_flag) {
  if (!is_of_kind(layer, kind))
    throw std::runtime_error(fmt::format("Layer '{}' is not a {} layer.", layer.get_name(), kind.name));
  const LayerMapping& mapping = mapping_of(layer);
  const std::vector<hw::Component> sources = source_components(mapping);
  const std::vector<hw::Component> destinations = destination_components(mapping);

  PaddingParams conv_padding;
  const Pooling pooling = layer_pooling(layer, kind, &conv_padding);
  const auto activation = static_cast<ActivationType>(layer_param(layer, "activation"));
  const Shape input = first_input_shape(layer);
  const int32_t kernel = layer_param(layer, "kernel_size");
  const int32_t stride = kind.transposed ? 1 : layer_param(layer, "kernel_stride");
  const uint8_t input_bits = layer.input_bits();
  const uint8_t output_bits = layer.output_bits();

  bool outbound_max_pooling = false;
  if (!layer.outbound_layers().empty() && layer.outbound_layers().front()) {
    const Layer& out = *layer.outbound_layers().front();
    outbound_max_pooling = out.has_pool_type(PoolType::Max) && !out.output_flag();
  }

  const hw::Component* load = mapping.skipdma_load();
  const hw::Component* dual_store = mapping.skipdma_store_dual_output();
  const std::vector<hw::Component> stores = dual_store ? std::vector<hw::Component>{*dual_store} : destinations;
  const std::vector<hw::Component>& nps = *mapping.nps;
  const bool is_add = mapping.merge_info && mapping.merge_info->is_add;

  RegisterMap blocks;
  for (const hw::Component& np : nps) {
    if (std::find(excluded_nps.begin(), excluded_nps.end(), np.ident) != excluded_nps.end()) continue;
    if (!np.np) throw std::runtime_error(fmt::format("An NP of layer '{}' has no part of the layer to run.",
                                                     layer.get_name()));
    const hw::NpMapping& part = *np.np;
    RegisterBlock regs = default_np_regs(np, mapping.index, registers_only, is_add);
    const uint8_t weights_bits = kind.transposed ? 8 : static_cast<uint8_t>(layer_param(layer, "weights_bits"));

    std::optional<NpSplit> split;
    std::optional<TransposedCnpSplit> transposed_split;
    if (kind.transposed)
      transposed_split.emplace(part.spatial_partition, part.input_window);
    else
      split.emplace(input, part.spatial_partition, part.input_window, kernel, stride, conv_padding, pooling.size,
                    pooling.params.stride_x, pooling.params.padding);
    const NpSplitInterface& geometry = kind.transposed ? static_cast<const NpSplitInterface&>(*transposed_split)
                                                       : static_cast<const NpSplitInterface&>(*split);

    const uint32_t first_filter = part.start_neuron + (mapping.output_sram_shift ? *mapping.output_sram_shift : 0);
    format_cnp_tnp_common_config_registers(&regs, geometry, kernel, stride, activation, first_filter, part.filters,
                                           weights_bits, nps, mapping.tnp_b_with_skip_dma, kind.transposed,
                                           input_bits, output_bits, mapping.merge_info, load, stores, lut_flag,
                                           !registers_only);

    // Input packing: C channels of the partition, rows of W values of the window, H rows.
    const uint32_t channels = part.spatial_partition.shape[2];
    const uint32_t width = part.input_window.shape[0];
    const uint32_t height = part.input_window.shape[1];
    const uint64_t row_bytes = cnp_row_bytes(input_bits, width);
    const uint64_t row_words = cnp_row_words(input_bits, width);
    if (kind.depthwise) {
      write_flag(&regs, W3_DEPTHWISE, true);
      if (part.filters < input[2]) {
        write_flag(&regs, REG4_IB_CH_GRP_EN, true);
        write_field(&regs, CNP3_CH_ORIG_CUT, part.start_neuron);
        write_field(&regs, CNP3_CH_SIZE_CUT, part.filters);
      }
      write_field(&regs, REG5_CPKSRAM_SIZE, size32(cnp_input_words(input_bits, width, height, channels)));
      write_field(&regs, REG11_CHCONT_SIZE, dwc_ch_cont_100b_size(kernel, part.filters, weights_bits));
      write_field(&regs, CNP8_CPK_CHCONT_SIZE, size32(4 * row_words * height));
      write_field(&regs, W29_FILTER_GROUPS, 1);
      write_field(&regs, W28_ROW_WORDS, size32(row_words));
    } else {
      write_field(&regs, REG5_CPKSRAM_SIZE, size32(cnp_input_words(input_bits, width, height, channels)));
      write_field(&regs, REG11_CHCONT_SIZE, conv2d_ch_cont_100b_size(kernel, part.filters, weights_bits));
      write_field(&regs, CNP2_TF_TOTAL, part.filters);
      write_field(&regs, CNP8_CPK_CHCONT_SIZE, size32(row_bytes));
      write_field(&regs, W29_FILTER_GROUPS, size32(ceil_div(part.filters, 8)));
      write_field(&regs, W28_ROW_WORDS, size32(row_bytes * channels / 4));
    }

    format_cnp_pooling_registers(&regs, input, part.spatial_partition, pooling.size, pooling.params.stride_x,
                                 pooling.params.flag != 0, pooling.params.padding, outbound_max_pooling);
    format_mesh_registers_set_output_to_NPs(&regs, sources, nps, destinations, mapping.alt_info, mapping.output_index,
                                            {.p2p_out = mapping.output_to_dma, .end_of_pass = ends_pass});
    update_partial_reconfig_regs_for_next(&regs, next_layer.get(), np.ident, ends_pass);
    if (starts_pass) set_ib_spikes(&regs);
    blocks.insert_or_assign(np.ident, std::move(regs));
  }
  return blocks;
}

}  // namespace

RegisterMap format_conv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool starts_pass,
                                       bool ends_pass, const std::vector<hw::Ident>& excluded_nps,
                                       bool registers_only, bool lut_flag) {
  return format_np_registers(CONV2D, layer, next_layer, starts_pass, ends_pass, excluded_nps, registers_only, lut_flag);
}

RegisterMap format_dwconv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool starts_pass,
                                         bool ends_pass, const std::vector<hw::Ident>& excluded_nps,
                                         bool registers_only, bool lut_flag) {
  return format_np_registers(DWCONV2D, layer, next_layer, starts_pass, ends_pass, excluded_nps, registers_only,
                             lut_flag);
}

RegisterMap format_transposed_conv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer,
                                                  bool starts_pass, bool ends_pass,
                                                  const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                  bool lut_flag) {
  return format_np_registers(CONV2D_TRANSPOSE, layer, next_layer, starts_pass, ends_pass, excluded_nps,
                             registers_only, lut_flag);
}

RegisterMap format_transposed_dwconv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer,
                                                    bool starts_pass, bool ends_pass,
                                                    const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                    bool lut_flag) {
  return format_np_registers(DWCONV2D_TRANSPOSE, layer, next_layer, starts_pass, ends_pass, excluded_nps,
                             registers_only, lut_flag);
}

}  // namespace ovrix::v2
