#pragma once
// Layer parameters and learning parameters: immutable key/value sets.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/enums.h"

namespace ovrix {

// "InputData", "Conv2D", ... ; "Unknown" for any other value.
const char* layer_type_name(LayerType type);

class LayerParams {
 public:
  virtual ~LayerParams() = default;
  // Builds the set for a layer kind; keys the kind does not know are refused (std::invalid_argument),
  // missing keys take the kind's defaults.
  static std::unique_ptr<LayerParams> create(LayerType type, const std::map<std::string, int>& values);
  static std::unique_ptr<LayerParams> clone(const LayerParams* other);

  // Value of a key; an absent key throws std::invalid_argument.
  virtual int32_t get(const std::string& key) const = 0;
  virtual bool has(const std::string& key) const = 0;
  // Keys in a stable (sorted) order.
  virtual std::vector<std::string> keys() const = 0;
  virtual LayerType layer_type() const = 0;
};

class LearningParams {
 public:
  virtual ~LearningParams() = default;
  static std::shared_ptr<LearningParams> create(LearningType type, const std::map<std::string, double>& values);
  static std::shared_ptr<LearningParams> clone(const LearningParams* other);

  // Value of a key; an absent key throws std::invalid_argument.
  virtual double get(const std::string& key) const = 0;
  virtual std::vector<std::string> keys() const = 0;
  virtual LearningType learning_type() const = 0;
};

}  // namespace ovrix
