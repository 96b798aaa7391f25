#pragma once
// Named tensors of a layer (weights, shifts, thresholds, ...).
#include <memory>
#include <string>
#include <vector>

#include "engine/tensor.h"

namespace ovrix {

class Variables {
 public:
  virtual ~Variables() = default;
  // Names in insertion order.
  virtual std::vector<std::string> names() const = 0;
  // Replaces the tensor of a variable (holders of the old tensor keep it). The variable keeps its
  // layout: a row-major tensor with the reversed shape of a reversed-layout variable holds the same
  // bytes and is stored in the variable's layout.
  virtual void set(const std::string& name, std::shared_ptr<Tensor> tensor) = 0;
  // The variable's tensor, or null when the layer has no such variable.
  virtual std::shared_ptr<Dense> get(const std::string& name) const = 0;
  virtual bool has(const std::string& name) const = 0;
};

}  // namespace ovrix
