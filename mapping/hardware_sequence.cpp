#include "mapping/hardware_sequence.h"

#include <fmt/format.h>

#include <stdexcept>

#include "engine/device.h"
#include "engine/inference.h"
#include "engine/layer.h"
#include "mapping/edition_registry.h"
#include "mapping/forward_samples.h"
#include "mapping/layer_mapping.h"
#include "program/record.h"

namespace ovrix {

HardwareSequence::HardwareSequence(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                                   LayerList layers, std::vector<std::shared_ptr<Pass>> passes,
                                   std::vector<uint8_t> program)
    : device_(std::move(device)),
      constraints_(constraints),
      layers_(std::move(layers)),
      passes_(std::move(passes)),
      program_(std::move(program)) {}

Sequence::ProgramParts HardwareSequence::program_parts() const {
  const uint64_t size = program_.size();
  if (size < 4)
    throw std::runtime_error(fmt::format("The device program of {} bytes has no size prefix.", size));
  const uint64_t info_size = uint64_t{program_[0]} | uint64_t{program_[1]} << 8 | uint64_t{program_[2]} << 16 |
                             uint64_t{program_[3]} << 24;
  if (info_size + 4 > size)
    throw std::runtime_error(fmt::format(
        "The device program is malformed: its program information of {} bytes does not fit in {} bytes.",
        info_size, size));
  const std::span<const uint8_t> all(program_);
  return ProgramParts{all.first(info_size + 4), all.subspan(info_size + 4)};
}

std::string HardwareSequence::name() const {
  std::string text = "HW/";
  if (layers_.empty()) return text;
  text += layers_.front()->get_name();
  if (layers_.size() >= 2) text += "-" + layers_.back()->get_name();
  return text;
}

std::vector<std::shared_ptr<Tensor>> HardwareSequence::forward_samples(
    const std::vector<std::shared_ptr<const Tensor>>& inputs, const std::vector<int32_t>* labels) {
  check_learning(labels != nullptr);
  return ovrix::forward_samples(*device_, program_, layers_, inputs, labels, [this] { sync_learning_vars(); },
                                [this] { write_learning_memory(); });
}

LayerPtr HardwareSequence::learning_layer() const {
  if (passes_.empty() || !passes_.back())
    throw std::runtime_error("A hardware sequence without passes has no learning layer.");
  const LayerPtr layer = last_mappable_layer(passes_.back()->layers);
  if (!layer) throw std::runtime_error("The last pass of the sequence has no learning layer.");
  if (require_layer_mapping(*layer)->nps->size() != 1)
    throw std::runtime_error("Learning is not supported for layers mapped on more than 1 NP.");
  return layer;
}

void HardwareSequence::check_learning(bool fit) const {
  // Without hardware the run refuses first.
  if (device_->hardware() == nullptr || passes_.empty() || !passes_.back()) return;
  const LayerPtr layer = last_mappable_layer(passes_.back()->layers);
  if (!layer) return;
  // A dense layer that learns on the device does so once compiled; without learning parameters the
  // device would run the samples and its learning memory could not be read back.
  if (fit && dynamic_cast<const FullyConnected*>(layer.get()) != nullptr)
    (void)software::learning_params_to_fit(*layer);
  // The learning memory is written from the layer's variables at every run, and they may have changed
  // since mapping checked them: they must still be what the device learns with.
  if (!layer->is_learning()) return;
  const Edition* edition = edition_registry().find(device_->version().product_id);
  if (edition == nullptr) return;  // learning_edition() names what is missing when the memory is written
  const auto& inbounds = layer->inbound_layers();
  const MappingStatus status =
      edition->make_checker(*device_, constraints_)
          ->check_layer_compatibility(*layer, inbounds.empty() ? nullptr : inbounds.front().get(), device_->version());
  if (status.failed) status.throw_exception();
}

const Edition& HardwareSequence::learning_edition() const {
  const uint8_t product = device_->version().product_id;
  const Edition* edition = edition_registry().find_learning(product);
  if (edition == nullptr) {
    const IpVersion version = device_->version().get_ip_version();
    if (version == IpVersion::none) throw std::runtime_error("Unsupported IP version in sync_learning_vars.");
    throw std::runtime_error(fmt::format("The {} hardware back-end is not available in this build.", to_string(version)));
  }
  return *edition;
}

void HardwareSequence::sync_learning_vars() {
  const LayerPtr layer = learning_layer();
  learning_edition().make_layer_recorder(*device_, constraints_)->sync_learning_vars(layer);
}

void HardwareSequence::write_learning_memory() {
  HardwareDevice* hw = device_->hardware();
  const uint32_t words = hw ? hw->learn_mem_size() : 0;
  if (words == 0) return;
  const LayerPtr layer = learning_layer();
  const program::LearnRecordsPtr records =
      learning_edition().make_layer_recorder(*device_, constraints_)->record_learning_layer(*layer, false);
  // The device holds the FNP2 filters track, or the track that holds the FNP3 block with its DMA
  // header (after a first track left empty when the block needs the long header).
  const std::vector<uint32_t>* memory = nullptr;
  if (records.third) {
    if (const auto* filters = records.third->fnp2_filters_track())
      memory = &filters->words;
    else
      for (const program::NpTrack& track : records.third->tracks())
        if (!track.words().empty()) {
          memory = &track.words();
          break;
        }
  }
  if (memory == nullptr || memory->size() != words)
    throw std::runtime_error(fmt::format(
        "The learning memory of layer '{}' records {} words, but the device's program holds {}.", layer->get_name(),
        memory ? memory->size() : 0, words));
  hw->update_learn_mem(memory->data());
}

}  // namespace ovrix
