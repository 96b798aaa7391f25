// Variables whose tensors carry another element type than their layer kind declares: refused by the
// model loader, and their shift values range-checked by the software inference (table in
// tests/data/variable_types.txt).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "support/message_of.h"

namespace ovrix {
namespace {

using test_support::message_of;

struct Case {
  std::string step, kind, variable, type;
  int64_t value = 0;
  std::string expected;
  int line = 0;
};

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::vector<Case> read_cases() {
  const std::string path = std::string(OVRIX_TEST_DATA_DIR) + "/variable_types.txt";
  std::ifstream file(path);
  EXPECT_TRUE(file.is_open()) << path;
  std::vector<Case> cases;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    if (trim(line).empty() || trim(line)[0] == '#') continue;
    const auto bar = line.find('|');
    Case c;
    std::istringstream fields(line.substr(0, bar));
    fields >> c.step >> c.kind >> c.variable >> c.type >> c.value;
    EXPECT_TRUE(bar != std::string::npos && fields) << "line " << number;
    c.expected = trim(line.substr(bar + 1));
    c.line = number;
    cases.push_back(c);
  }
  return cases;
}

TensorType type_named(const std::string& name) {
  for (int t = 0; t <= 10; ++t)
    if (name == Tensor::type_name(TensorType(t))) return TensorType(t);
  ADD_FAILURE() << "unknown type " << name;
  return TensorType::int32;
}

std::shared_ptr<Layer> make_layer(LayerType type, const std::map<std::string, int>& values, const std::string& name) {
  return Layer::create(LayerParams::create(type, values).get(), name);
}

// input (4, 4, 2) -> n, n of the kind named (with "+relu" or "+lut" for its activation).
std::unique_ptr<Model> model_of(const std::string& kind) {
  auto model = Model::create();
  auto input = make_layer(LayerType::InputData,
                          {{"input_width", 4}, {"input_height", 4}, {"input_channels", 2}, {"input_bits", 8}},
                          "input");
  model->add(input);
  const int activation = kind.ends_with("+relu") ? 1 : kind.ends_with("+lut") ? 2 : 0;
  const std::map<std::string, int> conv{
      {"filters", 2}, {"kernel_size", 3}, {"padding", 1}, {"weights_bits", 4}, {"activation", activation}};
  if (kind.starts_with("Conv2D+") || kind == "Conv2D") model->add(make_layer(LayerType::Conv2D, conv, "n"));
  if (kind == "DepthwiseConv2D") model->add(make_layer(LayerType::DepthwiseConv2D, conv, "n"));
  if (kind == "Conv2DTranspose") model->add(make_layer(LayerType::Conv2DTranspose, conv, "n"));
  if (kind == "BufferTempConv")
    model->add(make_layer(LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 2}, {"weights_bits", 4}}, "n"));
  if (kind == "Dense1D") model->add(make_layer(LayerType::Dense1D, {{"units", 2}, {"weights_bits", 4}}, "n"));
  if (kind == "Add") model->add(make_layer(LayerType::Add, {}, "n"), {input, input});
  EXPECT_EQ(model->layer_count(), 2u) << kind;
  return model;
}

// The variable's shape and layout, every element `value` stored as `type`.
void set_filled(Layer& layer, const std::string& name, TensorType type, int64_t value) {
  const auto current = layer.variables()->get(name);
  ASSERT_NE(current, nullptr) << name;
  auto tensor = std::shared_ptr<Dense>(Dense::create(type, current->shape(), current->dense_layout()));
  auto bytes = tensor->mutable_data();
  const size_t step = element_size(type);
  for (size_t at = 0; at < bytes.size(); at += step) {
    // Little-endian: the low bytes of the value are the element.
    for (size_t b = 0; b < step; ++b) bytes[at + b] = std::byte(uint64_t(value) >> (8 * b));
  }
  layer.variables()->set(name, tensor);
}

TEST(VariableTypes, LoaderRefusesOtherTypesAndInferenceRefusesShiftsOutOfRange) {
  const auto cases = read_cases();
  ASSERT_FALSE(cases.empty());
  for (const Case& c : cases) {
    SCOPED_TRACE("tests/data/variable_types.txt line " + std::to_string(c.line));
    auto model = model_of(c.kind);
    set_filled(*model->get_layer("n"), c.variable, type_named(c.type), c.value);
    if (c.step == "load") {
      const std::vector<uint8_t> bytes = model->to_buffer();
      EXPECT_EQ(message_of<std::runtime_error>([&] {
                  Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
                }),
                c.expected == "accepted" ? "no exception" : c.expected);
    } else {
      ASSERT_EQ(c.step, "run");
      auto sample = std::shared_ptr<Dense>(Dense::create(TensorType::uint8, Shape{1, 4, 4, 2}));
      EXPECT_EQ(message_of<std::invalid_argument>([&] { model->forward(sample, 0); }),
                c.expected == "accepted" ? "no exception" : c.expected);
    }
  }
}

}  // namespace
}  // namespace ovrix
