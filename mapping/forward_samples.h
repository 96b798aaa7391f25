#pragma once
// The run road of a hardware sequence: its program on its device, then the samples through it.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "engine/device.h"
#include "engine/layer.h"
#include "engine/tensor.h"

namespace ovrix {

// Runs samples on the device with a sequence's program:
// - the device must have hardware ("An actual hardware device is required.");
// - the program is loaded only when the device holds none or another one; then, at every call,
//   write_learning_memory (when given) puts what the model has learnt since it was mapped into the
//   device's learning memory (a failure leaves no program loaded);
// - the batch size is the number of inputs, and learning is on exactly when labels are given;
// - with labels: fit, then sync_learning_vars (the sequence reads the learnt variables back; its
//   failure leaves the program loaded and learning on); without: predict when the last layer is a
//   Dequantizer, else forward.
// One output per input, in order (an empty device output stays empty).
std::vector<std::shared_ptr<Tensor>> forward_samples(const Device& device, std::span<const uint8_t> program,
                                                     const std::vector<std::shared_ptr<Layer>>& layers,
                                                     const std::vector<std::shared_ptr<const Tensor>>& inputs,
                                                     const std::vector<int32_t>* labels,
                                                     const std::function<void()>& sync_learning_vars,
                                                     const std::function<void()>& write_learning_memory = {});

}  // namespace ovrix
