// v1 FullyConnected in software: each neuron's 32-bit potential is the dot product of its weights with
// the input values in their stored order, then the threshold firing law (or the potential itself when
// the activation is off). Fit learns the 1-bit weights of a compiled last layer (engine/README.md).
#include <fmt/format.h>

#include <algorithm>

#include "engine/engine.h"
#include "engine/impl/inference/runner.h"
#include "engine/impl/inference/v1_learning.h"
#include "engine/impl/ops/arith.h"
#include "engine/impl/ops/dense_util.h"

namespace ovrix::software {
namespace {

class V1DenseRunner : public RunnerOf<V1DenseRunner> {
 public:
  explicit V1DenseRunner(const Layer& layer) : RunnerOf(layer) {
    const Shape in = input_dims3(layer);
    inputs_ = uint32_t(in.elements());
    units_ = uint32_t(param(layer, "units", 1));
    const Shape s = variable_shape(layer, "weights");
    if (!(s.size() >= 2 && s[0] == units_ && s[1] == inputs_))
      layer_error(layer, fmt::format("\"weights\" of shape {} do not match ({}, {}, 1, 1).",
                                     ops::detail::shape_text(s), units_, inputs_));
    load_weights();
    activation_ = param(layer, "activation", 0) != 0;
    act_bits_ = uint32_t(param(layer, "act_bits", 1));
    if (activation_) load_firing();
    potential_.resize(units_);
    acc_.resize(units_);
  }

  bool set_predict() override { return predict_ = !activation_; }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    std::fill(acc_.begin(), acc_.end(), 0u);
    if (weights_->wide.values.empty())
      ops::kernel::matvec_acc(in[0]->ints.data(), weights_->rows, acc_.data(), threads_);
    else
      ops::kernel::matvec_acc(in[0]->ints.data(), weights_->wide, acc_.data(), threads_);
    for (uint32_t k = 0; k < units_; ++k) potential_[k] = arith::as_signed(acc_[k]);
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
    // The first weight other than 0 and 1, by unit, is named; most layers have none, seen in one pass.
    const int8_t* all = weights_->rows.w;
    const bool bits = weights_->wide.values.empty() &&
                      std::all_of(all, all + size_t(inputs_) * units_, [](int8_t w) { return w == 0 || w == 1; });
    for (uint32_t k = 0; k < units_ && !bits; ++k)
      for (uint32_t i = 0; i < inputs_; ++i)
        if (const int32_t w = weight(i, k); w != 0 && w != 1)
          layer_error(layer_, fmt::format("cannot learn the weight {}: 0 or 1 expected.", w));
    if (weights_->stored) {
      // Learning changes the weights: a copy of them.
      const int8_t* bytes = weights_->stored->data_as<int8_t>();
      auto w = std::make_shared<Weights>();
      w->copy.assign(bytes, bytes + size_t(inputs_) * units_);
      w->rows = weights_->rows;
      w->rows.w = w->copy.data();
      weights_ = std::move(w);
    }
  }

  // The class numbers the neurons carry. Neuron k is in class k / (units / num_classes), as the
  // device's neuron headers number them: when the units do not divide into the classes, the last
  // neurons are in class num_classes (or past it), and a label of that class teaches them there too.
  int32_t num_classes() const override {
    const uint32_t per_class = units_ / uint32_t(classes_);
    return per_class == 0 ? classes_ : int32_t((units_ + per_class - 1) / per_class);
  }

  // The rule itself is the device's (v1_learning.h).
  void learn(const std::vector<const Buffer*>& in, int32_t label) override {
    const uint32_t per_class = units_ / uint32_t(classes_);
    const auto winner =
        learning::v1_winner(potential_, label, [&](uint32_t k) { return per_class == 0 ? 0 : k / per_class; });
    if (!winner) return;
    const int32_t* x = in[0]->ints.data();
    const auto m = learning::v1_move(
        inputs_, [&](uint32_t i) { return weight(i, *winner) == 1; }, [&](uint32_t i) { return x[i] != 0; });
    if (!m) return;
    ops::kernel::set_row_weight(weights_->rows, weights_->copy.data(), m->from, *winner, 0);
    ops::kernel::set_row_weight(weights_->rows, weights_->copy.data(), m->to, *winner, 1);
  }

  void finish_learning() override {
    std::vector<int32_t> by_unit(size_t(units_) * inputs_);
    for (uint32_t i = 0; i < inputs_; ++i)
      for (uint32_t k = 0; k < units_; ++k) by_unit[size_t(k) * inputs_ + i] = weight(i, k);
    replace_weights(layer_, by_unit);
  }

 private:
  // The weights by input, (inputs, units), as the products read them: 8-bit weights (those of every declared
  // type) as the variable's own bytes when it is stored so (each input's weights for every unit one after
  // the other), else as a copy; wider ones in 32 bits, packed.
  struct Weights {
    std::shared_ptr<const Dense> stored;
    std::vector<int8_t> copy;
    ops::kernel::RowsOf8 rows;  // over stored or copy
    ops::kernel::PackedMatrix wide;
  };

  int32_t weight(uint32_t i, uint32_t k) const {
    const size_t at = size_t(i) * units_ + k;
    return weights_->wide.values.empty() ? weights_->rows.w[at] : weights_->wide.values[at];
  }

  void load_weights() {
    auto w = std::make_shared<Weights>();
    w->stored = small_stored(layer_, "weights");
    if (w->stored) {
      const Shape s = w->stored->shape();
      if (w->stored->layout() == uint8_t(Dense::Layout::Reversed) && s.size() == 4 && s[2] == 1 && s[3] == 1) {
        w->rows = ops::kernel::rows_of8(w->stored->data_as<int8_t>(), inputs_, units_);
        weights_ = std::move(w);
        return;
      }
      w->stored = nullptr;
    }
    // By unit: turned by input.
    std::vector<int32_t> by_unit;
    std::vector<int8_t> small = small_values(layer_, "weights");
    if (small.empty()) {
      by_unit = int_values(layer_, "weights", 0);
      if (std::all_of(by_unit.begin(), by_unit.end(), [](int32_t v) { return v >= -128 && v <= 127; }))
        small.assign(by_unit.begin(), by_unit.end());
    }
    if (!small.empty()) {
      w->copy.resize(small.size());
      for (size_t k = 0; k < units_; ++k)
        for (size_t i = 0; i < inputs_; ++i) w->copy[i * units_ + k] = small[k * inputs_ + i];
      w->rows = ops::kernel::rows_of8(w->copy.data(), inputs_, units_);
    } else {
      std::vector<int32_t> by_input(by_unit.size());
      for (size_t k = 0; k < units_; ++k)
        for (size_t i = 0; i < inputs_; ++i) by_input[i * units_ + k] = by_unit[k * inputs_ + i];
      w->wide = ops::kernel::pack_matrix(by_input.data(), inputs_, units_);
    }
    weights_ = std::move(w);
  }

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
  // Shared with the forks; only fit, which runs on one thread without forks, changes them.
  std::shared_ptr<Weights> weights_;
  std::vector<int32_t> potential_;
  std::vector<uint32_t> acc_;
  bool activation_ = false, predict_ = false;
  uint32_t act_bits_ = 1;
  std::vector<int64_t> threshold_, step16_;
  int32_t classes_ = 1;
};

}  // namespace

std::unique_ptr<Runner> make_v1_dense_runner(const Layer& layer) { return std::make_unique<V1DenseRunner>(layer); }

}  // namespace ovrix::software
