#pragma once
// The engine layers, devices and limits that the v1 table cases describe.
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "mapping/hardware_constraints.h"
#include "mapping/hw_version.h"
#include "mapping/mesh.h"
#include "support/fakes.h"

namespace ovrix::v1::testing {

// "k=v,k=v" (or "-" for none) as integer parameters.
inline std::map<std::string, int> key_values(const std::string& text) {
  std::map<std::string, int> values;
  if (text == "-") return values;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    const size_t eq = item.find('=');
    values[item.substr(0, eq)] = std::stoi(item.substr(eq + 1));
  }
  return values;
}

// "WxHxC" as a shape.
inline Shape shape_of(const std::string& text) {
  uint32_t d[3] = {0, 0, 0};
  std::istringstream in(text);
  std::string part;
  for (int i = 0; i < 3 && std::getline(in, part, 'x'); ++i) d[i] = static_cast<uint32_t>(std::stoul(part));
  return Shape{d[0], d[1], d[2]};
}

// A named hardware version, or "BC.A1.03.07"-style bytes.
inline HwVersion version_of(const std::string& name) {
  static const std::map<std::string, HwVersion> named = {{"Quor_v1", hw_versions::Quor_v1},
                                                         {"Quor_v2", hw_versions::Quor_v2},
                                                         {"Tamsel_v1", hw_versions::Tamsel_v1},
                                                         {"ZMX2400_v1", hw_versions::ZMX2400_v1}};
  if (const auto it = named.find(name); it != named.end()) return it->second;
  unsigned b[4] = {0, 0, 0, 0};
  std::sscanf(name.c_str(), "%x.%x.%x.%x", &b[0], &b[1], &b[2], &b[3]);
  return HwVersion{uint8_t(b[0]), uint8_t(b[1]), uint8_t(b[2]), uint8_t(b[3])};
}

inline LayerType kind_of(const std::string& name) {
  static const std::map<std::string, LayerType> kinds = {
      {"data", LayerType::InputData},      {"inconv", LayerType::InputConvolutional},
      {"dense", LayerType::FullyConnected}, {"conv", LayerType::Convolutional},
      {"sep", LayerType::SeparableConvolutional}, {"add", LayerType::Add},
      {"concat", LayerType::Concatenate},  {"conv2d", LayerType::Conv2D},
      {"dequant", LayerType::Dequantizer}, {"quant", LayerType::Quantizer}};
  const auto it = kinds.find(name);
  if (it == kinds.end()) throw std::invalid_argument("unknown kind " + name);
  return it->second;
}

struct Built {
  std::unique_ptr<Model> model;
  std::shared_ptr<Layer> layer;
};

// Sets every byte of an int8 variable.
inline void fill_variable(const Layer& layer, const std::string& name, int value) {
  const auto t = layer.variables()->get(name);
  if (!t) throw std::invalid_argument("no variable " + name);
  auto* data = t->mutable_data_as<int8_t>();
  std::fill(data, data + t->size(), static_cast<int8_t>(value));
}

// A model input -> layer "L" of that kind and parameters on an input of that shape and bit width;
// its variables hold zeros. For the kind InputData, the model holds the input alone.
inline Built build(LayerType kind, const Shape& input, int bits, std::map<std::string, int> params) {
  Built b{Model::create(), nullptr};
  const auto in = LayerParams::create(LayerType::InputData, {{"input_width", int(input[0])},
                                                             {"input_height", int(input[1])},
                                                             {"input_channels", int(input[2])},
                                                             {"input_bits", bits},
                                                             {"input_signed", 0}});
  b.model->add(Layer::create(in.get(), "input"));
  if (kind == LayerType::InputData) return b;
  const auto p = LayerParams::create(kind, params);
  b.layer = Layer::create(p.get(), "L");
  b.model->add(b.layer);
  return b;
}

inline std::shared_ptr<test_support::FakeDevice> v1_device(HwVersion version) {
  return std::make_shared<test_support::FakeDevice>(version,
                                                    Mesh(IpVersion::v1, {}, {}, std::nullopt, {}, {}));
}

inline HardwareConstraints v1_limits() { return compute_hardware_constraints(IpVersion::v1, SramSize_v1); }

// The layer "L" of that kind on an input "WxHxC:bits", with those parameters and variable fills ("-"
// for none). A kind ending in '!' is left out of any model, so never built.
inline Built layer_of(std::string kind, const std::string& input, const std::string& params,
                      const std::string& fills) {
  const bool unbuilt = kind.back() == '!';
  if (unbuilt) kind.pop_back();
  if (unbuilt) {
    const auto p = LayerParams::create(kind_of(kind), key_values(params));
    Built alone{nullptr, Layer::create(p.get(), "L")};
    for (const auto& [name, value] : key_values(fills)) fill_variable(*alone.layer, name, value);
    return alone;
  }
  const size_t colon = input.find(':');
  Built built = build(kind_of(kind), shape_of(input.substr(0, colon)), std::stoi(input.substr(colon + 1)),
                      key_values(params));
  for (const auto& [name, value] : key_values(fills)) fill_variable(*built.layer, name, value);
  return built;
}

// An input "WxHxC:bits" then layers L1, L2, ... from "kind:params" tokens, each fed by the one before.
struct Chain {
  std::unique_ptr<Model> model;
  std::vector<std::shared_ptr<Layer>> layers;
};

inline Chain chain_of(const std::string& input, const std::vector<std::string>& tokens) {
  const size_t colon = input.find(':');
  Chain chain{build(LayerType::InputData, shape_of(input.substr(0, colon)), std::stoi(input.substr(colon + 1)), {})
                  .model,
              {}};
  for (const std::string& token : tokens) {
    const size_t sep = token.find(':');
    const auto params = LayerParams::create(kind_of(token.substr(0, sep)), key_values(token.substr(sep + 1)));
    chain.layers.push_back(Layer::create(params.get(), "L" + std::to_string(chain.layers.size())));
    chain.model->add(chain.layers.back());
  }
  return chain;
}

}  // namespace ovrix::v1::testing
