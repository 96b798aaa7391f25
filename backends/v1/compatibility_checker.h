#pragma once
// The v1 edition's checks: may a layer run on a v1 device, may a run of layers form one hardware
// sequence, are a layer's components acceptable, and the sizing questions of the NP splits.
#include <cstdint>
#include <vector>

#include "mapping/backend_interfaces.h"

namespace ovrix::v1 {

class CompatibilityCheckerImpl : public CompatibilityChecker {
 public:
  // Keeps references to both; they must outlive the checker.
  CompatibilityCheckerImpl(const Device& device, const HardwareConstraints& constraints);

  // Quor_v1 refuses every layer; otherwise one rule set per layer kind, every broken rule gathered in
  // rule order into one status.
  MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous, HwVersion version) const override;
  MappingStatus check_layer_sequence(LayerIterator first, LayerIterator last, HwVersion version) const override;
  MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     bool first_in_pass) const override;
  // Only the height, width, channels and input bits are read on v1.
  bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                       uint32_t fifo_size, uint8_t input_bits,
                                       uint32_t reserved_words) const override;
  bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                     uint32_t fifo_size, uint8_t input_bits, uint32_t reserved_words) const override;
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
  // Half kernels as margins (rounded down), then pool type, pool width, pool height and filters.
  NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override;
  bool check_fnp3_sram_size(const HardwareConstraints& constraints, const Layer& layer) const override;

  // The rules of one layer kind (a layer of another class throws std::bad_cast; an unbuilt one
  // std::runtime_error "The layer <name> is not built.").
  MappingStatus check_std_cnp_constraints(const Layer& layer, HwVersion version) const;
  MappingStatus check_sep_cnp_constraints(const Layer& layer, HwVersion version) const;
  MappingStatus check_fnp_common_constraints(const Layer& layer, HwVersion version) const;
  // The dense rules: the FNP rules, the weight range of the weight width and, for a layer that
  // learns, num_weights non-zero weights per neuron.
  // The input-convolution rules of the HRC.
  MappingStatus check_hrc_constraints(const Layer& layer) const;
  MappingStatus check_dense_constraints(const Layer& layer, HwVersion version) const;
};

// The mapping checks of the two CNP kinds: pooling that overlaps its neighbours and strided max
// pooling cannot be split spatially; on Quor_v2 a one-channel layer needs an even number of
// eight-filter groups per NP.
MappingStatus check_std_cnp_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     HwVersion version);
MappingStatus check_sep_cnp_mappings(const Layer& layer, const std::vector<hw::Component>& components);

}  // namespace ovrix::v1
