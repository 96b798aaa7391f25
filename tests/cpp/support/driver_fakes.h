#pragma once
// Doubles for the mapping-driver tests: layers whose every answer the test sets, a device with a
// chosen mesh, a checker and recorders that record what they are asked and answer as scripted.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/device.h"
#include "engine/layer.h"
#include "mapping/backend_interfaces.h"
#include "mapping/hardware_constraints.h"
#include "mapping/layer_mapping.h"
#include "mapping/map_constraints.h"
#include "mapping/mapping_driver.h"
#include "mapping/mesh.h"
#include "program/record.h"
#include "support/fakes.h"

namespace ovrix::driver_test {

inline Shape shape3(uint32_t w, uint32_t h, uint32_t c) { return Shape{w, h, c}; }

class TestLayer : public LayerImpl, public HasConvParams, public HasPoolParams {
 public:
  TestLayer(std::string name, LayerType type, std::map<std::string, int> params, Shape input)
      : kind(test_support::target_of(type)), input(input), output(input), name_(std::move(name)), params_(type, std::move(params)) {}

  std::string get_name() const override { return name_; }
  std::vector<Shape> input_dimensions() const override { return {input}; }
  Shape output_dimensions() const override { return output; }
  uint8_t input_bits() const override { return in_bits; }
  uint8_t output_bits() const override { return out_bits; }
  bool output_signed() const override { return false; }
  IpVersion ip_version() const override { return IpVersion::v2; }
  bool is_target_component(hw::TargetKind k) const override { return k == kind; }
  bool splittable() const override { return true; }
  bool is_input_layer() const override { return params_.layer_type() == LayerType::InputData; }
  const LayerParams* params() const override { return &params_; }
  std::shared_ptr<LearningParams> learning_params() const override { return nullptr; }
  bool is_learning() const override { return learning; }
  std::shared_ptr<Variables> variables() const override { return vars; }
  bool activation_enabled() const override { return act != ActivationType::NoActivation; }
  bool has_activation_type(ActivationType type) const override { return type == act; }
  bool has_pool_type(PoolType type) const override { return type == PoolType::NoPooling; }
  const std::vector<std::shared_ptr<Layer>>& inbound_layers() const override { return ins; }
  const std::vector<std::shared_ptr<Layer>>& outbound_layers() const override { return outs; }
  uint64_t macs() const override { return 0; }
  ActivationType activation() const override { return act; }
  bool output_flag() const override { return out_flag; }
  bool channels_follow_neurons() const override { return false; }
  const ConvCalculatedParams& conv_calculated_params() const override { return conv; }
  const PoolingCalculatedParams& pool_calculated_params() const override { return pool; }

  hw::TargetKind kind;
  Shape input;
  Shape output;
  uint8_t in_bits = 8;
  uint8_t out_bits = 8;
  ActivationType act = ActivationType::NoActivation;
  bool out_flag = false;
  bool learning = false;
  ConvCalculatedParams conv;
  PoolingCalculatedParams pool;
  std::shared_ptr<test_support::FakeVariables> vars = std::make_shared<test_support::FakeVariables>();
  std::vector<std::shared_ptr<Layer>> ins, outs;

