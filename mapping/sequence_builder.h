#pragma once
// Collects the hardware passes of one hardware sequence and turns them into a device program and an
// HardwareSequence. Used by the mapping driver: constructor; add_layers once per pass, in order;
// build_sequence, which leaves the builder empty and ready for the next sequence.
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "mapping/graph_utils.h"
#include "mapping/hardware_pass.h"
#include "mapping/hardware_sequence.h"
#include "mapping/layer_mapping.h"
#include "mapping/mapping_status.h"

namespace ovrix {

class Device;
class IoRecorder;
class LayerRecorder;
struct HardwareConstraints;

class HardwareSequenceBuilder {
 public:
  // The most DMA descriptors a device program may use.
  static constexpr uint64_t max_descriptors = 254;

  // The limits and both recorders are referred to, not owned: they must outlive the builder.
  HardwareSequenceBuilder(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                          const IoRecorder& io_recorder, const LayerRecorder& layer_recorder);

  // Adds one pass of these layers (one component list per layer). A skip-DMA layer that ends the
  // group is held back and opens the next group's pass instead; a held-back layer of the last group
  // belongs to no pass. sequence_layers is the list skip-DMA slots are counted against (the model's
  // whole layer list). The pass is linked to the previous one.
  void add_layers(LayerList layers, const LayerList& sequence_layers, ComponentLists components);

  // The pass at index (std::out_of_range beyond the passes); null when it is not a hardware pass.
  std::shared_ptr<HardwarePass> hardware_pass(size_t index) const;
  std::shared_ptr<HardwarePass> first_pass() const { return hardware_pass(0); }
  // Null without passes.
  std::shared_ptr<HardwarePass> last_pass() const;

  // Empties the layers, the passes and the program; a held-back skip-DMA layer stays.
  void clear();

  // Success while a x b descriptors stay within max_descriptors; otherwise clears the builder and
  // fails for the layer with "Model is too big. The maximum number of descriptors is more than
  // allowed. <a x b> are needed but 254 are available.".
  MappingStatus check_num_descriptors(const LayerPtr& layer, uint64_t a, uint64_t b);

  // Writes the device program of the passes and wraps it in a new HardwareSequence; the builder is
  // empty afterwards. A program beyond the descriptor budget gives the failure of
  // check_num_descriptors and no sequence. Needs at least one pass with a layer running on hardware.
  std::pair<MappingStatus, std::shared_ptr<HardwareSequence>> build_sequence();

  const LayerList& layers() const { return layers_; }
  const std::vector<std::shared_ptr<Sequence::Pass>>& passes() const { return passes_; }
  const std::vector<uint8_t>& program() const { return program_; }
  // The held-back skip-DMA layer, or null.
  const LayerPtr& pending_layer() const { return pending_layer_; }

 private:
  std::shared_ptr<Device> device_;
  const HardwareConstraints& constraints_;
  const IoRecorder& io_recorder_;
  const LayerRecorder& layer_recorder_;
  LayerList layers_;
  std::vector<std::shared_ptr<Sequence::Pass>> passes_;
  std::vector<uint8_t> program_;
  LayerPtr pending_layer_;
  std::vector<hw::Component> pending_components_;
};

}  // namespace ovrix
