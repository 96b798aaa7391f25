#pragma once
// A layer whose every answer a test sets, for the rules and register formatters of the v2 edition.
#include <functional>
#include <map>
#include <type_traits>
#include <memory>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/layers.h"
#include "engine/params.h"
#include "engine/variables.h"
#include "support/fakes.h"

namespace ovrix::v2::testing {

using test_support::FakeParams;
using test_support::FakeVariables;

// Base of the fake layers that carry the calculated convolution and pooling records.
class RecordsBase : public LayerImpl, public HasConvParams, public HasPoolParams {};

// The calculated records, for the bases that declare them.
template <class Base, bool = std::is_base_of_v<HasConvParams, Base>>
class WithRecords : public Base {};

template <class Base>
class WithRecords<Base, true> : public Base {
 public:
  const ConvCalculatedParams& conv_calculated_params() const override { return conv; }
  const PoolingCalculatedParams& pool_calculated_params() const override { return pool_params; }
  ConvCalculatedParams conv;
  PoolingCalculatedParams pool_params;
};

// Base: RecordsBase, or one of the engine's layer classes (Conv2D, Conv2DTranspose, ...).
template <class Base>
class FakeLayerT : public WithRecords<Base> {
 public:
  FakeLayerT(std::string name, LayerType type, hw::TargetKind target)
      : name_(std::move(name)), fake_params(type, {}), target(target) {}

  std::string get_name() const override { return name_; }
  std::vector<Shape> input_dimensions() const override { return inputs; }
  Shape output_dimensions() const override { return output; }
  uint8_t input_bits() const override { return in_bits; }
  uint8_t output_bits() const override { return out_bits; }
  bool output_signed() const override { return false; }
  IpVersion ip_version() const override { return IpVersion::v2; }
  bool is_target_component(hw::TargetKind kind) const override { return kind == target; }
  bool splittable() const override { return true; }
  bool is_input_layer() const override { return false; }
  const LayerParams* params() const override { return &fake_params; }
  std::shared_ptr<LearningParams> learning_params() const override { return nullptr; }
  bool is_learning() const override { return false; }
  std::shared_ptr<Variables> variables() const override { return vars; }
  bool activation_enabled() const override { return activation_on; }
  bool has_activation_type(ActivationType type) const override { return activation_on && act == type; }
  bool has_pool_type(PoolType type) const override { return pool == type; }
  const std::vector<std::shared_ptr<Layer>>& inbound_layers() const override { return in; }
  const std::vector<std::shared_ptr<Layer>>& outbound_layers() const override { return out; }
  uint64_t macs() const override { return 0; }
  ActivationType activation() const override { return act; }
  bool output_flag() const override { return activation_on; }
  bool channels_follow_neurons() const override { return depthwise; }

  void set(const std::string& key, int value) { fake_params.values()[key] = value; }
  void set_variable(const std::string& name, std::shared_ptr<Dense> tensor) { vars->tensors[name] = std::move(tensor); }

  std::string name_;
  FakeParams fake_params;
  hw::TargetKind target;
  std::vector<Shape> inputs;
  Shape output;
  uint8_t in_bits = 8;
  uint8_t out_bits = 8;
  std::shared_ptr<FakeVariables> vars = std::make_shared<FakeVariables>();
  bool activation_on = false;
  ActivationType act = ActivationType::NoActivation;
  PoolType pool = PoolType::NoPooling;
  bool depthwise = false;
  std::vector<std::shared_ptr<Layer>> in;
  std::vector<std::shared_ptr<Layer>> out;
};

using FakeLayer = FakeLayerT<RecordsBase>;

// Wires from -> to (outbound of from, inbound of to).
template <class A, class B>
void connect(const std::shared_ptr<A>& from, const std::shared_ptr<B>& to) {
  from->out.push_back(to);
  to->in.push_back(from);
}

}  // namespace ovrix::v2::testing

namespace ovrix::v2::testing {

// Owns fake layers and breaks their links when it goes, so that no cycle of shared pointers stays.
class FakeGraph {
 public:
  FakeGraph() = default;
  FakeGraph(const FakeGraph&) = delete;
  FakeGraph& operator=(const FakeGraph&) = delete;
  ~FakeGraph() {
    for (auto& unlink : unlinks_) unlink();
  }
  template <class Base = RecordsBase>
  std::shared_ptr<FakeLayerT<Base>> add(std::string name, LayerType type, hw::TargetKind target) {
    auto layer = std::make_shared<FakeLayerT<Base>>(std::move(name), type, target);
    unlinks_.push_back([layer] {
      layer->in.clear();
      layer->out.clear();
      layer->set_mapping(nullptr);
    });
    return layer;
  }

 private:
  std::vector<std::function<void()>> unlinks_;
};

}  // namespace ovrix::v2::testing

#include "engine/device.h"
#include "mapping/mesh.h"

namespace ovrix::v2::testing {

// A v2 device without hardware whose mesh a test chooses.
class FakeDevice : public test_support::FakeDevice {
 public:
  explicit FakeDevice(Mesh mesh, HwVersion version = hw_versions::Proteo_v2)
      : test_support::FakeDevice(version, std::move(mesh)) {}
};

// A v2 mesh of `columns` columns of 4 CNPs (row 1), with or without lookup tables.
inline Mesh v2_mesh(uint8_t columns, bool luts = true) {
  std::vector<np::Info> nps;
  for (uint8_t col = 1; col <= columns; ++col)
    for (uint8_t id = 0; id < 4; ++id)
      nps.emplace_back(hw::Ident(col, 1, id), std::set<hw::Type>{hw::Type::CNP1, hw::Type::CNP2}, luts);
  return Mesh(IpVersion::v2, hw::Ident(0, 0, 0), hw::Ident(0, 0, 1), np::Info::hrc(luts), nps, {});
}

}  // namespace ovrix::v2::testing
