// Maps a v1 model of a large separable network (SeparableConvolutional layers of 3x3 depthwise and
// up to 512-filter pointwise parts, 4-bit weights, split over many CNPs) on one virtual v1 device,
// and prints the mapping time per layer next to the same network built for v2 (a DepthwiseConv2D
// then a 1x1 Conv2D per separable layer) and mapped on a v2 device of the same size in the same run.
//
// The programs' fingerprints let two builds be compared byte for byte.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/device.h"
#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "engine/variables.h"
#include "mapping/layer_mapping.h"
#include "mapping/mesh.h"

namespace {

using namespace ovrix;
using clock_type = std::chrono::steady_clock;

class BenchDevice : public Device {
 public:
  BenchDevice(HwVersion version, Mesh mesh) : version_(version), mesh_(std::move(mesh)) {}
  HwVersion version() const override { return version_; }
  const char* desc() const override { return "bench"; }
  const Mesh& mesh() const override { return mesh_; }
  HardwareDevice* hardware() const override { return nullptr; }

 private:
  HwVersion version_;
  Mesh mesh_;
};

// 512 CNPs: 64 columns of two rows of four.
Mesh bench_mesh(IpVersion edition) {
  std::vector<np::Info> nps;
  for (unsigned i = 0; i < 512; ++i)
    nps.emplace_back(hw::Ident(uint8_t(1 + i / 8), uint8_t(1 + (i / 4) % 2), uint8_t(i % 4)),
                     std::set<hw::Type>{hw::Type::CNP1, hw::Type::CNP2});
  std::vector<np::Info> skip;
  if (edition == IpVersion::v2) skip.push_back({hw::Ident(0, 2, 0, 8), {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}});
  return Mesh(edition, hw::Ident(0, 0, 1), hw::Ident(0, 0, 2), std::nullopt, nps, skip);
}

// Input 32 x 32 x 32 (a CNP reads at most 32 columns on v1); the filter counts of the separable layers.
constexpr int INPUT_SIDE = 32;
constexpr int INPUT_CHANNELS = 32;
constexpr int FILTERS[] = {64, 128, 128, 256, 256, 512, 512, 512, 512, 256};

struct Xorshift {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

// Non-zero 4-bit weights in -7..7.
void fill_weights(Layer& layer, const char* name, Xorshift& rng) {
  const auto weights = layer.variables()->get(name);
  auto* w = weights->mutable_data_as<int8_t>();
  for (size_t k = 0; k < weights->size(); ++k) {
    const int v = int(rng.next() % 14) - 7;
    w[k] = static_cast<int8_t>(v >= 0 ? v + 1 : v);
  }
}

std::unique_ptr<Model> input_model() {
  auto model = Model::create();
  auto input = LayerParams::create(LayerType::InputData, {{"input_width", INPUT_SIDE},
                                                          {"input_height", INPUT_SIDE},
                                                          {"input_channels", INPUT_CHANNELS},
                                                          {"input_bits", 4},
                                                          {"input_signed", 0}});
  model->add(Layer::create(input.get(), "input"));
  return model;
}

std::unique_ptr<Model> v1_model() {
  auto model = input_model();
  Xorshift rng;
  int index = 0;
  for (int filters : FILTERS) {
    auto params = LayerParams::create(LayerType::SeparableConvolutional, {{"kernel_width", 3},
                                                                          {"kernel_height", 3},
                                                                          {"padding", 1},
                                                                          {"filters", filters},
                                                                          {"weights_bits", 4},
                                                                          {"activation", 1},
                                                                          {"act_bits", 4}});
    auto layer = Layer::create(params.get(), "sep" + std::to_string(++index));
    model->add(layer);
    fill_weights(*layer, "weights", rng);
    fill_weights(*layer, "weights_pw", rng);
  }
  return model;
}

std::unique_ptr<Model> v2_model() {
  auto model = input_model();
  Xorshift rng;
  int index = 0;
  for (int filters : FILTERS) {
    ++index;
    auto dw = LayerParams::create(LayerType::DepthwiseConv2D,
                                  {{"kernel_size", 3}, {"kernel_stride", 1}, {"padding", 1}, {"weights_bits", 4},
                                   {"output_bits", 4}, {"activation", 1}});
    auto depthwise = Layer::create(dw.get(), "dw" + std::to_string(index));
    model->add(depthwise);
    fill_weights(*depthwise, "weights", rng);
    auto pw = LayerParams::create(LayerType::Conv2D, {{"kernel_size", 1},
                                                      {"kernel_stride", 1},
                                                      {"padding", 1},
                                                      {"filters", filters},
                                                      {"weights_bits", 4},
                                                      {"output_bits", 4},
                                                      {"activation", 1}});
    auto pointwise = Layer::create(pw.get(), "pw" + std::to_string(index));
    model->add(pointwise);
    fill_weights(*pointwise, "weights", rng);
  }
  return model;
}

uint64_t fingerprint(const Model& model) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (const auto& sequence : model.sequences())
    for (uint8_t b : sequence->program()) {
      h ^= b;
      h *= 0x100000001B3ull;
    }
  return h;
}

struct Measure {
  double best_seconds = 0;
  size_t layers = 0;
  size_t nps = 0;
  size_t passes = 0;
  size_t bytes = 0;
  uint64_t fingerprint = 0;
};

// Maps once to check, then the best of `rounds` mappings of the same model.
bool measure(Model& model, const std::shared_ptr<Device>& device, int rounds, Measure* out) {
  model.map(device, true, nullptr);
  if (model.sequences().size() != 1 || model.sequences().front()->backend() != BackendType::Hardware) {
    std::fprintf(stderr, "the model did not map into one hardware sequence\n");
    return false;
  }
  for (const auto& layer : model.layers()) {
    const auto mapping = layer_mapping(*layer);
    if (!mapping || mapping->nps->empty()) continue;
    ++out->layers;
    out->nps += mapping->nps->size();
  }
  out->passes = model.sequences().front()->passes().size();
  out->bytes = model.sequences().front()->program().size();
  out->fingerprint = fingerprint(model);
  out->best_seconds = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const auto start = clock_type::now();
    model.map(device, true, nullptr);
    out->best_seconds = std::min(out->best_seconds, std::chrono::duration<double>(clock_type::now() - start).count());
  }
  return fingerprint(model) == out->fingerprint;
}

}  // namespace

