#include "engine/params.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "engine/impl/layers/kind.h"

namespace ovrix {

const char* layer_type_name(LayerType type) {
  switch (type) {
    case LayerType::Unknown: return "Unknown";
    case LayerType::InputData: return "InputData";
    case LayerType::InputConvolutional: return "InputConvolutional";
    case LayerType::FullyConnected: return "FullyConnected";
    case LayerType::Convolutional: return "Convolutional";
    case LayerType::SeparableConvolutional: return "SeparableConvolutional";
    case LayerType::Add: return "Add";
    case LayerType::Concatenate: return "Concatenate";
    case LayerType::Conv2D: return "Conv2D";
    case LayerType::InputConv2D: return "InputConv2D";
    case LayerType::DepthwiseConv2D: return "DepthwiseConv2D";
    case LayerType::Conv2DTranspose: return "Conv2DTranspose";
    case LayerType::Dequantizer: return "Dequantizer";
    case LayerType::DepthwiseConv2DTranspose: return "DepthwiseConv2DTranspose";
    case LayerType::BufferTempConv: return "BufferTempConv";
    case LayerType::DepthwiseBufferTempConv: return "DepthwiseBufferTempConv";
    case LayerType::Dense1D: return "Dense1D";
    case LayerType::StatefulRecurrent: return "StatefulRecurrent";
    case LayerType::Quantizer: return "Quantizer";
    case LayerType::LumoPostProcessing: return "LumoPostProcessing";
  }
  return "Unknown";
}

namespace {

using detail::KeySpec;
using detail::KeyUse;
using detail::Range;

bool in_range(Range range, int32_t v) {
  switch (range) {
    case Range::Any: return true;
    case Range::Positive: return v >= 1;
    case Range::NonNegative: return v >= 0;
    case Range::Flag: return v == 0 || v == 1;
    case Range::Bits: return v >= 1 && v <= 32;
    case Range::WeightBits: return v >= 1 && v <= 8;
    case Range::Byte: return v >= 0 && v <= 255;
    case Range::Small: return v >= 1 && v <= 255;
    case Range::PaddingKind: return v >= 0 && v <= 2;
    case Range::PoolKind: return v >= 0 && v <= 2;
    case Range::PoolSize: return v == -1 || (v >= 1 && v <= 255);
    case Range::V1PoolStride: return v < 0 || (v >= 1 && v <= 255);
  }
  return false;
}

const char* range_text(Range range) {
  switch (range) {
    case Range::Any: return "any value";
    case Range::Positive: return "at least 1";
    case Range::NonNegative: return "at least 0";
    case Range::Flag: return "0 or 1";
    case Range::Bits: return "1 to 32";
    case Range::WeightBits: return "1 to 8";
    case Range::Byte: return "0 to 255";
    case Range::Small: return "1 to 255";
    case Range::PaddingKind: return "0 (Valid), 1 (Same) or 2 (SameUpper)";
    case Range::PoolKind: return "0 (NoPooling), 1 (Max) or 2 (Average)";
    case Range::PoolSize: return "-1 (global) or 1 to 255";
    case Range::V1PoolStride: return "negative (the pool size) or 1 to 255";
  }
  return "";
}

class LayerParamsImpl final : public LayerParams {
 public:
  LayerParamsImpl(LayerType type, detail::ParamMap values) : type_(type), values_(std::move(values)) {}

  int32_t get(const std::string& key) const override {
    auto it = values_.find(key);
    if (it == values_.end()) throw std::invalid_argument("Key " + key + " not found");
    return it->second;
  }
  bool has(const std::string& key) const override { return values_.count(key) != 0; }
  std::vector<std::string> keys() const override {
    std::vector<std::string> out;
    out.reserve(values_.size());
    for (const auto& [k, v] : values_) out.push_back(k);
    return out;
  }
  LayerType layer_type() const override { return type_; }

