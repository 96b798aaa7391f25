#pragma once
// Small test doubles for the mapping tests: layers wired by hand, a device with a given mesh, a
// hardware device over a register image, and a checker whose answers the test decides.
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/device.h"
#include "engine/layer.h"
#include "engine/register_image_driver.h"
#include "mapping/backend_interfaces.h"
#include "mapping/mesh.h"
#include "support/fakes.h"

namespace ovrix::mapping_testing {

using test_support::FakeDevice;
using test_support::FakeParams;
using test_support::target_of;

inline Shape shape3(uint32_t w, uint32_t h, uint32_t c) {
  Shape s;
  s.dims = {w, h, c, 0};
  s.count = 3;
  return s;
}

inline bool same_shape(const Shape& a, const Shape& b) { return a.count == b.count && a.dims == b.dims; }

class FakeLayer : public LayerImpl, public HasPoolParams {
 public:
  FakeLayer(std::string name, LayerType type, std::map<std::string, int> params = {}, Shape input = shape3(8, 8, 8))
      : name_(std::move(name)), params_(type, std::move(params)), target_(target_of(type)) {
    inputs_.push_back(input);
  }

  std::string get_name() const override { return name_; }
  std::vector<Shape> input_dimensions() const override { return inputs_; }
  Shape output_dimensions() const override { return inputs_.front(); }
  uint8_t input_bits() const override { return bits_; }
  uint8_t output_bits() const override { return bits_; }
  bool output_signed() const override { return false; }
  IpVersion ip_version() const override { return IpVersion::v2; }
  bool is_target_component(hw::TargetKind kind) const override { return kind == target_; }
  bool splittable() const override { return true; }
  bool is_input_layer() const override { return params_.layer_type() == LayerType::InputData; }
  const LayerParams* params() const override { return &params_; }
  std::shared_ptr<LearningParams> learning_params() const override { return nullptr; }
  bool is_learning() const override { return false; }
  std::shared_ptr<Variables> variables() const override { return nullptr; }
  bool activation_enabled() const override { return false; }
  bool has_activation_type(ActivationType) const override { return false; }
  bool has_pool_type(PoolType type) const override { return type == pool_type_; }
  const std::vector<std::shared_ptr<Layer>>& inbound_layers() const override { return ins_; }
  const std::vector<std::shared_ptr<Layer>>& outbound_layers() const override { return outs_; }
  uint64_t macs() const override { return 0; }
  ActivationType activation() const override { return ActivationType::NoActivation; }
  bool output_flag() const override { return false; }
  bool channels_follow_neurons() const override {
    const LayerType t = params_.layer_type();
    return t == LayerType::DepthwiseConv2D || t == LayerType::DepthwiseConv2DTranspose ||
           t == LayerType::DepthwiseBufferTempConv;
  }
  const PoolingCalculatedParams& pool_calculated_params() const override { return pool_; }

  FakeParams& fake_params() { return params_; }
  void set_target(hw::TargetKind k) { target_ = k; }
  void set_pooling(PoolType type, PoolingCalculatedParams p) {
    pool_type_ = type;
    pool_ = p;
  }
  std::vector<std::shared_ptr<Layer>> ins_, outs_;

