// Maps and serializes chains of 25, 50, 100 and 200 layers (an input layer and convolutions) on one
// device and prints the time per layer and how the cost grows with the chain's length. Goal: 200
// layers cost at most 2.2x of 100.
//
// With the v2 edition in the tree the whole road runs: Model::map through the hardware back-end,
// the v2 checks, NP placement, the v2 recorders and the serializer. Without it, stand-ins of the
// edition write a register block and a weight block per NP, so the numbers measure the mapping core
// and the serializer alone.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/device.h"
#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "mapping/backend_interfaces.h"
#include "mapping/edition_registry.h"
#include "mapping/hardware_constraints.h"
#include "mapping/layer_mapping.h"
#include "mapping/map_constraints.h"
#include "mapping/mapping_driver.h"
#include "mapping/mesh.h"
#include "program/record.h"

// Build with -DBENCH_STAND_INS to measure the mapping core with the stand-ins even when the v2
// edition is there.

namespace {

using namespace ovrix;

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

class Checker : public CompatibilityChecker {
 public:
  using CompatibilityChecker::CompatibilityChecker;
  MappingStatus check_layer_compatibility(const Layer&, const Layer*, HwVersion) const override { return {}; }
  MappingStatus check_layer_sequence(LayerIterator, LayerIterator, HwVersion) const override { return {}; }
  MappingStatus check_layer_mappings(const Layer&, const std::vector<hw::Component>&, bool) const override {
    return {};
  }
  bool is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                       uint32_t) const override {
    return true;
  }
  bool is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                     uint32_t) const override {
    return true;
  }
  bool is_weights_size_fit_np(const Layer&, uint32_t) const override { return true; }
  NpSplitParams np_split_params(hw::Type, const LayerParams& params) const override {
    NpSplitParams sp;
    const uint32_t margin = uint32_t(params.get("kernel_size")) / 2;
    sp.kernel_margins = {margin, margin, margin, margin};
    sp.filters = uint32_t(params.get("filters"));
    return sp;
  }
  bool check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const override { return true; }
};

class Sizer : public MemorySizer {
 public:
  uint32_t get_input_memory_size(const LayerPtr&, const hw::Component& c, const LayerPtr&) const override {
    return c.np ? uint32_t(c.np->input_window.shape.elements()) : 0;
  }
  uint32_t get_weight_memory_size(const LayerPtr&, const hw::Component& c) const override { return 9 * c.filters(); }
  uint32_t get_external_memory_size(const LayerPtr&, const hw::Component&, bool, bool) const override { return 0; }
  uint32_t get_fsram_64b_memory_size(const LayerPtr&) const override { return 0; }
  uint32_t get_tsram_51b_memory_size(const LayerPtr&) const override { return 0; }
  uint32_t get_evsram_32b_memory_size(const LayerPtr&) const override { return 0; }
  uint32_t get_stsram_32b_memory_size(const LayerPtr&) const override { return 0; }
};

// 64 register words and a 3x3 weight block per NP, in one track.
class Recorder : public LayerRecorder {
 public:
  using LayerRecorder::LayerRecorder;
  std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer&, std::shared_ptr<Layer>, bool, bool,
                                                const std::vector<hw::Ident>&, bool registers_only,
                                                bool) const override {
    auto record = program::new_record(device().version());
    const auto mapping = layer_mapping(layer);
    if (!mapping) return record;
    bool first = true;
    for (const hw::Component& np : *mapping->nps) {
      std::vector<uint32_t> regs(64, 0);
      regs[0] = mapping->index;
      regs[1] = mapping->output_index;
      regs[2] = np.ident.col;
      record->add_np_track(np.ident, dma::Target::NpRegisters, 0, regs, true, !first);
      first = false;
      if (registers_only) continue;
      std::vector<uint32_t> weights(9 * std::max(1u, np.filters()), 0x5A5A5A5A);
      record->add_np_track(np.ident, dma::Target::Weights, 0, weights, true, true);
    }
    return record;
  }
  program::LearnRecordsPtr record_learning_layer(const Layer&, bool) const override { return {}; }
  void sync_learning_vars(std::shared_ptr<Layer>) const override {}
};

class Io : public IoRecorder {
 public:
  using IoRecorder::IoRecorder;
  std::unique_ptr<program::Record> record_scc(bool, bool, bool, bool, bool, const Shape&, const Shape&) const override {
    auto record = program::new_record(device().version());
    record->add_np_track(hw::Ident(0, 0, 2), dma::Target::RegisterWrites, 0, std::vector<uint32_t>(8, 1), true, false);
    return record;
  }
  std::unique_ptr<std::vector<RegisterWrite>> record_epg(const Layer&, uint8_t lo, uint8_t hi, uint8_t, bool, bool,
                                                         bool) const override {
    return std::make_unique<std::vector<RegisterWrite>>(std::vector<RegisterWrite>{{0x10, lo}, {0x14, hi}});
  }
  uint8_t get_input_type(const Layer&) const override { return 0; }
  uint8_t get_output_type(const Layer&, int8_t) const override { return 0; }
};