 private:
  std::string name_;
  test_support::FakeParams params_;
};

using TestLayerPtr = std::shared_ptr<TestLayer>;

// Every layer the tests made: wired layers hold each other in both directions, so they are unwired
// once all tests have run (driver_environment.cpp).
inline std::vector<std::weak_ptr<TestLayer>>& made_layers() {
  static std::vector<std::weak_ptr<TestLayer>> layers;
  return layers;
}
inline void unwire_made_layers() {
  for (const auto& weak : made_layers())
    if (const auto layer = weak.lock()) {
      layer->ins.clear();
      layer->outs.clear();
    }
  made_layers().clear();
}

inline TestLayerPtr make(const std::string& name, LayerType type, std::map<std::string, int> params = {},
                         Shape input = shape3(8, 8, 4)) {
  auto layer = std::make_shared<TestLayer>(name, type, std::move(params), input);
  made_layers().push_back(layer);
  return layer;
}
inline TestLayerPtr input_layer(const std::string& name = "input") { return make(name, LayerType::InputData); }
inline TestLayerPtr conv(const std::string& name, int filters = 4) {
  return make(name, LayerType::Conv2D, {{"kernel_size", 3}, {"filters", filters}});
}
inline TestLayerPtr dense(const std::string& name, int units = 10) {
  return make(name, LayerType::Dense1D, {{"units", units}});
}
inline TestLayerPtr temporal(const std::string& name, int fifo_size) {
  return make(name, LayerType::BufferTempConv, {{"fifo_size", fifo_size}, {"filters", 4}});
}

inline void connect(const TestLayerPtr& from, const TestLayerPtr& to) {
  from->outs.push_back(to);
  to->ins.push_back(from);
}
// Wires each layer to the next.
inline void chain(const std::vector<TestLayerPtr>& layers) {
  for (size_t i = 1; i < layers.size(); ++i) connect(layers[i - 1], layers[i]);
}
inline LayerList as_list(const std::vector<TestLayerPtr>& layers) { return LayerList(layers.begin(), layers.end()); }

inline std::shared_ptr<LayerMapping> mapping_of(const std::shared_ptr<TestLayer>& layer) {
  return layer_mapping(*layer);
}

// A hardware device that keeps the program it was given and counts what it was asked to do.
class CountingHardware : public test_support::StubHardware {
 public:
  const char* desc() const override { return "counting"; }
  void program(const uint8_t* data, size_t size) override {
    loaded.assign(data, data + size);
    ++loads;
  }
  std::span<const uint8_t> program() const override {
    return loads ? std::span<const uint8_t>(loaded) : std::span<const uint8_t>();
  }
  void set_batch_size(uint32_t size, bool) override { batch = size; }
  void set_learn_enabled(bool enabled) override {
    learn = enabled;
    ++learn_switches;
  }
  bool learn_enabled() const override { return learn; }
  std::vector<std::unique_ptr<Tensor>> fit(const std::vector<std::shared_ptr<const Tensor>>& samples,
                                           const std::vector<int32_t>&) override {
    runs.push_back("fit");
    return outputs(samples.size());
  }
  std::vector<std::unique_ptr<Tensor>> forward(const std::vector<std::shared_ptr<const Tensor>>& samples) override {
    runs.push_back("forward");
    return outputs(samples.size());
  }
  std::vector<std::unique_ptr<Tensor>> predict(const std::vector<std::shared_ptr<const Tensor>>& samples) override {
    runs.push_back("predict");
    return outputs(samples.size());
  }

  std::vector<uint8_t> loaded;
  int loads = 0;
  int learn_switches = 0;
  bool learn = false;
  uint32_t batch = 0;
  std::vector<std::string> runs;

 private:
  static std::vector<std::unique_ptr<Tensor>> outputs(size_t n) {
    std::vector<std::unique_ptr<Tensor>> out;
    for (size_t i = 0; i < n; ++i) out.push_back(Dense::create(TensorType::int32, Shape{1}));
    return out;
  }
};

using TestDevice = test_support::FakeDevice;

// `cnps` NPs able to run convolutions, `fnp2s` FNP2s, `tnps` TNP_Bs and one skip-DMA engine with 8
// channels; the DMA event endpoint is (0, 0, 1).
inline Mesh make_mesh(IpVersion edition, unsigned cnps, unsigned fnp2s = 0, unsigned tnps = 0, bool hrc = false,
                      std::set<hw::Type> cnp_types = {hw::Type::CNP1}) {
  std::vector<np::Info> nps;
  for (unsigned i = 0; i < cnps; ++i)
    nps.emplace_back(hw::Ident(uint8_t(1 + i / 4), 1, uint8_t(i % 4)), cnp_types);
  for (unsigned i = 0; i < fnp2s; ++i) nps.emplace_back(hw::Ident(uint8_t(20 + i), 2, 0), std::set{hw::Type::FNP2});
  for (unsigned i = 0; i < tnps; ++i) nps.emplace_back(hw::Ident(uint8_t(30 + i), 3, 0), std::set{hw::Type::TNP_B});
  std::vector<np::Info> skip{{hw::Ident(0, 2, 0, 8), {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}}};
  std::optional<np::Info> hrc_info;
  if (hrc) hrc_info = np::Info::hrc(false);
  return Mesh(edition, hw::Ident(0, 0, 1), hw::Ident(0, 0, 2), hrc_info, nps, skip);
}

// A checker whose failures the test scripts by layer name; everything fits.
class ScriptedChecker : public CompatibilityChecker {
 public:
  using CompatibilityChecker::CompatibilityChecker;

