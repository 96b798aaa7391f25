#include "backends/lumo/lumo_backend.h"

#include <fmt/format.h>

#include <stdexcept>

#include "backends/lumo/chain.h"
#include "backends/lumo/rules.h"
#include "backends/lumo/sram_sizes.h"
#include "backends/lumo/tnpr_recording.h"
#include "engine/device.h"
#include "engine/params.h"
#include "program/record.h"

namespace ovrix::lumo {

namespace {
bool is_io_kind(LayerType type) {
  return type == LayerType::InputData || type == LayerType::Dequantizer || type == LayerType::Quantizer;
}
}  // namespace

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer& layer, const Layer*, HwVersion) const {
  if (is_tnpr(layer)) return check_tnp_r_constraints(constraints_, layer);
  if (is_io_kind(layer_type(layer))) return MappingStatus::success();
  return MappingStatus(layer.get_name(), "Unsupported layer type on Lumo.");
}
MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerIterator, LayerIterator, HwVersion) const {
  return MappingStatus::success();
}
MappingStatus CompatibilityCheckerImpl::check_layer_mappings(const Layer&, const std::vector<hw::Component>&,
                                                             bool) const {
  return MappingStatus::success();
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t,
                                                               uint8_t, uint32_t) const {
  throw std::runtime_error("No single buffer mode on Lumo.");
}
bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t,
                                                             uint8_t, uint32_t) const {
  throw std::runtime_error("No dual buffer mode on Lumo.");
}
bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer&, uint32_t) const {
  throw std::runtime_error("No NP on Lumo.");
}
NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type, const LayerParams&) const {
  throw std::runtime_error("Cannot split TNP-R.");
}
bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const {
  throw std::runtime_error("No FNP3 on Lumo.");
}

uint32_t MemorySizerImpl::get_fsram_64b_memory_size(const std::shared_ptr<Layer>& layer) const {
  return get_tnpr_fsram_64b_size(*layer);
}
uint32_t MemorySizerImpl::get_tsram_51b_memory_size(const std::shared_ptr<Layer>& layer) const {
  return get_tnpr_tsram_51b_size(*layer);
}
uint32_t MemorySizerImpl::get_evsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const {
  return get_tnpr_evsram_32b_size(*layer);
}
uint32_t MemorySizerImpl::get_stsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const {
  return get_tnpr_stsram_32b_size(*layer);
}

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool, bool, bool, bool, bool, const Shape&,
                                                            const Shape&) const {
  return program::new_record(device_.version());
}

std::unique_ptr<std::vector<RegisterWrite>> IoRecorderImpl::record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool,
                                                                       bool, bool) const {
  return std::make_unique<std::vector<RegisterWrite>>();
}

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(const Layer& layer, const Layer&,
                                                                 std::shared_ptr<Layer>, bool, bool,
                                                                 const std::vector<hw::Ident>&, bool, bool) const {
  const LayerType type = layer_type(layer);
  if (is_io_kind(type)) return program::new_record(device_.version());
  if (type == LayerType::StatefulRecurrent) {
    // A chain is recorded once, by its head; the layers after it are in that record.
    if (!layer.inbound_layers().empty() && is_tnpr(*layer.inbound_layers().front())) return program::new_record(device_.version());
    return record_program_tnpr_layers(device_, layer);
  }
  throw std::runtime_error(fmt::format("Unsupported layer type on lumo: {}.", static_cast<int>(type)));
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
  throw std::runtime_error("Learning not implemented on lumo.");
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer>) const {
  throw std::runtime_error("Learning not implemented on lumo.");
}

}  // namespace ovrix::lumo
