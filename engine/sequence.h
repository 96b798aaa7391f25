#pragma once
// Sequences: groups of layers mapped on one back-end, and the back-end interface that makes them.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/enums.h"
#include "engine/layer.h"
#include "engine/tensor.h"
#include "mapping/mapping_status.h"

namespace ovrix {

class MapConstraints;

class Sequence {
 public:
  class Pass {
   public:
    virtual ~Pass() = default;
    std::vector<std::shared_ptr<Layer>> layers;
  };
  // A device program cut into its program-information and program-data byte ranges.
  struct ProgramParts {
    std::span<const uint8_t> program_info;
    std::span<const uint8_t> program_data;
  };

  virtual ~Sequence() = default;
  virtual const std::vector<std::shared_ptr<Pass>>& passes() const = 0;
  virtual BackendType backend() const = 0;
  // The device program (empty for software sequences).
  virtual std::span<const uint8_t> program() const = 0;
  virtual ProgramParts program_parts() const = 0;
  virtual std::string name() const = 0;
};

class ForwardableSequence : public Sequence {
 public:
  // One output per input sample, in order. labels is null for inference.
  virtual std::vector<std::shared_ptr<Tensor>> forward_samples(
      const std::vector<std::shared_ptr<const Tensor>>& inputs, const std::vector<int32_t>* labels) = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  // Maps what it can of *layers (erasing what it mapped) into *sequences.
  virtual MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>* layers,
                                 std::vector<std::shared_ptr<Sequence>>* sequences,
                                 std::shared_ptr<MapConstraints> constraints) = 0;
  virtual BackendType type() const = 0;
};

// The engine maps on hardware through a back-end it does not know: the hardware mapping core registers
// its factory at start-up, as a runtime's execution providers register themselves. A later
// registration replaces an earlier one.
using BackendFactory = std::unique_ptr<Backend> (*)();
void register_hardware_backend_factory(BackendFactory factory);
// A new back-end from the registered factory; without one: "No hardware back-end is registered in
// this build." (std::runtime_error).
std::unique_ptr<Backend> create_hardware_backend();

}  // namespace ovrix