 private:
  std::string name_;
  FakeParams params_;
  hw::TargetKind target_;
  std::vector<Shape> inputs_;
  uint8_t bits_ = 8;
  PoolType pool_type_ = PoolType::NoPooling;
  PoolingCalculatedParams pool_;
};

inline std::shared_ptr<FakeLayer> make_layer(const std::string& name, LayerType type,
                                             std::map<std::string, int> params = {}, Shape input = shape3(8, 8, 8)) {
  return std::make_shared<FakeLayer>(name, type, std::move(params), input);
}

// Layers wired by tests hold each other in both directions; they are unwired after the last test so
// that nothing is left over when the leak checker looks.
inline std::vector<std::weak_ptr<FakeLayer>>& wired_layers() {
  static std::vector<std::weak_ptr<FakeLayer>> layers;
  return layers;
}

// Wires from -> to (appending to from's outbounds and to's inbounds).
inline void connect(const std::shared_ptr<FakeLayer>& from, const std::shared_ptr<FakeLayer>& to) {
  from->outs_.push_back(to);
  to->ins_.push_back(from);
  wired_layers().push_back(from);
  wired_layers().push_back(to);
}

inline void unwire_all_layers() {
  for (auto& weak : wired_layers())
    if (auto layer = weak.lock()) {
      layer->ins_.clear();
      layer->outs_.clear();
    }
  wired_layers().clear();
}

// A hardware device whose NP capability words come from a register image.
class ImageHardwareDevice : public test_support::StubHardware {
 public:
  ImageHardwareDevice(HwVersion version, RegisterImageDriver* driver) : version_(version), driver_(driver) {}
  HwVersion version() const override { return version_; }
  const char* desc() const override { return "image"; }
  HardwareDriver* driver() override { return driver_; }
  uint32_t read_np_config(const hw::Ident& ident, uint32_t count) override {
    np_reads.push_back(ident);
    last_count = count;
    return driver_->np_config(ident);
  }

  std::vector<hw::Ident> np_reads;
  uint32_t last_count = 0;

 private:
  HwVersion version_;
  RegisterImageDriver* driver_;
};

// A checker whose answers are functions the test chooses; by default everything fits and the split
// parameters are read like the v2 edition does (margins kernel_size / 2, pooling, filters).
class FakeChecker : public CompatibilityChecker {
 public:
  using Fit = std::function<bool(hw::Type, uint32_t h, uint32_t w, uint32_t c)>;
  FakeChecker(const Device& device, const HardwareConstraints& limits) : CompatibilityChecker(device, limits) {}

  MappingStatus check_layer_compatibility(const Layer&, const Layer*, HwVersion) const override {
    return MappingStatus::success();
  }
  MappingStatus check_layer_sequence(LayerIterator, LayerIterator, HwVersion) const override {
    return MappingStatus::success();
  }
  MappingStatus check_layer_mappings(const Layer&, const std::vector<hw::Component>&, bool) const override {
    return MappingStatus::success();
  }
  bool is_sram_input_fit_single_buffer(hw::Type t, uint32_t h, uint32_t w, uint32_t c, uint32_t, uint8_t,
                                       uint32_t) const override {
    ++single_calls;
    return single(t, h, w, c);
  }
  bool is_sram_input_fit_dual_buffer(hw::Type t, uint32_t h, uint32_t w, uint32_t c, uint32_t, uint8_t,
                                     uint32_t) const override {
    ++dual_calls;
    return dual(t, h, w, c);
  }
  bool is_weights_size_fit_np(const Layer&, uint32_t filters) const override {
    ++weight_calls;
    return weights(filters);
  }
  NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override {
    NpSplitParams sp;
    const uint32_t margin = type == hw::Type::TNP_B || !params.has("kernel_size") ? 0 : params.get("kernel_size") / 2;
    sp.kernel_margins = {margin, margin, margin, margin};
    sp.pool_type = params.has("pool_type") ? params.get("pool_type") : 0;
    sp.pool_width = params.has("pool_size") ? params.get("pool_size") : 0;
    sp.pool_height = sp.pool_width;
    sp.filters = params.has("filters") ? params.get("filters") : 0;
    return sp;
  }
  bool check_fnp3_sram_size(const HardwareConstraints&, const Layer& layer) const override { return fnp3(layer); }

  Fit dual = [](hw::Type, uint32_t, uint32_t, uint32_t) { return true; };
  Fit single = [](hw::Type, uint32_t, uint32_t, uint32_t) { return true; };
  std::function<bool(uint32_t)> weights = [](uint32_t) { return true; };
  std::function<bool(const Layer&)> fnp3 = [](const Layer&) { return true; };
  mutable int dual_calls = 0, single_calls = 0, weight_calls = 0;
};

}  // namespace ovrix::mapping_testing
