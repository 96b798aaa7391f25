#pragma once
// A hardware sequence: the device program of a group of layers mapped on one device, with the
// passes and layers it covers. The engine runs inference and learning through forward_samples.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/sequence.h"
#include "mapping/graph_utils.h"
#include "mapping/hardware_constraints.h"

namespace ovrix {

class Device;
struct Edition;

class HardwareSequence : public ForwardableSequence {
 public:
  // Keeps the device, a copy of its limits, the layers and passes, and takes the program bytes: a
  // size-prefixed program-information buffer followed by a size-prefixed program-data buffer.
  HardwareSequence(std::shared_ptr<Device> device, const HardwareConstraints& constraints, LayerList layers,
                   std::vector<std::shared_ptr<Pass>> passes, std::vector<uint8_t> program);

  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  std::span<const uint8_t> program() const override { return program_; }
  // The program cut after its first size prefix: the information part (prefix included), then the
  // data part. A program whose first prefix does not fit in it is refused (std::runtime_error).
  ProgramParts program_parts() const override;
  // "HW/<first layer>", or "HW/<first layer>-<last layer>" for two layers or more.
  std::string name() const override;
  // Runs the samples on the device, loading this program first unless the device already holds it.
  // labels is null for inference. A device without hardware: "An actual hardware device is
  // required." (std::runtime_error).
  std::vector<std::shared_ptr<Tensor>> forward_samples(const std::vector<std::shared_ptr<const Tensor>>& inputs,
                                                       const std::vector<int32_t>* labels) override;
  // Reads the learnt variables of the learning layer (the last mappable layer of the last pass,
  // mapped on exactly one NP) back from the device, through the layer recorder of the device's
  // edition.
  void sync_learning_vars();
  // Writes the device's learning memory from the learning layer's current variables, as recording
  // the layer now gives it: the program holds the memory as it was when the model was mapped, and
  // what a fit has learnt since lives in the variables. Nothing when the loaded program has no
  // learning memory.
  void write_learning_memory();

  const std::shared_ptr<Device>& device() const { return device_; }
  const HardwareConstraints& constraints() const { return constraints_; }
  const LayerList& layers() const { return layers_; }

 private:
  // The last mappable layer of the last pass, mapped on exactly one NP, and the edition that learns on
  // the device.
  LayerPtr learning_layer() const;
  const Edition& learning_edition() const;
  // Refuses, before anything reaches the device, a fit of a FullyConnected learning layer that has no
  // learning parameters (std::invalid_argument), and a run whose learning layer no longer meets the
  // rules mapping checked (mapping's message, std::runtime_error).
  void check_learning(bool fit) const;

  std::shared_ptr<Device> device_;
  HardwareConstraints constraints_;
  LayerList layers_;
  std::vector<std::shared_ptr<Pass>> passes_;
  std::vector<uint8_t> program_;
};

}  // namespace ovrix
