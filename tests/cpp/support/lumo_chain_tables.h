#pragma once
// Table-driven lumo tests: every case is one line of a file under tests/data/lumo/ ("#" starts a
// comment), "inputs => expected". Chains are written as ";"-separated layers:
//   input D0 T C BITS        the InputData layer (dimensions (D0, T, C))
//   sr S O [key=value...]    a StatefulRecurrent layer r1, r2, ...; keys sub, bits (output bits), act,
//                            or a variable name with comma-separated values (repeated to fill it)
//   post [var=values...]     the LumoPostProcessing layer "post"
//   deq | dense U            a Dequantizer "deq" / a Dense1D "dense"
// Unless a line says otherwise, output_scales, new_state_scale, threshold and input_scales are 1 and
// max_value, max_value_shift are 127, 31, so a plain chain meets every rule.
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "engine/variables.h"

namespace ovrix::lumo_test {

struct Case {
  int line = 0;
  std::string input, expected;
};

inline std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

inline std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string part; std::getline(in, part, sep);) out.push_back(trim(part));
  return out;
}

inline std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

inline std::vector<Case> read_cases(const std::string& file) {
  const std::string path = std::string(OVRIX_TEST_DATA_DIR) + "/lumo/" + file;
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<Case> cases;
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    ++n;
    if (const auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    if (trim(line).empty()) continue;
    const auto arrow = line.find("=>");
    if (arrow == std::string::npos) throw std::runtime_error(path + ":" + std::to_string(n) + ": no \"=>\"");
    cases.push_back({n, trim(line.substr(0, arrow)), trim(line.substr(arrow + 2))});
  }
  if (cases.empty()) throw std::runtime_error(path + " holds no case");
  return cases;
}

// Fills every element of a tensor with the values, repeated.
inline void fill(Dense* t, const std::vector<int64_t>& values) {
  for (size_t i = 0; i < t->size(); ++i) {
    const int64_t v = values[i % values.size()];
    switch (t->type()) {
      case TensorType::int8:
      case TensorType::int4:
      case TensorType::int2:
      case TensorType::bit: t->mutable_data_as<int8_t>()[i] = int8_t(v); break;
      case TensorType::uint8:
      case TensorType::uint4:
      case TensorType::uint2: t->mutable_data_as<uint8_t>()[i] = uint8_t(v); break;
      case TensorType::int16: t->mutable_data_as<int16_t>()[i] = int16_t(v); break;
      case TensorType::uint16: t->mutable_data_as<uint16_t>()[i] = uint16_t(v); break;
      case TensorType::float32: t->mutable_data_as<float>()[i] = float(v); break;
      default: t->mutable_data_as<int32_t>()[i] = int32_t(v);
    }
  }
}

inline std::vector<int64_t> numbers(const std::string& list) {
  std::vector<int64_t> out;
  for (const auto& v : split(list, ',')) out.push_back(std::stoll(v, nullptr, 0));
  return out;
}

struct Chain {
  std::unique_ptr<Model> model;
  std::shared_ptr<Layer> layer(const std::string& name) const { return model->get_layer(name); }
};

inline Chain build_chain(const std::string& spec) {
  Chain chain{Model::create()};
  int recurrent = 0;
  for (const std::string& part : split(spec, ';')) {
    const std::vector<std::string> w = words(part);
    const std::string& kind = w.at(0);
    std::map<std::string, int> keys;
    std::vector<std::pair<std::string, std::string>> vars;
    std::string name;
    size_t first_option = 1;
    LayerType type{};
    if (kind == "input") {
      type = LayerType::InputData;
      keys = {{"input_width", std::stoi(w.at(1))}, {"input_height", std::stoi(w.at(2))},
              {"input_channels", std::stoi(w.at(3))}, {"input_bits", std::stoi(w.at(4))}, {"input_signed", 1}};
      name = "input";
      first_option = 5;
    } else if (kind == "sr") {
      type = LayerType::StatefulRecurrent;
      keys = {{"stateful_channels", std::stoi(w.at(1))}, {"output_channels", std::stoi(w.at(2))}};
      name = "r" + std::to_string(++recurrent);
      first_option = 3;
      vars = {{"output_scales", "1"}, {"new_state_scale", "1"}, {"max_value", "127"}, {"max_value_shift", "31"}};
    } else if (kind == "post") {
      type = LayerType::LumoPostProcessing;
      name = "post";
      vars = {{"threshold", "1"}, {"input_scales", "1"}};
    } else if (kind == "deq") {
      type = LayerType::Dequantizer;
      name = "deq";
    } else if (kind == "dense") {
      type = LayerType::Dense1D;
      keys = {{"units", std::stoi(w.at(1))}};
      name = "dense";
      first_option = 2;
    } else {
      throw std::runtime_error("unknown layer " + kind);
    }
    for (size_t i = first_option; i < w.size(); ++i) {
      const auto eq = w[i].find('=');
      const std::string key = w[i].substr(0, eq), value = w[i].substr(eq + 1);
      if (key == "sub") keys["subsample"] = std::stoi(value);
      else if (key == "bits") keys["output_bits"] = std::stoi(value);
      else if (key == "act") keys["activation"] = std::stoi(value);
      else vars.emplace_back(key, value);
    }
    auto params = LayerParams::create(type, keys);
    auto layer = Layer::create(params.get(), name);
    chain.model->add(layer);
    for (const auto& [var, values] : vars)
      if (layer->variables()->has(var)) fill(layer->variables()->get(var).get(), numbers(values));
  }
  return chain;
}

}  // namespace ovrix::lumo_test