  MappingStatus check_layer_compatibility(const Layer& layer, const Layer*, HwVersion) const override {
    auto it = incompatible.find(layer.get_name());
    return it == incompatible.end() ? MappingStatus::success() : MappingStatus(layer.get_name(), it->second);
  }
  // A sequence whose last layer cannot end one fails.
  MappingStatus check_layer_sequence(LayerIterator first, LayerIterator last, HwVersion) const override {
    ++sequence_checks;
    const Layer& end = **(last - 1);
    (void)first;
    auto it = cannot_end.find(end.get_name());
    return it == cannot_end.end() ? MappingStatus::success() : MappingStatus(end.get_name(), it->second);
  }
  MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     bool new_pass) const override {
    mapping_checks.push_back({layer.get_name(), components.size(), new_pass});
    auto it = bad_mapping.find(layer.get_name());
    return it == bad_mapping.end() ? MappingStatus::success() : MappingStatus(layer.get_name(), it->second);
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
    sp.filters = params.has("filters") ? uint32_t(params.get("filters")) : 0;
    return sp;
  }
  bool check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const override { return true; }

  struct MappingCheck {
    std::string layer;
    size_t components;
    bool new_pass;
  };
  std::map<std::string, std::string> incompatible, cannot_end, bad_mapping;
  mutable int sequence_checks = 0;
  mutable std::vector<MappingCheck> mapping_checks;
};

// Sizes that name the component and the flags they were asked with.
class ScriptedSizer : public MemorySizer {
 public:
  static uint32_t code(const hw::Component& c) { return c.ident.col * 1000u + c.ident.row * 100u + c.ident.id * 10u; }
  uint32_t get_input_memory_size(const LayerPtr&, const hw::Component& c, const LayerPtr& first) const override {
    anchors.insert(first.get());
    return code(c) + 1;
  }
  uint32_t get_weight_memory_size(const LayerPtr&, const hw::Component& c) const override { return code(c) + 2; }
  uint32_t get_external_memory_size(const LayerPtr&, const hw::Component& c, bool dual, bool multi) const override {
    return code(c) + (dual ? 4 : 0) + (multi ? 8 : 0);
  }
  uint32_t get_fsram_64b_memory_size(const LayerPtr&) const override { return 0; }
  uint32_t get_tsram_51b_memory_size(const LayerPtr&) const override { return 0; }
  uint32_t get_evsram_32b_memory_size(const LayerPtr&) const override { return 0; }
  uint32_t get_stsram_32b_memory_size(const LayerPtr&) const override { return 0; }
  mutable std::set<const Layer*> anchors;
};

struct RecordCall {
  std::string layer, other, next;
  bool starts_pass, ends_pass;
  std::vector<hw::Ident> nps;
  bool registers_only, lut_flag;
};

// Records one track per NP of the layer's mapping (its position numbers, the NP and its buffering),
// plus, except for the program of unused NPs, as many one-word tracks as the test asks for.
class ScriptedLayerRecorder : public LayerRecorder {
 public:
  using LayerRecorder::LayerRecorder;

  std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& other, std::shared_ptr<Layer> next,
                                                bool starts_pass, bool ends_pass, const std::vector<hw::Ident>& nps,
                                                bool registers_only, bool lut_flag) const override {
    calls.push_back(
        {layer.get_name(), other.get_name(), next ? next->get_name() : "", starts_pass, ends_pass, nps, registers_only, lut_flag});
    auto error = errors.find(layer.get_name());
    if (error != errors.end()) throw std::runtime_error(error->second);
    auto record = program::new_record(device().version());
    if (const auto mapping = layer_mapping(layer)) {
      for (const hw::Component& np : *mapping->nps) {
        const uint32_t id = uint32_t{np.ident.col} << 16 | uint32_t{np.ident.row} << 8 | np.ident.id;
        record->add_np_track(np.ident, dma::Target::NpRegisters, 0,
                             {mapping->index, mapping->output_index, mapping->input_index, id,
                              np.single_buffer() ? 1u : 0u, np.start_neuron(), np.filters(),
                              registers_only ? 1u : 0u}, {.append_to_last = false});
      }
    }
    auto extra = extra_tracks.find(layer.get_name());
    for (int i = 0; !registers_only && extra != extra_tracks.end() && i < extra->second; ++i)
      record->add_np_track(hw::Ident(1, 1, 0), dma::Target::Variables, 0, {uint32_t(i)}, {.append_to_last = false});
    if (registers_only) unused_calls.push_back(nps);
    return record;
  }
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool) const override {
    learning_calls.push_back(layer.get_name());
    program::LearnRecordsPtr records;
    for (auto* slot : {&records.first, &records.second, &records.third}) {
      *slot = program::new_record(device().version());
      (*slot)->add_np_track(hw::Ident(1, 1, 0), dma::Target::Variables, 0, {7}, {.append_to_last = false});
    }
    return records;
  }
  void sync_learning_vars(std::shared_ptr<Layer>) const override {}

  std::map<std::string, int> extra_tracks;
  std::map<std::string, std::string> errors;
  mutable std::vector<RecordCall> calls;
  mutable std::vector<std::vector<hw::Ident>> unused_calls;
  mutable std::vector<std::string> learning_calls;
};

