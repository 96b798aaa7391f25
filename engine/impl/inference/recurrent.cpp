// The TNP-R kinds in software. A sample (d0, T, C) is d0 independent sequences of T steps; every
// sequence starts from a zero state.
// StatefulRecurrent, per step t: the input shifted by "input_shift" and projected by in_proj (S, C)
// (wrapping 32-bit sums) updates each state channel (arith::state_update with the channel's
// new_state_scale, new_state_shift and A coefficients); the steps kept by "subsample" (t a multiple of
// it) project the state outputs (arith::state_output) by out_proj (O, S) into the output stage. Before
// a LumoPostProcessing layer the output stage takes that layer's input_scales and input_shift.
// LumoPostProcessing: the sum over time of its input (each value saturated to 16 bits), shifted right by
// trunc(log2 T) and kept when it reaches the threshold (arith::post_process).
#include <fmt/format.h>

#include <cmath>

#include "engine/impl/inference/runner.h"
#include "engine/impl/ops/dense_util.h"

namespace ovrix::software {
namespace {

using ops::detail::shape_text;

// Row-major (rows, cols) values of a variable, transposed to (cols, rows) for matvec_acc.
std::vector<int32_t> transposed(const Layer& layer, const char* name, uint32_t rows, uint32_t cols) {
  const Shape s = variable_shape(layer, name);
  if (!(s.size() == 2 && s[0] == rows && s[1] == cols))
    layer_error(layer, fmt::format("\"{}\" of shape {} does not match ({}, {}).", name, shape_text(s), rows, cols));
  const std::vector<int32_t> v = int_values(layer, name, 0);
  std::vector<int32_t> t(v.size());
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t c = 0; c < cols; ++c) t[size_t(c) * rows + r] = v[size_t(r) * cols + c];
  return t;
}

// Values of a per-channel variable, or `fallback` repeated when the layer lacks it.
std::vector<int32_t> per_channel(const Layer& layer, const char* name, uint32_t count, int32_t fallback) {
  std::vector<int32_t> v = int_values(layer, name, count);
  if (v.empty()) v.assign(count, fallback);
  return v;
}

// The layer this one hands its outputs to, when that is a post-processing layer.
const Layer* post_processing_after(const Layer& layer) {
  const auto& outs = layer.outbound_layers();
  if (outs.empty() || outs.front()->params()->layer_type() != LayerType::LumoPostProcessing) return nullptr;
  return outs.front().get();
}

class RecurrentRunner : public RunnerOf<RecurrentRunner> {
 public:
  explicit RecurrentRunner(const Layer& layer) : RunnerOf(layer) {
    const Shape in = input_dims3(layer);
    rows_ = in[0];
    steps_ = in[1];
    inputs_ = in[2];
    states_ = uint32_t(std::max(param(layer, "stateful_channels", 0), 0));
    outputs_ = uint32_t(std::max(param(layer, "output_channels", 0), 0));
    subsample_ = uint32_t(std::max(param(layer, "subsample", 1), 1));
    if (states_ == 0) layer_error(layer, "a recurrent layer needs at least one state channel.");
    in_proj_ = share(transposed(layer, "in_proj", states_, inputs_));
    out_proj_ = share(transposed(layer, "out_proj", outputs_, states_));
    a_re_ = per_channel(layer, "A_real", states_, 0);
    a_im_ = per_channel(layer, "A_imag", states_, 0);
    state_shift_ = per_channel(layer, "internal_state_outputs_shift", states_, 0);
    new_scale_ = per_channel(layer, "new_state_scale", states_, 1);
    new_shift_ = per_channel(layer, "new_state_shift", states_, 0);
    input_shift_ = per_channel(layer, "input_shift", inputs_, 0);
    stage_ = share(OutputStage(layer, outputs_, post_processing_after(layer)));
    const Shape out = output_dims3(layer);
    const Shape got{rows_, (steps_ + subsample_ - 1) / subsample_, outputs_};
    if (!(out == got))
      layer_error(layer, fmt::format("its computed output {} differs from its output dimensions {}.", shape_text(got),
                                     shape_text(out)));
    x_.resize(inputs_);
    u_.resize(states_);
    y_.resize(states_);
    acc_.resize(outputs_);
    state_.resize(states_);
  }

