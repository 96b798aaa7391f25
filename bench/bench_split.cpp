// Times the split search and np_request on the largest layers the editions accept, on layers that can
// never fit, and on layers whose NP demand (thousands to millions) exceeds the mesh's 160 NPs. Goal: every
// layer placed or refused in well under a millisecond, whatever its demand: a demand beyond the mesh is
// refused before the split's components are built.
//
// The checker here sizes NP inputs and weights the way the v2 edition budgets them (input SRAM words
// per buffer, 100-bit weight words per NP), so the search meets realistic answers without needing an
// edition back-end.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/backend_interfaces.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh.h"
#include "mapping/mesh_mapper.h"
#include "mapping/np_split.h"

using namespace ovrix;

namespace {

Shape shape3(uint32_t w, uint32_t h, uint32_t c) {
  Shape s;
  s.dims = {w, h, c, 0};
  s.count = 3;
  return s;
}

class Params : public LayerParams {
 public:
  Params(LayerType type, std::map<std::string, int> v) : type_(type), v_(std::move(v)) {}
  int32_t get(const std::string& key) const override {
    auto it = v_.find(key);
    if (it == v_.end()) throw std::invalid_argument(key);
    return it->second;
  }
  bool has(const std::string& key) const override { return v_.count(key) != 0; }
  std::vector<std::string> keys() const override { return {}; }
  LayerType layer_type() const override { return type_; }

 private:
  LayerType type_;
  std::map<std::string, int> v_;
};

class BenchLayer : public LayerImpl {
 public:
  BenchLayer(std::string name, LayerType type, std::map<std::string, int> params, Shape input, hw::TargetKind target)
      : name_(std::move(name)), params_(type, std::move(params)), input_(input), target_(target) {}
  std::string get_name() const override { return name_; }
  std::vector<Shape> input_dimensions() const override { return {input_}; }
  Shape output_dimensions() const override { return input_; }
  uint8_t input_bits() const override { return 8; }
  uint8_t output_bits() const override { return 8; }
  bool output_signed() const override { return false; }
  IpVersion ip_version() const override { return IpVersion::v2; }
  bool is_target_component(hw::TargetKind kind) const override { return kind == target_; }
  bool splittable() const override { return true; }
  bool is_input_layer() const override { return false; }
  const LayerParams* params() const override { return &params_; }
  std::shared_ptr<LearningParams> learning_params() const override { return nullptr; }
  bool is_learning() const override { return false; }
  std::shared_ptr<Variables> variables() const override { return nullptr; }
  bool activation_enabled() const override { return false; }
  bool has_activation_type(ActivationType) const override { return false; }
  bool has_pool_type(PoolType t) const override { return t == PoolType::NoPooling; }
  const std::vector<std::shared_ptr<Layer>>& inbound_layers() const override { return none_; }
  const std::vector<std::shared_ptr<Layer>>& outbound_layers() const override { return none_; }
  uint64_t macs() const override { return 0; }
  ActivationType activation() const override { return ActivationType::NoActivation; }
  bool output_flag() const override { return false; }
  bool channels_follow_neurons() const override {
    return params_.layer_type() == LayerType::DepthwiseConv2D ||
           params_.layer_type() == LayerType::DepthwiseBufferTempConv;
  }

 private:
  std::string name_;
  Params params_;
  Shape input_;
  hw::TargetKind target_;
  std::vector<std::shared_ptr<Layer>> none_;
};

class BenchDevice : public Device {
 public:
  explicit BenchDevice(Mesh mesh) : mesh_(std::move(mesh)) {}
  HwVersion version() const override { return hw_versions::Proteo_v2; }
  const char* desc() const override { return "bench"; }
  const Mesh& mesh() const override { return mesh_; }
  HardwareDevice* hardware() const override { return nullptr; }