// Enough NPs for the longest chain to stay in one pass.
Mesh bench_mesh() {
  std::vector<np::Info> nps;
  for (unsigned i = 0; i < 240; ++i)
    nps.emplace_back(hw::Ident(uint8_t(1 + i / 4), uint8_t(1 + (i / 2) % 2), uint8_t(i % 4)),
                     std::set<hw::Type>{hw::Type::CNP1, hw::Type::CNP2});
  std::vector<np::Info> skip{{hw::Ident(0, 2, 0, 8), {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}}};
  return Mesh(IpVersion::v2, hw::Ident(0, 0, 1), hw::Ident(0, 0, 2), std::nullopt, nps, skip);
}

std::unique_ptr<Model> chain_model(size_t convs) {
  auto model = Model::create();
  auto input = LayerParams::create(LayerType::InputData, {{"input_width", 16},
                                                          {"input_height", 16},
                                                          {"input_channels", 8},
                                                          {"input_bits", 8},
                                                          {"input_signed", 0}});
  model->add(Layer::create(input.get(), "input"));
  auto conv = LayerParams::create(LayerType::Conv2D, {{"kernel_size", 3},
                                                      {"kernel_stride", 1},
                                                      {"padding", 1},
                                                      {"filters", 8},
                                                      {"weights_bits", 4},
                                                      {"activation", 1}});
  for (size_t i = 0; i < convs; ++i) model->add(Layer::create(conv.get(), "conv" + std::to_string(i + 1)));
  return model;
}

// Whether the v2 edition maps: it is built, and BENCH_STAND_INS does not ask for the stand-ins.
bool with_v2_edition() {
#ifdef BENCH_STAND_INS
  return false;
#else
  return edition_registry().find(hw_versions::Proteo_v2.product_id) != nullptr;
#endif
}

struct Result {
  size_t layers;
  double seconds_per_run;
  size_t program_bytes;
};

Result measure(size_t convs) {
  auto device = std::make_shared<BenchDevice>(bench_mesh());
  auto constraints = std::make_shared<MapConstraints>(device);
  auto model = chain_model(convs);

  size_t bytes = 0;
  const HardwareConstraints limits = compute_hardware_constraints(IpVersion::v2, device->mesh());
  Checker checker(*device, limits);
  Sizer sizer;
  Recorder recorder(*device, limits);
  Io io(*device);
  const bool v2 = with_v2_edition();
  auto run_once = [&] {
    if (v2) {
      model->map(device, true, constraints);
      if (model->sequences().size() != 1 || model->sequences().front()->backend() != BackendType::Hardware) {
        std::fprintf(stderr, "mapping %zu layers did not give one hardware sequence\n", convs + 1);
        std::exit(1);
      }
      bytes = model->sequences().front()->program().size();
      return;
    }
    LayerList layers = model->layers();
    std::vector<std::shared_ptr<Sequence>> sequences;
    const MappingStatusGroup status =
        map_layers_on_hardware(limits, constraints, checker, sizer, io, recorder, &layers, &sequences, true);
    if (status.failed || sequences.size() != 1 || !layers.empty()) {
      std::fprintf(stderr, "mapping %zu layers failed: %s\n", convs + 1, status.to_string().c_str());
      std::exit(1);
    }
    bytes = sequences.front()->program().size();
  };

  run_once();  // warm-up
  using clock = std::chrono::steady_clock;
  // Five rounds of at least 0.1 s each; the best round counts (the machine may be shared).
  double best = 1e30;
  for (int round = 0; round < 5; ++round) {
    int runs = 0;
    const auto start = clock::now();
    std::chrono::duration<double> elapsed{};
    do {
      run_once();
      ++runs;
      elapsed = clock::now() - start;
    } while (elapsed.count() < 0.1);
    best = std::min(best, elapsed.count() / runs);
  }
  return {convs + 1, best, bytes};
}

}  // namespace

int main() {
  std::printf(with_v2_edition() ? "edition: v2 (Model::map through the hardware back-end)\n"
                                : "edition: stand-in checker and recorders\n");
  std::vector<Result> results;
  for (size_t convs : {24u, 49u, 99u, 199u}) results.push_back(measure(convs));
  std::printf("%8s %14s %16s %14s\n", "layers", "ms per map", "us per layer", "program bytes");
  for (const Result& r : results)
    std::printf("%8zu %14.3f %16.2f %14zu\n", r.layers, r.seconds_per_run * 1e3, r.seconds_per_run * 1e6 / r.layers,
                r.program_bytes);
  for (size_t i = 1; i < results.size(); ++i)
    std::printf("cost of %zu layers / cost of %zu layers: %.2fx\n", results[i].layers, results[i - 1].layers,
                results[i].seconds_per_run / results[i - 1].seconds_per_run);
  const double ratio = results[3].seconds_per_run / results[2].seconds_per_run;
  std::printf("goal: 200 layers cost at most 2.2x of 100: %.2fx, %s\n", ratio, ratio <= 2.2 ? "met" : "NOT met");
  return 0;
}
