// Dense1D in software: input shift per input value, matrix product, output stage; and the learning rule
// of fit (engine/README.md, "Learning").
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "engine/impl/inference/runner.h"
#include "engine/impl/ops/dense_util.h"

namespace ovrix::software {
namespace {

using ops::detail::shape_text;

class DenseRunner : public RunnerOf<DenseRunner> {
 public:
  explicit DenseRunner(const Layer& layer) : RunnerOf(layer) {
    const Shape in = input_dims3(layer);
    inputs_ = in[0] * in[1] * in[2];
    const Shape ws = variable_shape(layer, "weights");
    units_ = uint32_t(param(layer, "units", ws.size() == 2 ? int32_t(ws[1]) : 0));
    if (!(ws.size() == 2 && ws[0] == inputs_ && ws[1] == units_))
      layer_error(layer, fmt::format("\"weights\" of shape {} do not match ({}, {}).", shape_text(ws), inputs_, units_));
    const std::vector<int32_t> w = int_values(layer, "weights", 0);
    weights_ = std::make_shared<ops::kernel::PackedMatrix>(ops::kernel::pack_matrix(w.data(), inputs_, units_));
    shifts_ = shift_values(layer, "input_shift", inputs_);
    if (std::all_of(shifts_.begin(), shifts_.end(), [](int32_t s) { return s == 0; })) shifts_.clear();
    stage_ = share(OutputStage(layer, units_));
    const Shape out = output_dims3(layer);
    if (!(out == Shape{1, 1, units_}))
      layer_error(layer, fmt::format("its output dimensions {} differ from (1, 1, {}).", shape_text(out), units_));
    acc_.resize(units_);
    scratch_.resize(inputs_);
  }

  bool set_predict() override { return predict_ = true; }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    const int32_t* x = input(*in[0]);
    std::fill(acc_.begin(), acc_.end(), 0u);
    ops::kernel::matvec_acc(x, *weights_, acc_.data(), threads_);
    if (predict_) {
      for (uint32_t u = 0; u < units_; ++u) out.floats[u] = stage_->predict(stage_->potential(acc_[u], u), u);
      return;
    }
    stage_->outputs(acc_.data(), 1, out.ints.data());
  }

  // ---- learning ----

  void prepare_learning(const LearningParams& lp) override {
    const double classes = lp.get("num_classes");
    if (!(classes >= 1) || classes != std::floor(classes) || units_ % uint32_t(classes) != 0)
      layer_error(layer_, fmt::format("\"num_classes\" {} must be a positive divisor of the {} units.", classes, units_));
    classes_ = int32_t(classes);
    const double num_weights = lp.get("num_weights");
    connections_ = num_weights >= double(inputs_) ? inputs_ : uint32_t(std::max(0.0, std::floor(num_weights)));
    min_plasticity_ = lp.get("min_plasticity");
    decay_ = lp.get("plasticity_decay");
    plasticity_.assign(units_, lp.get("initial_plasticity"));
    const int32_t bits = param(layer_, "weights_bits", 8);
    if (bits < 1 || bits > 8) layer_error(layer_, fmt::format("cannot learn {}-bit weights.", bits));
    w_range_ = arith::signed_range(bits);
    auto w = layer_.variables()->get("weights");
    if (w->type() != TensorType::int8 && w->type() != TensorType::int4 && w->type() != TensorType::int2 &&
        w->type() != TensorType::bit)
      layer_error(layer_, fmt::format("cannot learn \"weights\" of type {}.", Tensor::type_name(w->type())));
    order_.resize(inputs_);
  }

  int32_t num_classes() const override { return classes_; }

  // The winner is the neuron of the label's class (of all classes when unsupervised) with the highest
  // potential, the lowest index on ties. Its weights move toward the input pattern: +max on the
  // `num_weights` largest positive inputs, 0 elsewhere, by round((target - w) x plasticity) with the
  // plasticity in 1/65536 steps; then its plasticity decays.
  void learn(const std::vector<const Buffer*>& in, int32_t label) override {
    const uint32_t group = units_ / uint32_t(classes_);
    const uint32_t first = label < 0 ? 0 : uint32_t(label) * group;
    const uint32_t last = label < 0 ? units_ : first + group;
    uint32_t winner = first;
    int32_t best = stage_->potential(acc_[first], first);
    for (uint32_t u = first + 1; u < last; ++u) {
      const int32_t p = stage_->potential(acc_[u], u);
      if (p > best) best = p, winner = u;
    }
    const int32_t* x = input(*in[0]);
    std::iota(order_.begin(), order_.end(), 0u);
    std::stable_sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) { return x[a] > x[b]; });
    const double p = std::clamp(plasticity_[winner], 0.0, 1.0);
    const int64_t step = static_cast<int64_t>(std::floor(p * 65536.0 + 0.5));
    for (uint32_t rank = 0; rank < inputs_; ++rank) {
      const uint32_t i = order_[rank];
      const int64_t target = (rank < connections_ && x[i] > 0) ? w_range_.hi : 0;
      int32_t& w = weights_->values[size_t(i) * units_ + winner];
      const int64_t delta = arith::shift_right_round((target - w) * step, 16);
      w = static_cast<int32_t>(arith::clamp(w + delta, w_range_));
    }
    ops::kernel::repack_column(*weights_, winner);
    plasticity_[winner] = std::max(min_plasticity_, plasticity_[winner] * (1.0 - decay_));
  }

  void finish_learning() override { replace_weights(layer_, weights_->values); }

 private:
  const int32_t* input(const Buffer& b) {
    if (shifts_.empty()) return b.ints.data();
    for (size_t i = 0; i < inputs_; ++i) scratch_[i] = arith::clamp32(arith::shift_left_sat(b.ints[i], shifts_[i]));
    return scratch_.data();
  }

  uint32_t inputs_ = 0, units_ = 0;
  // Shared with the forks; only fit, which runs on one thread without forks, changes them.
  std::shared_ptr<ops::kernel::PackedMatrix> weights_;
  std::vector<int32_t> shifts_, scratch_;
  std::vector<uint32_t> acc_;
  Shared<OutputStage> stage_;
  bool predict_ = false;
  // learning
  int32_t classes_ = 0;
  uint32_t connections_ = 0;
  double min_plasticity_ = 0, decay_ = 0;
  std::vector<double> plasticity_;
  arith::Range w_range_;
  std::vector<uint32_t> order_;
};

}  // namespace

std::unique_ptr<Runner> make_dense_runner(const Layer& layer) { return std::make_unique<DenseRunner>(layer); }

}  // namespace ovrix::software
