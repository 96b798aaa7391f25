#pragma once
// A layer whose every answer the test sets, for the program tests that need layers without building
// a model.
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "support/fakes.h"

namespace ovrix::program_test {

using test_support::FakeParams;

class FakeVariables : public Variables {
 public:
  std::vector<std::string> names() const override { return order_; }
  void set(const std::string& name, std::shared_ptr<Tensor> tensor) override {
    auto dense = std::dynamic_pointer_cast<Dense>(tensor);
    if (!tensors_.count(name)) order_.push_back(name);
    tensors_[name] = dense;
  }
  std::shared_ptr<Dense> get(const std::string& name) const override {
    auto it = tensors_.find(name);
    return it == tensors_.end() ? nullptr : it->second;
  }
  bool has(const std::string& name) const override { return tensors_.count(name) != 0; }

 private:
  std::vector<std::string> order_;
  std::map<std::string, std::shared_ptr<Dense>> tensors_;
};

class FakeLayer : public LayerImpl {
 public:
  FakeLayer(std::string name, LayerType type, std::map<std::string, int> params = {})
      : name_(std::move(name)), params_(type, std::move(params)) {}

  std::string get_name() const override { return name_; }
  std::vector<Shape> input_dimensions() const override { return inputs; }
  Shape output_dimensions() const override { return output; }
  uint8_t input_bits() const override { return in_bits; }
  uint8_t output_bits() const override { return out_bits; }
  bool output_signed() const override { return out_signed; }
  IpVersion ip_version() const override { return IpVersion::v2; }
  bool is_target_component(hw::TargetKind kind) const override { return kind == target; }
  bool splittable() const override { return false; }
  bool is_input_layer() const override { return false; }
  const LayerParams* params() const override { return &params_; }
  std::shared_ptr<LearningParams> learning_params() const override { return nullptr; }
  bool is_learning() const override { return false; }
  std::shared_ptr<Variables> variables() const override { return vars; }
  bool activation_enabled() const override { return act != ActivationType::NoActivation; }
  bool has_activation_type(ActivationType type) const override { return type == act; }
  bool has_pool_type(PoolType type) const override { return type == PoolType::NoPooling; }
  const std::vector<std::shared_ptr<Layer>>& inbound_layers() const override { return in_layers; }
  const std::vector<std::shared_ptr<Layer>>& outbound_layers() const override { return out_layers; }
  uint64_t macs() const override { return 0; }
  ActivationType activation() const override { return act; }
  bool output_flag() const override { return out_flag; }
  bool channels_follow_neurons() const override { return false; }

  std::vector<Shape> inputs{Shape{4, 4, 8}};
  Shape output{4, 4, 8};
  uint8_t in_bits = 8;
  uint8_t out_bits = 8;
  bool out_signed = false;
  hw::TargetKind target = hw::TargetKind::CNP;
  ActivationType act = ActivationType::NoActivation;
  bool out_flag = false;
  std::shared_ptr<FakeVariables> vars = std::make_shared<FakeVariables>();
  std::vector<std::shared_ptr<Layer>> in_layers;
  std::vector<std::shared_ptr<Layer>> out_layers;

 private:
  std::string name_;
  FakeParams params_;
};

}  // namespace ovrix::program_test
