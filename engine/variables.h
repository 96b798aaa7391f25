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

// The variables of every layer the engine makes. Each variable has a fixed shape and layout, given
// by its layer's kind and input; its tensor starts as zeros, made on first use.
class VariablesImpl final : public Variables {
 public:
  struct Spec {
    std::string name;
    TensorType type;  // element type of the initial zeros
    Shape shape;
    Dense::Layout layout = Dense::Layout::RowMajor;
  };

  std::vector<std::string> names() const override;
  // Refuses (std::invalid_argument) a null tensor, a name the layer does not have, and a tensor whose
  // shape is neither the variable's shape in the variable's layout nor its reverse in the other
  // layout. Any element type is stored as given.
  void set(const std::string& name, std::shared_ptr<Tensor> tensor) override;
  std::shared_ptr<Dense> get(const std::string& name) const override;
  bool has(const std::string& name) const override;

  // The variable's fixed shape, layout and initial type; null when absent.
  const Spec* spec(const std::string& name) const;
  // The tensor given to set, or null while the variable still holds its initial zeros (nothing
  // is allocated for it then).
  std::shared_ptr<Dense> stored(const std::string& name) const;

  // Engine side: the layer's variables become these, in this order. A variable whose name, shape
  // and layout stay the same keeps its tensor; the others start again from zeros.
  void reshape(std::vector<Spec> specs);

 private:
  struct Entry {
    Spec spec;
    mutable std::shared_ptr<Dense> tensor;
  };
  const Entry* find(const std::string& name) const;
  std::vector<Entry> entries_;
};

}  // namespace ovrix
