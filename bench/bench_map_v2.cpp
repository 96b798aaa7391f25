// Maps a v2 model holding over 20 MB of convolution weights (standard convolutions of kernels 1, 3
// and 5, 8-bit and 4-bit weights, most of them split over tens of NPs) on one virtual v2 device,
// and prints the mapping time, the program size and the program bytes per second next to a plain
// memcpy of the same number of bytes measured in the same run. Goal: within 12x of memcpy, as the median
// of the per-round ratios: each round maps once and copies right after, so that both see the same load
// of a shared machine.
//
// The program's fingerprint lets two builds be compared byte for byte, and the page faults per map
// show how much fresh memory a mapping touches: on a virtual machine a new page can cost several
// times what copying it does, and the memcpy runs on memory touched beforehand.
//
// Usage: bench_map_v2 [divisor]. A divisor d > 1 divides every channel count by d (the weights by
// about d²) and maps once, for profiling under a slow tool such as callgrind.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>

#include "engine/device.h"
#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "engine/variables.h"
#include "mapping/edition_registry.h"
#include "mapping/layer_mapping.h"
#include "mapping/mesh.h"

namespace {

using namespace ovrix;
using clock_type = std::chrono::steady_clock;

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

// 512 CNPs: 64 columns of two rows of four, more than the model needs in one pass.
Mesh bench_mesh() {
  std::vector<np::Info> nps;
  for (unsigned i = 0; i < 512; ++i)
    nps.emplace_back(hw::Ident(uint8_t(1 + i / 8), uint8_t(1 + (i / 4) % 2), uint8_t(i % 4)),
                     std::set<hw::Type>{hw::Type::CNP1, hw::Type::CNP2});
  std::vector<np::Info> skip{{hw::Ident(0, 2, 0, 8), {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}}};
  return Mesh(IpVersion::v2, hw::Ident(0, 0, 1), hw::Ident(0, 0, 2), std::nullopt, nps, skip);
}

struct ConvSpec {
  int kernel;
  uint32_t filters;
  int weights_bits;
};

// Input 4 x 4 x 680. A program holds at most 254 DMA descriptors, about one per NP, so the model
// stays near 230 NPs and fills each one's weight SRAM: the channel counts are those that pack a
// CNP's 4096 weight words (nearly) full.
constexpr uint32_t INPUT_CHANNELS = 680;
constexpr ConvSpec LAYERS[] = {
    {3, 192, 8},   // 680 -> 192, 8 filters per NP
    {1, 512, 8},   // 192 -> 512, 240 filters per NP
    {5, 512, 4},   // 512 -> 512, 8 filters per NP
    {5, 512, 4},   // 512 -> 512
    {1, 1344, 4},  // 512 -> 1344, 192 filters per NP
    {3, 256, 4},   // 1344 -> 256, 8 filters per NP
    {5, 512, 4},   // 256 -> 512, 16 filters per NP
};

// Deterministic non-zero weights in the range of their bit width.
struct Xorshift {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

int8_t nonzero_weight(Xorshift& rng, int bits) {
  const int span = 1 << bits;  // values -span/2 .. span/2 - 1, 0 excluded
  int v = int(rng.next() % uint64_t(span - 1)) - span / 2;
  if (v >= 0) ++v;
  return static_cast<int8_t>(v);
}

struct BuiltModel {
  std::unique_ptr<Model> model;
  size_t weight_count = 0;
};

BuiltModel build_model(uint32_t divisor) {
  BuiltModel built;
  built.model = Model::create();
  auto input = LayerParams::create(LayerType::InputData, {{"input_width", 4},
                                                          {"input_height", 4},
                                                          {"input_channels", int(INPUT_CHANNELS / divisor)},
                                                          {"input_bits", 8},
                                                          {"input_signed", 0}});
  built.model->add(Layer::create(input.get(), "input"));
  Xorshift rng;
  int index = 0;
  for (const ConvSpec& spec : LAYERS) {
    auto params = LayerParams::create(LayerType::Conv2D, {{"kernel_size", spec.kernel},
                                                          {"kernel_stride", 1},
                                                          {"padding", 1},
                                                          {"pool_type", 0},
                                                          {"filters", int(spec.filters / divisor)},
                                                          {"weights_bits", spec.weights_bits},
                                                          {"activation", 1}});
    auto layer = Layer::create(params.get(), "conv" + std::to_string(++index));
    built.model->add(layer);
    auto weights = layer->variables()->get("weights");
    auto* w = weights->mutable_data_as<int8_t>();
    for (size_t k = 0; k < weights->size(); ++k) w[k] = nonzero_weight(rng, spec.weights_bits);
    built.weight_count += weights->size();
  }
  return built;
}

// Page faults of the process so far: the memory a mapping touches for the first time costs a fault
// per page, which the memcpy below does not pay.
long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// FNV-1a of the program, to compare the bytes of two builds.
uint64_t program_fingerprint(const Model& model) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (const auto& sequence : model.sequences())
    for (uint8_t b : sequence->program()) {
      h ^= b;
      h *= 0x100000001B3ull;
    }
  return h;
}

size_t program_bytes(const Model& model) {
  size_t bytes = 0;
  for (const auto& sequence : model.sequences()) bytes += sequence->program().size();
  return bytes;
}

// Processor time of this thread, in seconds: unlike the wall clock it leaves out the time the thread
// waited for a core, which on a shared machine can be most of a 20 ms mapping and none of a 1 ms copy.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Timing {
  double wall, cpu;
};