class ScriptedIoRecorder : public IoRecorder {
 public:
  using IoRecorder::IoRecorder;
  std::unique_ptr<program::Record> record_scc(bool a, bool b, bool c, bool d, bool e, const Shape& in,
                                             const Shape& out) const override {
    scc_flags = {a, b, c, d, e};
    scc_input = in;
    scc_output = out;
    auto record = program::new_record(device().version());
    record->add_np_track(hw::Ident(0, 0, 2), dma::Target::RegisterWrites, 0, {1, 2}, {.append_to_last = false});
    return record;
  }
  std::unique_ptr<std::vector<RegisterWrite>> record_epg(const Layer& layer, uint8_t lo, uint8_t hi, uint8_t c,
                                                         bool d, bool e, bool f) const override {
    epg_calls.push_back({layer.get_name(), lo, hi, c, d, e, f});
    return std::make_unique<std::vector<RegisterWrite>>(std::vector<RegisterWrite>{{0x10, lo}, {0x14, hi}});
  }
  uint8_t get_input_type(const Layer&) const override { return input_type; }
  uint8_t get_output_type(const Layer&, int8_t) const override { return output_type; }

  struct EpgCall {
    std::string layer;
    uint8_t lo, hi, c;
    bool d, e, f;
  };
  uint8_t input_type = 0;
  uint8_t output_type = 0;
  mutable std::vector<bool> scc_flags;
  mutable Shape scc_input, scc_output;
  mutable std::vector<EpgCall> epg_calls;
};

// Constraints whose hooks the test watches.
class WatchedConstraints : public MapConstraints {
 public:
  using MapConstraints::MapConstraints;
  void next_layer_handler(const std::string& name) const override { handled.push_back(name); }
  mutable std::vector<std::string> handled;
};

// A device, its limits, the map constraints and the four doubles, and the driver run over them.
struct DriverRig {
  explicit DriverRig(HwVersion version = hw_versions::Proteo_v2,
                     Mesh mesh = make_mesh(IpVersion::v2, 4, 2, 2))
      : device(std::make_shared<TestDevice>(version, std::move(mesh))),
        limits(compute_hardware_constraints(version.get_ip_version(), device->mesh())),
        constraints(std::make_shared<WatchedConstraints>(device)),
        checker(*device, limits),
        layer_recorder(*device, limits),
        io_recorder(*device) {}

  MappingStatusGroup map(LayerList* layers) {
    return map_layers_on_hardware(limits, constraints, checker, sizer, io_recorder, layer_recorder, layers, &sequences,
                                  device->version().product_id > 0xA0);
  }

  std::shared_ptr<TestDevice> device;
  HardwareConstraints limits;
  std::shared_ptr<WatchedConstraints> constraints;
  ScriptedChecker checker;
  ScriptedSizer sizer;
  ScriptedLayerRecorder layer_recorder;
  ScriptedIoRecorder io_recorder;
  std::vector<std::shared_ptr<Sequence>> sequences;
};

inline std::string runtime_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no std::runtime_error";
}

inline std::vector<std::string> names(const LayerList& layers) {
  std::vector<std::string> out;
  for (const auto& l : layers) out.push_back(l->get_name());
  return out;
}

}  // namespace ovrix::driver_test