 private:
  Mesh mesh_;
};

// Input words of an NP's part against one buffer's budget; kernel weights in 100-bit words.
class SizingChecker : public CompatibilityChecker {
 public:
  using CompatibilityChecker::CompatibilityChecker;
  MappingStatus check_layer_compatibility(const Layer&, const Layer*, HwVersion) const override { return {}; }
  MappingStatus check_layer_sequence(LayerIterator, LayerIterator, HwVersion) const override { return {}; }
  MappingStatus check_layer_mappings(const Layer&, const std::vector<hw::Component>&, bool) const override {
    return {};
  }
  static uint64_t words(uint32_t h, uint32_t w, uint32_t c, uint32_t fifo, uint8_t bits) {
    return (uint64_t(h) * w * c * std::max<uint32_t>(fifo, 1) * bits + 31) / 32;
  }
  bool is_sram_input_fit_single_buffer(hw::Type, uint32_t h, uint32_t w, uint32_t c, uint32_t fifo, uint8_t bits,
                                       uint32_t reserved) const override {
    ++calls;
    return words(h, w, c, fifo, bits) + reserved <= constraints_.sram_input_single_buffer;
  }
  bool is_sram_input_fit_dual_buffer(hw::Type, uint32_t h, uint32_t w, uint32_t c, uint32_t fifo, uint8_t bits,
                                     uint32_t reserved) const override {
    ++calls;
    return words(h, w, c, fifo, bits) + reserved <= constraints_.sram_input_dual_buffer;
  }
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override {
    ++calls;
    const LayerParams& p = *layer.params();
    const uint64_t k = p.has("kernel_size") ? p.get("kernel_size") : 1;
    const uint64_t c = layer.channels_follow_neurons() ? 1 : layer.input_dimensions()[0][2];
    return (k * k * c * filters * 4 + 99) / 100 <= constraints_.cnp_weight_limit;
  }
  NpSplitParams np_split_params(hw::Type type, const LayerParams& p) const override {
    NpSplitParams sp;
    const uint32_t m = type == hw::Type::TNP_B || !p.has("kernel_size") ? 0 : p.get("kernel_size") / 2;
    sp.kernel_margins = {m, m, m, m};
    sp.filters = p.has("filters") ? p.get("filters") : 0;
    return sp;
  }
  bool check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const override { return true; }
  mutable uint64_t calls = 0;
};

Mesh bench_mesh() {
  std::vector<np::Info> nps;
  for (uint8_t col = 1; col <= 8; ++col)
    for (uint8_t row = 1; row <= 5; ++row)
      for (uint8_t id = 0; id < 4; ++id) nps.push_back({hw::Ident(col, row, id), {hw::Type::CNP1, hw::Type::CNP2, hw::Type::TNP_B}});
  std::vector<np::Info> skip{{hw::Ident(1, 1, 3, 4), {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}}};
  return Mesh(IpVersion::v2, {}, {}, std::nullopt, nps, skip);
}

// Processor time of this thread per call, in microseconds: on a shared machine the wall clock would
// also count the time the thread waited for a core.
template <class F>
double micros_per_call(F&& f, int repeat) {
  auto now = [] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) * 1e-3;
  };
  const double start = now();
  for (int i = 0; i < repeat; ++i) f();
  return (now() - start) / repeat;
}

}  // namespace