int main() {
  constexpr int rounds = 7;
  auto v1_device = std::make_shared<BenchDevice>(hw_versions::Tamsel_v1, bench_mesh(IpVersion::v1));
  auto v2_device = std::make_shared<BenchDevice>(hw_versions::Proteo_v2, bench_mesh(IpVersion::v2));
  auto v1 = v1_model();
  auto v2 = v2_model();
  Measure m1, m2;
  if (!measure(*v1, v1_device, rounds, &m1) || !measure(*v2, v2_device, rounds, &m2)) {
    std::fprintf(stderr, "mapping again gave another program\n");
    return 1;
  }
  const size_t separable = std::size(FILTERS);
  for (const auto& [name, m] : {std::pair<const char*, const Measure&>{"v1", m1}, {"v2", m2}})
    std::printf("%s: %zu mapped layers, %zu NPs, %zu pass(es), program %zu bytes, fingerprint %016llx\n", name,
                m.layers, m.nps, m.passes, m.bytes, static_cast<unsigned long long>(m.fingerprint));
  std::printf("map v1 (SeparableConvolutional):        %8.2f ms, %7.1f us per layer\n", m1.best_seconds * 1e3,
              m1.best_seconds * 1e6 / double(m1.layers));
  std::printf("map v2 (DepthwiseConv2D + 1x1 Conv2D):  %8.2f ms, %7.1f us per layer, %7.1f us per separable block\n",
              m2.best_seconds * 1e3, m2.best_seconds * 1e6 / double(m2.layers),
              m2.best_seconds * 1e6 / double(separable));
  std::printf("v1 per separable layer / v2 per separable block: %.2fx (best of %d rounds each)\n",
              (m1.best_seconds / double(m1.layers)) / (m2.best_seconds / double(separable)), rounds);
  return 0;
}
