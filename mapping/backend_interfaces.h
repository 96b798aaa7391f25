#pragma once
// The four interfaces an edition back-end implements: its checks, its memory sizes, its per-layer
// recorder and its input/output recorder. The mapping core drives them; the editions live in
// backends/<edition> and are picked by the hardware back-end.
#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "mapping/hardware_constraints.h"
#include "mapping/hw_description.h"
#include "mapping/hw_types.h"
#include "mapping/hw_version.h"
#include "mapping/mapping_status.h"

namespace ovrix {

class Device;
class Layer;
class LayerParams;

namespace program {
class Record;
struct LearnRecordsPtr;
}  // namespace program

// What a checker reads from a layer's parameters to split it over NPs.
struct NpSplitParams {
  // One per side of an NP's input window: before and after along the width, then along the height.
  std::array<uint32_t, 4> kernel_margins{};
  uint32_t pool_type = 0;  // a PoolType number; 1 (max pooling) keeps the pieces aligned on the pool
  uint32_t pool_width = 0;
  uint32_t pool_height = 0;
  uint32_t filters = 0;

  // The eight values in order: margins 0..3, pool type, pool width, pool height, filters.
  uint32_t operator[](size_t i) const {
    switch (i) {
      case 0: case 1: case 2: case 3: return kernel_margins[i];
      case 4: return pool_type;
      case 5: return pool_width;
      case 6: return pool_height;
      default: return filters;
    }
  }
  friend bool operator==(const NpSplitParams&, const NpSplitParams&) = default;
};

// Rules of an edition: may a layer run, may layers be chained, are its components acceptable, and the
// sizing questions asked while layers are split. Holds references to the device and the limits.
class CompatibilityChecker {
 public:
  using LayerIterator = std::vector<std::shared_ptr<Layer>>::const_iterator;

  CompatibilityChecker(const Device& device, const HardwareConstraints& constraints)
      : device_(device), constraints_(constraints) {}
  virtual ~CompatibilityChecker() = default;

  // previous: the layer's first inbound layer, null for the first layer of the list and for a layer
  // without inbound layers.
  virtual MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous,
                                                  HwVersion version) const = 0;
  // [first, last) is never empty.
  virtual MappingStatus check_layer_sequence(LayerIterator first, LayerIterator last, HwVersion version) const = 0;
  virtual MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                             bool first_in_pass) const = 0;
  // An NP's input part (height and width including the halo, channels it holds), the layer's FIFO size,
  // input bits and the input words reserved ahead of the data.
  virtual bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                               uint32_t fifo_size, uint8_t input_bits,
                                               uint32_t reserved_words) const = 0;
  virtual bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                             uint32_t fifo_size, uint8_t input_bits,
                                             uint32_t reserved_words) const = 0;
  // filters: the neurons one NP is given.
  virtual bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const = 0;
  virtual NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const = 0;
  virtual bool check_fnp3_sram_size(const HardwareConstraints& constraints, const Layer& layer) const = 0;

  // check_fnp3_sram_size with the limits this checker refers to.
  bool is_fnp3_compatible(const Layer& layer) const { return check_fnp3_sram_size(constraints_, layer); }

  const Device& device() const { return device_; }
  const HardwareConstraints& constraints() const { return constraints_; }

 protected:
  const Device& device_;
  const HardwareConstraints& constraints_;
};

// Memory sizes of an edition per layer and component. Holds nothing.
class MemorySizer {
 public:
  virtual ~MemorySizer() = default;

  // first_layer: the first layer of the sequence's first pass.
  virtual uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                         const std::shared_ptr<Layer>& first_layer) const = 0;
  virtual uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer,
                                          const hw::Component& component) const = 0;
  // dual_output_store: the component is the dual-output skip-DMA store; multi_pass: the sequence has
  // more than one pass.
  virtual uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                            bool dual_output_store, bool multi_pass) const = 0;
  virtual uint32_t get_fsram_64b_memory_size(const std::shared_ptr<Layer>& layer) const = 0;
  virtual uint32_t get_tsram_51b_memory_size(const std::shared_ptr<Layer>& layer) const = 0;
  virtual uint32_t get_evsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const = 0;
  virtual uint32_t get_stsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const = 0;

  // The seven sizes in order: input, weight, external, STSRAM, FSRAM, TSRAM, EVSRAM.
  MemoryInfo get_memory_info(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                             const std::shared_ptr<Layer>& first_layer, bool dual_output_store,
                             bool multi_pass) const;
};

// A register write of the output part of a program: register byte offset, value.
using RegisterWrite = std::pair<uint32_t, uint32_t>;

// Records the input and output part of a program. Holds a reference to the device.
class IoRecorder {
 public:
  explicit IoRecorder(const Device& device) : device_(device) {}
  virtual ~IoRecorder() = default;

  virtual std::unique_ptr<program::Record> record_scc(bool a, bool b, bool c, bool d, bool e, const Shape& input,
                                                     const Shape& output) const = 0;
  virtual std::unique_ptr<std::vector<RegisterWrite>> record_epg(const Layer& last_layer, uint8_t a, uint8_t b,
                                                                 uint8_t c, bool d, bool e, bool f) const = 0;
  // Input and output format codes of the program (0 to 3).
  virtual uint8_t get_input_type(const Layer& first_layer) const = 0;
  virtual uint8_t get_output_type(const Layer& last_layer, int8_t input_type) const = 0;

  const Device& device() const { return device_; }

 protected:
  const Device& device_;
};

// Records a layer's program and its learning program, and reads learnt variables back. Holds
// references to the device and the limits.
class LayerRecorder {
 public:
  LayerRecorder(const Device& device, const HardwareConstraints& constraints)
      : device_(device), constraints_(constraints) {}
  virtual ~LayerRecorder() = default;

  // excluded_nps: NPs whose blocks are left out.
  virtual std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& other,
                                                        std::shared_ptr<Layer> next, bool starts_pass,
                                                        bool ends_pass, const std::vector<hw::Ident>& excluded_nps,
                                                        bool registers_only, bool lut_flag) const = 0;
  virtual program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool flag) const = 0;
  virtual void sync_learning_vars(std::shared_ptr<Layer> layer) const = 0;

  const Device& device() const { return device_; }
  const HardwareConstraints& constraints() const { return constraints_; }

 protected:
  const Device& device_;
  const HardwareConstraints& constraints_;
};

}  // namespace ovrix
