// Writes the seed corpora of the fuzz targets from what the tests build: serialized models of every
// layer kind (variables filled with small values) into the first directory, device programs (the
// emulated devices' test programs and the programs of models mapped on an emulated v2 device) into the
// second. Usage: fuzz_seeds <model seed directory> <program seed directory>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/test_programs.h"
#include "engine/emulation.h"
#include "engine/model.h"
#include "mapping/device_discovery.h"
#include "support/models.h"

namespace {

using namespace ovrix;

void write(const std::filesystem::path& file, const std::vector<uint8_t>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::shared_ptr<Layer> layer(LayerType type, const std::string& name, const std::map<std::string, int>& values = {}) {
  return Layer::create(LayerParams::create(type, values).get(), name);
}

// Every variable of every layer filled with small values (0, 1, 2 and, when signed, -1, -2) in its
// declared type, so that runs of the seeds compute more than zeros.
void fill_variables(Model& model) {
  int k = 0;
  for (const auto& l : model.layers()) {
    for (const auto& name : l->variables()->names()) {
      auto tensor = l->variables()->get(name);
      auto bytes = tensor->mutable_data();
      const size_t step = element_size(tensor->type());
      const bool is_float = tensor->type() == TensorType::float32;
      const bool is_signed = tensor->type() == TensorType::int8 || tensor->type() == TensorType::int4 ||
                             tensor->type() == TensorType::int2 || tensor->type() == TensorType::int16 ||
                             tensor->type() == TensorType::int32;
      for (size_t at = 0; at < bytes.size(); at += step, ++k) {
        const int value = is_signed ? k % 5 - 2 : k % 3;
        if (is_float) {
          const float f = 0.5f * static_cast<float>(value);
          std::memcpy(bytes.data() + at, &f, sizeof f);
        } else {
          for (size_t b = 0; b < step; ++b) bytes[at + b] = std::byte(uint32_t(value) >> (8 * b));
        }
      }
    }
  }
}

std::unique_ptr<Model> v2_kinds() {
  auto m = Model::create();
  m->add(layer(LayerType::InputData, "input",
               {{"input_width", 6}, {"input_height", 6}, {"input_channels", 3}, {"input_bits", 8}}));
  m->add(layer(LayerType::InputConv2D, "input_conv", {{"filters", 4}, {"kernel_size", 3}, {"weights_bits", 8}}));
  m->add(layer(LayerType::Conv2D, "conv", {{"filters", 4}, {"kernel_size", 3}, {"padding", 1}, {"weights_bits", 4},
                                           {"activation", 1}}));
  m->add(layer(LayerType::DepthwiseConv2D, "dw_conv", {{"kernel_size", 3}, {"padding", 1}, {"weights_bits", 4}}));
  m->add(layer(LayerType::Add, "add"), {m->get_layer("conv"), m->get_layer("dw_conv")});
  m->add(layer(LayerType::Conv2DTranspose, "conv_t", {{"filters", 2}, {"kernel_size", 3}, {"weights_bits", 4}}));
  m->add(layer(LayerType::DepthwiseConv2DTranspose, "dw_conv_t", {{"kernel_size", 3}, {"weights_bits", 4}}),
         {m->get_layer("add")});
  m->add(layer(LayerType::Concatenate, "concat"), {m->get_layer("conv_t"), m->get_layer("dw_conv_t")});
  m->add(layer(LayerType::BufferTempConv, "btc", {{"fifo_size", 2}, {"filters", 4}, {"weights_bits", 4}}));
  m->add(layer(LayerType::DepthwiseBufferTempConv, "dw_btc", {{"fifo_size", 3}, {"weights_bits", 4},
                                                                {"activation", 2}}));
  m->add(layer(LayerType::Dense1D, "dense", {{"units", 4}, {"weights_bits", 4}}));
  m->add(layer(LayerType::Dequantizer, "dequant"));
  fill_variables(*m);
  return m;
}

std::unique_ptr<Model> v1_kinds() {
  auto m = Model::create();
  m->add(layer(LayerType::InputConvolutional, "input_conv",
               {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}, {"filters", 4}, {"kernel_width", 3},
                {"kernel_height", 3}, {"padding", 1}}));
  m->add(layer(LayerType::Convolutional, "conv", {{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}}));
  m->add(layer(LayerType::SeparableConvolutional, "sep_conv",
               {{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}, {"pool_type", 1}, {"pooling_width", 2},
                {"pooling_height", 2}}));
  m->add(layer(LayerType::FullyConnected, "fc", {{"units", 6}}));
  m->compile(*LearningParams::create(LearningType::Unsupervised, {{"num_weights", 5}, {"num_classes", 3}}));
  fill_variables(*m);
  return m;
}

std::unique_ptr<Model> lumo_kinds() {
  auto m = Model::create();
  m->add(layer(LayerType::InputData, "input", {{"input_width", 1}, {"input_height", 8}, {"input_channels", 2},
                                                {"input_bits", 8}}));
  m->add(layer(LayerType::Quantizer, "quant"));
  m->add(layer(LayerType::StatefulRecurrent, "rnn", {{"stateful_channels", 4}, {"output_channels", 1}}));
  m->add(layer(LayerType::LumoPostProcessing, "post"));
  fill_variables(*m);
  return m;
}

// input -> Dense1D, compiled to learn.
std::unique_ptr<Model> learning_model() {
  auto m = Model::create();
  m->add(layer(LayerType::InputData, "input", {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1},
                                                {"input_bits", 8}}));
  m->add(layer(LayerType::Dense1D, "dense", {{"units", 4}, {"weights_bits", 8}}));
  m->compile(*LearningParams::create(LearningType::Unsupervised, {{"num_weights", 2}, {"num_classes", 2}}));
  fill_variables(*m);
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <model seed directory> <program seed directory>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path models = argv[1];
  const std::filesystem::path programs = argv[2];
  std::filesystem::create_directories(models);
  std::filesystem::create_directories(programs);

  std::map<std::string, std::unique_ptr<Model>> built;
  built["input_only"] = test_support::input_only_model();
  built["v2_chain"] = test_support::v2_chain(2);
  built["v2_kinds"] = v2_kinds();
  built["v1_kinds"] = v1_kinds();
  built["lumo_kinds"] = lumo_kinds();
  built["learning"] = learning_model();
  for (const auto& [name, model] : built) write(models / (name + ".bin"), model->to_buffer());

  using device_testing::TestProgram;
  write(programs / "plain.bin", device_testing::build_program(TestProgram()));
  write(programs / "activation.bin", device_testing::build_program(TestProgram().activation(4).out({2, 2, 3})));
  write(programs / "fnp3.bin", device_testing::build_program(TestProgram().fnp3({0x11, 0x22, 1, 2, 3, 4})));
  write(programs / "fnp2.bin", device_testing::build_program(TestProgram().fnp2({5, 6, 7, 8})));

  // Programs of models mapped on an emulated v2 device, as the mapping writes them.
  emulation::set_devices(emulation::parse_devices("v2"));
  const auto& devices = get_devices();
  if (devices.empty()) throw std::runtime_error("no emulated v2 device");
  auto chain = test_support::v2_chain(3);
  chain->map(devices.front(), true, nullptr);
  int n = 0;
  for (const auto& sequence : chain->sequences()) {
    const auto program = sequence->program();
    write(programs / ("mapped_" + std::to_string(n++) + ".bin"), std::vector<uint8_t>(program.begin(), program.end()));
  }
  std::printf("%zu models, %d programs\n", built.size(), 4 + n);
  return 0;
}
