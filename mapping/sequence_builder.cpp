#include "mapping/sequence_builder.h"

#include <fmt/format.h>

#include <stdexcept>

#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/mesh.h"

namespace ovrix {

HardwareSequenceBuilder::HardwareSequenceBuilder(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                                                 const IoRecorder& io_recorder, const LayerRecorder& layer_recorder)
    : device_(std::move(device)), constraints_(constraints), io_recorder_(io_recorder), layer_recorder_(layer_recorder) {
  if (!device_) throw std::invalid_argument("A hardware sequence builder needs a device.");
}

void HardwareSequenceBuilder::add_layers(LayerList layers, const LayerList& sequence_layers,
                                         ComponentLists components) {
  if (layers.size() != components.size())
    throw std::invalid_argument(fmt::format("A hardware pass of {} layers was given {} component lists.",
                                            layers.size(), components.size()));
  for (const LayerPtr& layer : layers)
    if (!layer) throw std::invalid_argument("A hardware pass cannot hold a null layer.");

  if (pending_layer_) {
    layers.insert(layers.begin(), std::move(pending_layer_));
    components.insert(components.begin(), std::move(pending_components_));
    pending_layer_.reset();
    pending_components_.clear();
  }
  if (!layers.empty() && layers.back()->is_target_component(hw::TargetKind::SkipDma)) {
    pending_layer_ = std::move(layers.back());
    pending_components_ = std::move(components.back());
    layers.pop_back();
    components.pop_back();
  }
  // A group that was only a held-back skip-DMA layer makes no pass of its own.
  if (layers.empty()) return;

  layers_.insert(layers_.end(), layers.begin(), layers.end());
  passes_.push_back(
      std::make_shared<HardwarePass>(layers, sequence_layers, components, device_->mesh().dma_event, last_pass()));
}

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::hardware_pass(size_t index) const {
  if (index >= passes_.size())
    throw std::out_of_range(fmt::format("Pass {} does not exist: the builder holds {} passes.", index, passes_.size()));
  return std::dynamic_pointer_cast<HardwarePass>(passes_[index]);
}

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::last_pass() const {
  return passes_.empty() ? nullptr : hardware_pass(passes_.size() - 1);
}

void HardwareSequenceBuilder::clear() {
  layers_.clear();
  passes_.clear();
  program_.clear();
}

MappingStatus HardwareSequenceBuilder::check_num_descriptors(const LayerPtr& layer, uint64_t a, uint64_t b) {
  uint64_t needed = 0;
  const bool overflow = __builtin_mul_overflow(a, b, &needed);
  if (!overflow && needed <= max_descriptors) return MappingStatus::success();
  // The layer may be one of the passes that clear() releases: take its name first.
  std::string name = layer ? layer->name() : std::string();
  clear();
  const std::string count = overflow ? fmt::format("{} x {}", a, b) : fmt::format("{}", needed);
  return MappingStatus(std::move(name),
                       fmt::format("Model is too big. The maximum number of descriptors is more than allowed. {} are "
                                   "needed but {} are available.",
                                   count, max_descriptors));
}

}  // namespace ovrix
