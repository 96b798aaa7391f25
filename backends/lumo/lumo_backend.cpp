#include "backends/lumo/lumo_backend.h"

#include <stdexcept>

#include "engine/device.h"
#include "program/record.h"

namespace ovrix::lumo {

namespace {
[[noreturn]] void not_available() { throw std::runtime_error("The lumo edition is not available yet."); }
}  // namespace

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer&, const Layer*, HwVersion) const {
  not_available();
}
MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerIterator, LayerIterator, HwVersion) const {
  not_available();
}
MappingStatus CompatibilityCheckerImpl::check_layer_mappings(const Layer&, const std::vector<hw::Component>&,
                                                             bool) const {
  not_available();
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

uint32_t MemorySizerImpl::get_fsram_64b_memory_size(const std::shared_ptr<Layer>&) const { not_available(); }
uint32_t MemorySizerImpl::get_tsram_51b_memory_size(const std::shared_ptr<Layer>&) const { not_available(); }
uint32_t MemorySizerImpl::get_evsram_32b_memory_size(const std::shared_ptr<Layer>&) const { not_available(); }
uint32_t MemorySizerImpl::get_stsram_32b_memory_size(const std::shared_ptr<Layer>&) const { not_available(); }

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool, bool, bool, bool, bool, const Shape&,
                                                            const Shape&) const {
  return program::new_record(device_.version());
}

std::unique_ptr<std::vector<RegisterWrite>> IoRecorderImpl::record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool,
                                                                       bool, bool) const {
  return std::make_unique<std::vector<RegisterWrite>>();
}

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(const Layer&, const Layer&, std::shared_ptr<Layer>,
                                                                 bool, bool, const std::vector<hw::Ident>&, bool,
                                                                 bool) const {
  not_available();
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
  throw std::runtime_error("Learning not implemented on lumo.");
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer>) const {
  throw std::runtime_error("Learning not implemented on lumo.");
}

}  // namespace ovrix::lumo