 private:
  LayerType type_;
  detail::ParamMap values_;
};

}  // namespace

std::unique_ptr<LayerParams> LayerParams::create(LayerType type, const std::map<std::string, int>& values) {
  const auto& rules = detail::kind_rules(type);
  const std::string kind = layer_type_name(type);
  auto specs = rules.keys();
  auto find_spec = [&](const std::string& name) -> const KeySpec* {
    for (const auto& s : specs) {
      if (name == s.name) return &s;
    }
    return nullptr;
  };
  detail::ParamMap out;
  for (const auto& [name, value] : values) {
    const KeySpec* spec = find_spec(name);
    if (spec == nullptr) throw std::invalid_argument("Unknown parameter '" + name + "' for layer type " + kind + ".");
    if (!in_range(spec->range, value)) {
      throw std::invalid_argument(fmt::format("Parameter '{}' of layer type {} must be {} (got {}).", name, kind,
                                              range_text(spec->range), value));
    }
    out.emplace(name, value);
  }
  for (const auto& s : specs) {
    if (out.count(s.name)) continue;
    if (s.use == KeyUse::Required) {
      throw std::invalid_argument("Missing parameter '" + std::string(s.name) + "' for layer type " + kind + ".");
    }
    if (s.use == KeyUse::Default) out.emplace(s.name, s.def);
  }
  rules.complete(out);
  return std::make_unique<LayerParamsImpl>(type, std::move(out));
}

std::unique_ptr<LayerParams> LayerParams::clone(const LayerParams* other) {
  if (other == nullptr) throw std::invalid_argument("Cannot clone null layer parameters.");
  std::map<std::string, int> values;
  for (const auto& k : other->keys()) values.emplace(k, other->get(k));
  return create(other->layer_type(), values);
}

// ---- learning parameters ----

namespace {

struct LearningKey {
  const char* name;
  double def;
  bool count;  // a whole, non-negative number of at most 32 bits
};

// The unsupervised rule's keys. min_plasticity's default is the float nearest 0.1, widened.
constexpr LearningKey unsupervised_keys[] = {
    {"initial_plasticity", 1.0, false},
    {"learning_competition", 0.0, false},
    {"min_plasticity", static_cast<double>(0.1f), false},
    {"num_classes", 1.0, true},
    {"num_weights", 0.0, true},
    {"plasticity_decay", 0.25, false},
};

class LearningParamsImpl final : public LearningParams {
 public:
  LearningParamsImpl(LearningType type, std::map<std::string, double> values)
      : type_(type), values_(std::move(values)) {}

  double get(const std::string& key) const override {
    auto it = values_.find(key);
    if (it == values_.end()) throw std::invalid_argument("Key " + key + " not found");
    return it->second;
  }
  std::vector<std::string> keys() const override {
    std::vector<std::string> out;
    for (const auto& [k, v] : values_) out.push_back(k);
    return out;
  }
  LearningType learning_type() const override { return type_; }

 private:
  LearningType type_;
  std::map<std::string, double> values_;
};

}  // namespace

std::shared_ptr<LearningParams> LearningParams::create(LearningType type, const std::map<std::string, double>& values) {
  if (type != LearningType::Unsupervised) {
    throw std::invalid_argument(fmt::format("Unknown learning type {}.", static_cast<int32_t>(type)));
  }
  std::map<std::string, double> out;
  for (const auto& [name, value] : values) {
    const LearningKey* spec = nullptr;
    for (const auto& k : unsupervised_keys) {
      if (name == k.name) spec = &k;
    }
    if (spec == nullptr) throw std::invalid_argument("Unknown learning parameter '" + name + "'.");
    if (!std::isfinite(value)) throw std::invalid_argument("Learning parameter '" + name + "' must be finite.");
    if (spec->count && (value < 0 || value > std::numeric_limits<uint32_t>::max() || std::floor(value) != value)) {
      throw std::invalid_argument("Learning parameter '" + name + "' must be a whole number from 0 to 4294967295.");
    }
    out.emplace(name, value);
  }
  for (const auto& k : unsupervised_keys) out.emplace(k.name, k.def);
  return std::make_shared<LearningParamsImpl>(type, std::move(out));
}

std::shared_ptr<LearningParams> LearningParams::clone(const LearningParams* other) {
  if (other == nullptr) throw std::invalid_argument("Cannot clone null learning parameters.");
  std::map<std::string, double> values;
  for (const auto& k : other->keys()) values.emplace(k, other->get(k));
  return create(other->learning_type(), values);
}

}  // namespace ovrix
