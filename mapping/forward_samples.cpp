#include "mapping/forward_samples.h"

#include <algorithm>
#include <stdexcept>

#include "engine/params.h"

namespace ovrix {

namespace {

bool holds_program(const HardwareDevice& hw, std::span<const uint8_t> program) {
  const std::span<const uint8_t> loaded = hw.program();
  return loaded.data() != nullptr && loaded.size() == program.size() &&
         std::equal(loaded.begin(), loaded.end(), program.begin());
}

bool ends_with_dequantizer(const std::vector<std::shared_ptr<Layer>>& layers) {
  return !layers.empty() && layers.back()->params()->layer_type() == LayerType::Dequantizer;
}

}  // namespace

std::vector<std::shared_ptr<Tensor>> forward_samples(const Device& device, std::span<const uint8_t> program,
                                                     const std::vector<std::shared_ptr<Layer>>& layers,
                                                     const std::vector<std::shared_ptr<const Tensor>>& inputs,
                                                     const std::vector<int32_t>* labels,
                                                     const std::function<void()>& sync_learning_vars,
                                                     const std::function<void()>& write_learning_memory) {
  HardwareDevice* hw = device.hardware();
  if (hw == nullptr) throw std::runtime_error("An actual hardware device is required.");

  if (!holds_program(*hw, program)) hw->program(program.data(), program.size());
  // The learning memory is written at every call, not only when the program is loaded: another model
  // with the same program bytes (a copy, or the same file loaded twice) leaves its own learnt weights
  // in it without the program changing. A device left with a memory that is not this model's would
  // learn on from other weights at the next call, which finds the program loaded: it holds no program
  // until one loads whole.
  try {
    if (write_learning_memory) write_learning_memory();
  } catch (...) {
    hw->unprogram();
    throw;
  }
  hw->set_batch_size(static_cast<uint32_t>(inputs.size()), true);
  const bool learn = labels != nullptr;
  if (hw->learn_enabled() != learn) hw->set_learn_enabled(learn);

  std::vector<std::unique_ptr<Tensor>> outputs;
  if (learn) {
    outputs = hw->fit(inputs, *labels);
    if (sync_learning_vars) sync_learning_vars();
  } else if (ends_with_dequantizer(layers)) {
    outputs = hw->predict(inputs);
  } else {
    outputs = hw->forward(inputs);
  }

  std::vector<std::shared_ptr<Tensor>> result;
  result.reserve(outputs.size());
  for (auto& out : outputs) result.push_back(std::shared_ptr<Tensor>(std::move(out)));
  return result;
}

}  // namespace ovrix
