#pragma once
// Test doubles shared by the C++ suites: layer parameters and variables whose contents a test sets,
// the target kind each layer kind answers for, and a device with a chosen mesh. Fake layers stay
// with their suites, since each suite sets different answers.
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/device.h"
#include "engine/layer.h"
#include "engine/params.h"
#include "engine/variables.h"
#include "mapping/mesh.h"

namespace ovrix::test_support {

class FakeParams : public LayerParams {
 public:
  explicit FakeParams(LayerType type, std::map<std::string, int> values = {})
      : type_(type), values_(std::move(values)) {}
  int32_t get(const std::string& key) const override {
    const auto it = values_.find(key);
    if (it == values_.end()) throw std::invalid_argument("no key " + key);
    return it->second;
  }
  bool has(const std::string& key) const override { return values_.count(key) != 0; }
  std::vector<std::string> keys() const override {
    std::vector<std::string> k;
    for (const auto& [key, value] : values_) k.push_back(key);
    return k;
  }
  LayerType layer_type() const override { return type_; }
  std::map<std::string, int>& values() { return values_; }

 private:
  LayerType type_;
  std::map<std::string, int> values_;
};

// Variables held by name; names() lists them in name order.
class FakeVariables : public Variables {
 public:
  std::vector<std::string> names() const override {
    std::vector<std::string> n;
    for (const auto& [name, tensor] : tensors) n.push_back(name);
    return n;
  }
  void set(const std::string& name, std::shared_ptr<Tensor> tensor) override {
    tensors[name] = std::dynamic_pointer_cast<Dense>(tensor);
  }
  std::shared_ptr<Dense> get(const std::string& name) const override {
    const auto it = tensors.find(name);
    return it == tensors.end() ? nullptr : it->second;
  }
  bool has(const std::string& name) const override { return tensors.count(name) != 0; }

  std::map<std::string, std::shared_ptr<Dense>> tensors;
};

// The target kind a layer kind answers for, as the engine's layers do.
inline hw::TargetKind target_of(LayerType type) {
  switch (type) {
    case LayerType::InputData:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return hw::TargetKind::None;
    case LayerType::InputConvolutional:
    case LayerType::InputConv2D: return hw::TargetKind::HRC;
    case LayerType::FullyConnected:
    case LayerType::Dense1D: return hw::TargetKind::FNP;
    case LayerType::Add:
    case LayerType::Concatenate: return hw::TargetKind::SkipDma;
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: return hw::TargetKind::TNP_B;
    case LayerType::StatefulRecurrent:
    case LayerType::LumoPostProcessing: return hw::TargetKind::TNP_R;
    default: return hw::TargetKind::CNP;
  }
}

// A device with a chosen version and mesh; without hardware unless a test gives it one.
class FakeDevice : public Device {
 public:
  FakeDevice(HwVersion version, Mesh mesh) : version_(version), mesh_(std::move(mesh)) {}
  HwVersion version() const override { return version_; }
  const char* desc() const override { return "fake"; }
  const Mesh& mesh() const override { return mesh_; }
  HardwareDevice* hardware() const override { return hardware_; }
  void set_version(HwVersion v) { version_ = v; }
  void set_hardware(HardwareDevice* hardware) { hardware_ = hardware; }

 private:
  HwVersion version_;
  Mesh mesh_;
  HardwareDevice* hardware_ = nullptr;
};

// A hardware device that does nothing and answers zeros; doubles override what their tests watch.
class StubHardware : public HardwareDevice {
 public:
  HwVersion version() const override { return hw_versions::Proteo_v2; }
  const char* desc() const override { return "stub"; }
  void enable_clock_counter(bool) override {}
  uint32_t read_clock_counter() override { return 0; }
  uint32_t program_clock_count() override { return 0; }
  uint64_t memory() override { return 0; }
  void reset_top_memory() override {}
  void program(const uint8_t*, size_t) override {}
  void program_external(const uint8_t*, size_t, uint32_t) override {}
  std::span<const uint8_t> program() const override { return {}; }
  void set_batch_size(uint32_t, bool) override {}
  void set_learn_enabled(bool) override {}
  bool learn_enabled() const override { return false; }
  uint32_t learn_mem_size() override { return 0; }
  void learn_mem(uint32_t*) override {}
  void update_learn_mem(const uint32_t*) override {}
  void unprogram() override {}
  std::vector<std::unique_ptr<Tensor>> fit(const std::vector<std::shared_ptr<const Tensor>>&,
                                           const std::vector<int32_t>&) override {
    return {};
  }
  std::vector<std::unique_ptr<Tensor>> forward(const std::vector<std::shared_ptr<const Tensor>>&) override { return {}; }
  std::vector<std::unique_ptr<Tensor>> predict(const std::vector<std::shared_ptr<const Tensor>>&) override { return {}; }
  HardwareDriver* driver() override { return nullptr; }
  uint32_t read_np_config(const hw::Ident&, uint32_t) override { return 0; }
};

}  // namespace ovrix::test_support
