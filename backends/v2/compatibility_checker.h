#pragma once
// The v2 edition's checks: may a layer run on v2 hardware, may a run of layers form one hardware
// sequence, are a layer's components acceptable, and the sizing questions of the NP splits.
#include <cstdint>
#include <string>

#include "engine/enums.h"
#include "mapping/backend_interfaces.h"

namespace ovrix::v2 {

class CompatibilityCheckerImpl : public CompatibilityChecker {
 public:
  // Keeps references to both; they must outlive the checker.
  CompatibilityCheckerImpl(const Device& device, const HardwareConstraints& constraints);

  MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous, HwVersion version) const override;
  MappingStatus check_layer_sequence(LayerIterator first, LayerIterator last, HwVersion version) const override;
  MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     bool first_in_pass) const override;
  bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                       uint32_t fifo_size, uint8_t input_bits,
                                       uint32_t reserved_words) const override;
  bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                     uint32_t fifo_size, uint8_t input_bits, uint32_t reserved_words) const override;
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
  NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override;
  bool check_fnp3_sram_size(const HardwareConstraints& constraints, const Layer& layer) const override;

  // Activations other than ReLU run only on CNPs and the HRC; a lookup-table activation needs a
  // lookup table on every NP of the mesh.
  MappingStatus check_supported_activation(const Layer& layer) const;
};

// 100-bit weight words of `filters` filters of a CNP or TNP-B layer; another kind is refused with
// std::invalid_argument "Unexpected layer type for CNP or TNP-B.".
uint32_t get_weights_100b_size(const Layer& layer, uint32_t filters);

// 32-bit input words an NP of that type needs for an input part of height × width × channels values
// (TNP-B: times its FIFO frames); std::runtime_error "Type of NP not supported." for other types.
uint64_t np_input_words(hw::Type type, uint32_t height, uint32_t width, uint32_t channels, uint32_t fifo_size,
                        uint8_t input_bits);

}  // namespace ovrix::v2
