// v1 FullyConnected in software: each neuron's 32-bit potential is the dot product of its weights with
// the input values in their stored order, then the threshold firing law (or the potential itself when
// the activation is off). Fit learns the 1-bit weights of a compiled last layer (engine/README.md).
#include <fmt/format.h>

#include "engine/engine.h"
#include "engine/impl/inference/runner.h"
#include "engine/impl/inference/v1_learning.h"
#include "engine/impl/ops/arith.h"
#include "engine/impl/ops/dense_util.h"

namespace ovrix::software {
namespace {

class V1DenseRunner : public Runner {
 public:
  explicit V1DenseRunner(const Layer& layer) : Runner(layer) {
    const Shape in = input_dims3(layer);
    inputs_ = uint32_t(in.elements());
    units_ = uint32_t(param(layer, "units", 1));
    const Shape s = variable_shape(layer, "weights");
    if (!(s.size() >= 2 && s[0] == units_ && s[1] == inputs_))
      layer_error(layer, fmt::format("\"weights\" of shape {} do not match ({}, {}, 1, 1).",
                                     ops::detail::shape_text(s), units_, inputs_));
    weights_ = int_values(layer, "weights", 0);
    activation_ = param(layer, "activation", 0) != 0;
    act_bits_ = uint32_t(param(layer, "act_bits", 1));
    if (activation_) load_firing();
    potential_.resize(units_);
  }

  bool set_predict() override { return predict_ = !activation_; }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    const int32_t* x = in[0]->ints.data();
    for (uint32_t k = 0; k < units_; ++k) {
      uint32_t acc = 0;
      const int32_t* w = weights_.data() + size_t{k} * inputs_;
      for (uint32_t i = 0; i < inputs_; ++i) acc = arith::mac(acc, x[i], w[i]);
      potential_[k] = arith::as_signed(acc);
    }
    if (predict_) {
      for (uint32_t k = 0; k < units_; ++k) out.floats[k] = static_cast<float>(potential_[k]);
      return;
    }
    for (uint32_t k = 0; k < units_; ++k)
      out.ints[k] = activation_ ? arith::v1_fire(potential_[k], threshold_[k], step16_[k], act_bits_) : potential_[k];
  }

  // ---- learning ----

  void prepare_learning(const LearningParams& lp) override {
    if (param(layer_, "weights_bits", 1) != 1) layer_error(layer_, "learns 1-bit weights only.");
    const double classes = lp.get("num_classes");
    classes_ = classes >= 1 ? int32_t(std::min(classes, 1e9)) : 1;
    for (const int32_t w : weights_)
      if (w != 0 && w != 1) layer_error(layer_, fmt::format("cannot learn the weight {}: 0 or 1 expected.", w));
  }

  int32_t num_classes() const override { return classes_; }

  // The class of neuron k is k / (units / num_classes) (the last neurons, when the units do not divide
  // into the classes, get a class number no label has, as the device numbers them). The rule itself
  // is the device's (v1_learning.h).
  void learn(const std::vector<const Buffer*>& in, int32_t label) override {
    const uint32_t per_class = units_ / uint32_t(classes_);
    const auto winner =
        learning::v1_winner(potential_, label, [&](uint32_t k) { return per_class == 0 ? 0 : k / per_class; });
    if (!winner) return;
    const int32_t* x = in[0]->ints.data();
    int32_t* w = weights_.data() + size_t{*winner} * inputs_;
    const auto move =
        learning::v1_move(inputs_, [&](uint32_t i) { return w[i] == 1; }, [&](uint32_t i) { return x[i] != 0; });
    if (!move) return;
    w[move->from] = 0;
    w[move->to] = 1;
  }

  void finish_learning() override { replace_weights(layer_, weights_); }

 private:
  void load_firing() {
    const std::vector<int32_t> t = int_values(layer_, "threshold", units_);
    if (t.size() != units_) layer_error(layer_, "its activation needs one \"threshold\" a unit.");
    threshold_.assign(t.begin(), t.end());
    const auto steps = layer_.variables()->get("act_step");
    if (!steps || steps->size() != units_) layer_error(layer_, "its activation needs one \"act_step\" a unit.");
    const auto t16 = get_threshold_t16_from_act_steps(*steps);
    step16_.assign(t16->data_as<int32_t>(), t16->data_as<int32_t>() + units_);
    for (uint32_t k = 0; k < units_; ++k)
      if (step16_[k] < 0) layer_error(layer_, fmt::format("\"act_step\" of unit {} is negative.", k));
  }

  uint32_t inputs_ = 0, units_ = 0;
  std::vector<int32_t> weights_, potential_;
  bool activation_ = false, predict_ = false;
  uint32_t act_bits_ = 1;
  std::vector<int64_t> threshold_, step16_;
  int32_t classes_ = 1;
};

}  // namespace

std::unique_ptr<Runner> make_v1_dense_runner(const Layer& layer) { return std::make_unique<V1DenseRunner>(layer); }

}  // namespace ovrix::software
