#pragma once
// The lumo edition: one TNP-R that runs chains of stateful recurrent layers with its four dedicated
// SRAMs. It has no CNP, no FNP3, no input buffers to size and nothing to split, and it cannot learn;
// those operations refuse with a fixed message.
#include <memory>
#include <vector>

#include "mapping/backend_interfaces.h"

namespace ovrix::lumo {

class CompatibilityCheckerImpl : public CompatibilityChecker {
 public:
  using CompatibilityChecker::CompatibilityChecker;

  // A TNP-R layer: the rules of the chain it starts; InputData, Quantizer, Dequantizer: success; any
  // other kind: "Unsupported layer type on Lumo.".
  MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous, HwVersion version) const override;
  // Both: success (the chain rules live in the per-layer check).
  MappingStatus check_layer_sequence(LayerIterator first, LayerIterator last, HwVersion version) const override;
  MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     bool first_in_pass) const override;
  // "No single buffer mode on Lumo."
  bool is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                       uint32_t) const override;
  // "No dual buffer mode on Lumo."
  bool is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                     uint32_t) const override;
  // "No NP on Lumo."
  bool is_weights_size_fit_np(const Layer&, uint32_t) const override;
  // "Cannot split TNP-R."
  NpSplitParams np_split_params(hw::Type, const LayerParams&) const override;
  // "No FNP3 on Lumo."
  bool check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const override;
};

class MemorySizerImpl : public MemorySizer {
 public:
  // The lumo edition keeps nothing in the NP input, weight or external memories: 0.
  uint32_t get_input_memory_size(const std::shared_ptr<Layer>&, const hw::Component&,
                                 const std::shared_ptr<Layer>&) const override {
    return 0;
  }
  uint32_t get_weight_memory_size(const std::shared_ptr<Layer>&, const hw::Component&) const override { return 0; }
  uint32_t get_external_memory_size(const std::shared_ptr<Layer>&, const hw::Component&, bool, bool) const override {
    return 0;
  }
  uint32_t get_fsram_64b_memory_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t get_tsram_51b_memory_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t get_evsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const override;
  uint32_t get_stsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const override;
};

class IoRecorderImpl : public IoRecorder {
 public:
  using IoRecorder::IoRecorder;
  // An empty record of the device's hardware version: the TNP-R needs no input/output stage.
  std::unique_ptr<program::Record> record_scc(bool, bool, bool, bool, bool, const Shape&,
                                              const Shape&) const override;
  // No output-stage register writes.
  std::unique_ptr<std::vector<RegisterWrite>> record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool, bool,
                                                         bool) const override;
  uint8_t get_input_type(const Layer&) const override { return 0; }
  uint8_t get_output_type(const Layer&, int8_t) const override { return 0; }
};

class LayerRecorderImpl : public LayerRecorder {
 public:
  using LayerRecorder::LayerRecorder;
  // InputData, Quantizer, Dequantizer: an empty record. The head of a chain of StatefulRecurrent
  // layers: the whole chain. A recurrent layer inside a chain: an empty record, since its head
  // recorded it. Any other kind: "Unsupported layer type on lumo: <type>.".
  std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& other, std::shared_ptr<Layer> next,
                                                bool starts_pass, bool ends_pass,
                                                const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                bool lut_flag) const override;
  // Both: "Learning not implemented on lumo."
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool flag) const override;
  void sync_learning_vars(std::shared_ptr<Layer> layer) const override;
};

}  // namespace ovrix::lumo