int main() {
  auto device = std::make_shared<BenchDevice>(bench_mesh());
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, device->mesh());
  SizingChecker checker(*device, limits);
  MapConstraints constraints(device);
  MeshMapper mapper(checker, constraints);
  mapper.reset();

  struct Case {
    const char* what;
    std::shared_ptr<BenchLayer> layer;
  };
  using K = hw::TargetKind;
  const Case cases[] = {
      {"Conv2D 224x224x64, 128 filters, 3x3",
       std::make_shared<BenchLayer>("conv", LayerType::Conv2D, std::map<std::string, int>{{"kernel_size", 3}, {"filters", 128}},
                                    shape3(224, 224, 64), K::CNP)},
      {"Conv2D 512x256x32, 64 filters, 3x3",
       std::make_shared<BenchLayer>("wide", LayerType::Conv2D, std::map<std::string, int>{{"kernel_size", 3}, {"filters", 64}},
                                    shape3(512, 256, 32), K::CNP)},
      {"DepthwiseConv2D 256x256x128, 3x3",
       std::make_shared<BenchLayer>("dw_small", LayerType::DepthwiseConv2D, std::map<std::string, int>{{"kernel_size", 3}},
                                    shape3(256, 256, 128), K::CNP)},
      {"Conv2D 4096x4096x2048, 2048 filters, 3x3 (largest)",
       std::make_shared<BenchLayer>("big", LayerType::Conv2D, std::map<std::string, int>{{"kernel_size", 3}, {"filters", 2048}},
                                    shape3(4096, 4096, 2048), K::CNP)},
      {"DepthwiseConv2D 4096x4096x2048, 3x3 (largest)",
       std::make_shared<BenchLayer>("dw", LayerType::DepthwiseConv2D, std::map<std::string, int>{{"kernel_size", 3}},
                                    shape3(4096, 4096, 2048), K::CNP)},
      {"BufferTempConv 4096x4096x2048, fifo 8, 2048 filters (largest)",
       std::make_shared<BenchLayer>("tconv", LayerType::BufferTempConv,
                                    std::map<std::string, int>{{"fifo_size", 8}, {"filters", 2048}},
                                    shape3(4096, 4096, 2048), K::TNP_B)},
      {"Conv2D 4096x4096x2048, 7x7 (never fits)",
       std::make_shared<BenchLayer>("never", LayerType::Conv2D, std::map<std::string, int>{{"kernel_size", 7}, {"filters", 16}},
                                    shape3(4096, 4096, 2048), K::CNP)},
      {"Conv2D 96x96x256, 64 filters, 3x3",
       std::make_shared<BenchLayer>("k1", LayerType::Conv2D, std::map<std::string, int>{{"kernel_size", 3}, {"filters", 64}},
                                    shape3(96, 96, 256), K::CNP)},
      {"Conv2D 512x512x256, 64 filters, 3x3 (thousands of NPs)",
       std::make_shared<BenchLayer>("k20", LayerType::Conv2D, std::map<std::string, int>{{"kernel_size", 3}, {"filters", 64}},
                                    shape3(512, 512, 256), K::CNP)},
      {"Conv2D 2048x1024x256, 256 filters, 3x3 (tens of thousands)",
       std::make_shared<BenchLayer>("k300", LayerType::Conv2D, std::map<std::string, int>{{"kernel_size", 3}, {"filters", 256}},
                                    shape3(2048, 1024, 256), K::CNP)},
      {"Conv2D 4096x2048x256, 256 filters, 3x3 (hundreds of thousands)",
       std::make_shared<BenchLayer>("k1m", LayerType::Conv2D, std::map<std::string, int>{{"kernel_size", 3}, {"filters", 256}},
                                    shape3(4096, 2048, 256), K::CNP)},
      {"Conv2D 4096x4096x256, 248 filters, 3x3 (near the most addressable)",
       std::make_shared<BenchLayer>("k500", LayerType::Conv2D, std::map<std::string, int>{{"kernel_size", 3}, {"filters", 248}},
                                    shape3(4096, 4096, 256), K::CNP)},
      {"Conv2DTranspose 4096x128x512, 4x4, 512 filters",
       std::make_shared<BenchLayer>("tr", LayerType::Conv2DTranspose, std::map<std::string, int>{{"kernel_size", 4}, {"filters", 512}},
                                    shape3(4096, 128, 512), K::CNP)},
  };

  std::printf("%-62s %12s %14s %10s  %s\n", "layer", "split (us)", "np_request (us)", "NP demand", "result");
  double worst = 0;
  for (const Case& c : cases) {
    const Layer& layer = *c.layer;
    std::pair<std::vector<hw::Component>, MappingStatus> split;
    const LayerType type = layer.params()->layer_type();
    // The split as np_request asks for it: with the mesh's NPs of the type as the supply.
    uint64_t demand = 0;
    auto run_split = [&] {
      const uint32_t h = constraints.cnp_max_height(), w = constraints.cnp_max_width(), f = constraints.cnp_max_filters();
      const hw::Type np_type = type == LayerType::BufferTempConv ? hw::Type::TNP_B : hw::Type::CNP1;
      const uint64_t supply = mapper.max_nps(np_type);
      switch (type) {
        case LayerType::DepthwiseConv2D: split = split_depthwise_conv_layer(layer, checker, h, w, f, np_type, false, supply, &demand); break;
        case LayerType::Conv2DTranspose: split = split_transposed_conv2d_layer(layer, checker, h / 2, w / 2, f, false, supply, &demand); break;
        default: split = split_conv_layer(layer, checker, h, w, f, np_type, false, supply, &demand); break;
      }
    };
    const double split_us = micros_per_call(run_split, 20);
    std::pair<std::vector<hw::Component>, MappingStatus> placed;
    const double request_us = micros_per_call(
        [&] {
          mapper.deallocate_nps();
          bool new_pass = false;
          placed = mapper.np_request(c.layer, {}, false, &new_pass, true);
        },
        20);
    worst = std::max({worst, split_us, request_us});
    std::printf("%-62s %12.1f %14.1f %10llu  %s\n", c.what, split_us, request_us, (unsigned long long)demand,
                placed.second.failed ? placed.second.message.c_str() : "placed");
  }
  std::printf("slowest single call: %.1f us (goal: under 1000 us)\n", worst);
  return 0;
}