  bool set_predict() override { return predict_ = true; }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    const std::vector<int32_t>& x = in[0]->ints;
    const uint32_t kept = (steps_ + subsample_ - 1) / subsample_;
    for (uint32_t row = 0; row < rows_; ++row) {
      std::fill(state_.begin(), state_.end(), arith::ComplexState{});
      for (uint32_t t = 0; t < steps_; ++t) {
        const int32_t* xt = x.data() + (size_t(row) * steps_ + t) * inputs_;
        for (uint32_t c = 0; c < inputs_; ++c) x_[c] = arith::clamp32(arith::shift_left_sat(xt[c], input_shift_[c]));
        std::fill(u_.begin(), u_.end(), 0u);
        ops::kernel::matvec_acc(x_.data(), inputs_, in_proj_->data(), states_, u_.data());
        for (uint32_t s = 0; s < states_; ++s)
          state_[s] = arith::state_update(state_[s], a_re_[s], a_im_[s], arith::as_signed(u_[s]),
                                          uint32_t(new_scale_[s]), new_shift_[s], arith::kStateDecayShift);
        if (t % subsample_ != 0) continue;
        for (uint32_t s = 0; s < states_; ++s) y_[s] = arith::state_output(state_[s].re, state_shift_[s]);
        std::fill(acc_.begin(), acc_.end(), 0u);
        ops::kernel::matvec_acc(y_.data(), states_, out_proj_->data(), outputs_, acc_.data());
        const size_t at = (size_t(row) * kept + t / subsample_) * outputs_;
        if (predict_) {
          for (uint32_t o = 0; o < outputs_; ++o) out.floats[at + o] = stage_->predict(stage_->potential(acc_[o], o), o);
        } else {
          stage_->outputs(acc_.data(), 1, out.ints.data() + at);
        }
      }
    }
  }

 private:
  uint32_t rows_ = 0, steps_ = 0, inputs_ = 0, states_ = 0, outputs_ = 0, subsample_ = 1;
  Shared<std::vector<int32_t>> in_proj_, out_proj_;
  std::vector<int32_t> a_re_, a_im_, state_shift_, new_scale_, new_shift_, input_shift_;
  std::vector<int32_t> x_, y_;
  std::vector<uint32_t> u_, acc_;
  std::vector<arith::ComplexState> state_;
  Shared<OutputStage> stage_;
  bool predict_ = false;
};

class PostProcessingRunner : public RunnerOf<PostProcessingRunner> {
 public:
  explicit PostProcessingRunner(const Layer& layer) : RunnerOf(layer) {
    const Shape in = input_dims3(layer);
    rows_ = in[0];
    steps_ = in[1];
    channels_ = in[2];
    const std::vector<int32_t> threshold = int_values(layer, "threshold", 0);
    if (threshold.empty()) layer_error(layer, "a post-processing layer needs a \"threshold\".");
    threshold_ = uint32_t(std::max(threshold.front(), 0));
    shift_ = -static_cast<int>(std::trunc(std::log2(double(steps_))));
    const Shape out = output_dims3(layer);
    if (!(out == Shape{rows_, 1, 1}) || channels_ != 1)
      layer_error(layer, fmt::format("a post-processing layer takes one channel and gives (d0, 1, 1); got input {} "
                                     "and output {}.",
                                     shape_text(in), shape_text(out)));
  }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    const std::vector<int32_t>& x = in[0]->ints;
    const arith::Range r16 = arith::signed_range(16);
    for (uint32_t row = 0; row < rows_; ++row) {
      int64_t sum = 0;
      for (uint32_t t = 0; t < steps_; ++t) sum += arith::clamp(x[size_t(row) * steps_ + t], r16);
      out.ints[row] = arith::post_process(sum, 1, shift_, threshold_, false);
    }
  }

 private:
  uint32_t rows_ = 0, steps_ = 0, channels_ = 0, threshold_ = 0;
  int shift_ = 0;
};

}  // namespace

std::unique_ptr<Runner> make_recurrent_runner(const Layer& layer) { return std::make_unique<RecurrentRunner>(layer); }
std::unique_ptr<Runner> make_post_processing_runner(const Layer& layer) {
  return std::make_unique<PostProcessingRunner>(layer);
}

}  // namespace ovrix::software