// Best of `rounds` timings of f (by the wall clock, with the processor time of that run); every timing
// in *all when given.
template <class F>
Timing best_of(int rounds, F&& f, std::vector<Timing>* all = nullptr) {
  Timing best{1e30, 1e30};
  for (int r = 0; r < rounds; ++r) {
    const double cpu = thread_seconds();
    const auto start = clock_type::now();
    f();
    const Timing t{std::chrono::duration<double>(clock_type::now() - start).count(), thread_seconds() - cpu};
    if (t.wall < best.wall) best = t;
    if (all) all->push_back(t);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (edition_registry().find(hw_versions::Proteo_v2.product_id) == nullptr) {
    std::printf("the v2 edition is not in this build: nothing to measure\n");
    return 0;
  }
  const uint32_t divisor = argc > 1 ? uint32_t(std::max(1, std::atoi(argv[1]))) : 1;
  auto device = std::make_shared<BenchDevice>(bench_mesh());
  BuiltModel built = build_model(divisor);
  Model& model = *built.model;

  // The first mapping checks the result; the timed ones map the same model again (each mapping
  // drops the earlier sequences and writes the same bytes).
  model.map(device, true, nullptr);
  if (model.sequences().size() != 1 || model.sequences().front()->backend() != BackendType::Hardware) {
    std::fprintf(stderr, "the model did not map into one hardware sequence\n");
    return 1;
  }
  size_t nps = 0;
  for (const auto& layer : model.layers()) {
    const auto mapping = layer_mapping(*layer);
    if (!mapping) {
      std::fprintf(stderr, "layer %s is not mapped\n", layer->get_name().c_str());
      return 1;
    }
    nps += mapping->nps->size();
  }
  const size_t bytes = program_bytes(model);
  // memcpy of the same number of bytes; the destination is touched first so that page faults do
  // not count.
  std::vector<uint8_t> source(bytes), destination(bytes);
  for (size_t i = 0; i < bytes; ++i) source[i] = static_cast<uint8_t>(i * 131 + 7);
  std::memset(destination.data(), 1, bytes);
  volatile uint8_t sink = 0;  // reads the copies, so that they are not optimised away
  auto copy = [&] {
    std::memcpy(destination.data(), source.data(), bytes);
    sink = sink + destination[bytes / 2];
  };

  // The machine may be shared: every round maps, then copies (best of three), and the ratios of the
  // rounds give the median.
  const int rounds = divisor == 1 ? 9 : 1;
  const long faults_before = minor_faults();
  std::vector<Timing> map_times, copy_times;
  std::vector<double> ratios, cpu_ratios;
  for (int r = 0; r < rounds; ++r) {
    best_of(1, [&] { model.map(device, true, nullptr); }, &map_times);
    copy_times.push_back(best_of(3, copy));
    ratios.push_back(map_times.back().wall / copy_times.back().wall);
    cpu_ratios.push_back(map_times.back().cpu / copy_times.back().cpu);
  }
  const double faults_per_map = double(minor_faults() - faults_before) / rounds;
  if (program_bytes(model) != bytes) {
    std::fprintf(stderr, "mapping again gave another program size\n");
    return 1;
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  auto walls = [](const std::vector<Timing>& v) {
    std::vector<double> out;
    for (const Timing& t : v) out.push_back(t.wall);
    return out;
  };
  const double map_seconds = median(walls(map_times)), memcpy_seconds = median(walls(copy_times));

  const double mb = 1024.0 * 1024.0;
  std::printf("model: %zu convolutions, %zu weights (%.1f MB as stored), %zu NPs, %zu pass(es)\n",
              std::size(LAYERS), built.weight_count, built.weight_count / mb, nps,
              model.sequences().front()->passes().size());
  std::printf("program: %zu bytes (%.1f MB), fingerprint %016llx\n", bytes, bytes / mb,
              static_cast<unsigned long long>(program_fingerprint(model)));
  for (const auto& layer : model.layers())
    if (const auto mapping = layer_mapping(*layer); !mapping->nps->empty())
      std::printf("  %-6s %zu NPs\n", layer->get_name().c_str(), mapping->nps->size());
  const std::vector<double> map_walls = walls(map_times);
  std::printf("map:     %10.2f ms  %10.1f MB/s of program  (median of %d rounds; best %.2f ms; %.0f page faults per map)\n",
              map_seconds * 1e3, bytes / mb / map_seconds, rounds,
              *std::min_element(map_walls.begin(), map_walls.end()) * 1e3, faults_per_map);
  std::printf("memcpy:  %10.2f ms  %10.1f MB/s  (median)\n", memcpy_seconds * 1e3, bytes / mb / memcpy_seconds);
  const double ratio = median(ratios), cpu_ratio = median(cpu_ratios);
  std::printf("map / memcpy: %.1fx by the wall clock, %.1fx in processor time (medians of the rounds' ratios); "
              "goal within 12x: %s\n",
              ratio, cpu_ratio, std::min(ratio, cpu_ratio) <= 12.0 ? "met" : "NOT met");
  return 0;
}
