// Buffered temporal convolutions in software: every input position keeps a FIFO of its last fifo_size
// frames (frame 0 the newest, filled with 0 at the start of a run); BufferTempConv multiplies the whole
// FIFO with (fifo_size x C, F) weights, DepthwiseBufferTempConv each channel with its own fifo_size taps.
#include <fmt/format.h>

#include "engine/impl/inference/runner.h"
#include "engine/impl/ops/dense_util.h"

namespace ovrix::software {
namespace {

using ops::detail::shape_text;

class TemporalRunner : public RunnerOf<TemporalRunner> {
 public:
  explicit TemporalRunner(const Layer& layer) : RunnerOf(layer) {
    const Shape in = input_dims3(layer);
    positions_ = in[0] * in[1];
    channels_ = in[2];
    depthwise_ = layer.params()->layer_type() == LayerType::DepthwiseBufferTempConv;
    const int32_t taps = param(layer, "fifo_size", 0);
    if (taps < 1) layer_error(layer, fmt::format("fifo_size {} is not positive.", taps));
    taps_ = uint32_t(taps);
    const Shape ws = variable_shape(layer, "weights");
    filters_ = depthwise_ ? channels_ : uint32_t(param(layer, "filters", ws.size() == 4 ? int32_t(ws[3]) : 0));
    const uint32_t rows = depthwise_ ? taps_ : taps_ * channels_;
    if (!(ws.size() == 4 && ws[0] == 1 && ws[1] == 1 && ws[2] == rows && ws[3] == filters_))
      layer_error(layer, fmt::format("\"weights\" of shape {} do not match (1, 1, {}, {}).", shape_text(ws), rows,
                                     filters_));
    weights_ = share(int_values(layer, "weights", 0));
    shifts_ = shift_values(layer, "input_shift", channels_);
    stage_ = share(OutputStage(layer, filters_));
    pool_ = share(PoolStage(layer, in[0], in[1]));
    const Shape out = output_dims3(layer);
    const Shape got{pool_->out0(), pool_->out1(), filters_};
    if (!(out == got))
      layer_error(layer, fmt::format("its computed output {} differs from its output dimensions {}.", shape_text(got),
                                     shape_text(out)));
    fifo_.assign(size_t(taps_) * positions_ * channels_, 0);
    acc_.resize(size_t(positions_) * filters_);
    if (pool_->active()) pre_pool_.resize(acc_.size());
  }

  bool carries_state() const override { return true; }
  void reset() override {
    std::fill(fifo_.begin(), fifo_.end(), 0);
    head_ = 0;
  }

  bool set_predict() override { return predict_ = true; }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    const size_t frame = size_t(positions_) * channels_;
    // Push: the slot before the head becomes frame 0.
    head_ = (head_ + taps_ - 1) % taps_;
    int32_t* slot = fifo_.data() + head_ * frame;
    const std::vector<int32_t>& x = in[0]->ints;
    for (size_t base = 0; base < frame; base += channels_)
      for (uint32_t c = 0; c < channels_; ++c)
        slot[base + c] =
            shifts_.empty() ? x[base + c] : arith::clamp32(arith::shift_left_sat(x[base + c], shifts_[c]));
    std::fill(acc_.begin(), acc_.end(), 0u);
    for (uint32_t t = 0; t < taps_; ++t) {
      const int32_t* f = fifo_.data() + ((head_ + t) % taps_) * frame;
      if (depthwise_) {
        const int32_t* w = weights_->data() + size_t(t) * channels_;
        for (size_t base = 0; base < frame; base += channels_)
          for (uint32_t c = 0; c < channels_; ++c) acc_[base + c] = arith::mac(acc_[base + c], f[base + c], w[c]);
      } else {
        const int32_t* w = weights_->data() + size_t(t) * channels_ * filters_;
        for (uint32_t p = 0; p < positions_; ++p)
          ops::kernel::matvec_acc(f + size_t(p) * channels_, channels_, w, filters_, acc_.data() + size_t(p) * filters_);
      }
    }
    if (predict_) {
      std::vector<int32_t> potentials(acc_.size());
      for (size_t i = 0; i < acc_.size(); ++i) potentials[i] = stage_->potential(acc_[i], uint32_t(i % filters_));
      pool_->pool_predict(potentials.data(), filters_, *stage_, out.floats.data());
      return;
    }
    int32_t* dst = pool_->active() ? pre_pool_.data() : out.ints.data();
    stage_->outputs(acc_.data(), positions_, dst);
    if (pool_->active()) pool_->pool(dst, filters_, out.ints.data());
  }

 private:
  bool depthwise_ = false;
  uint32_t positions_ = 0, channels_ = 0, filters_ = 0, taps_ = 0, head_ = 0;
  Shared<std::vector<int32_t>> weights_;
  std::vector<int32_t> shifts_, fifo_, pre_pool_;
  std::vector<uint32_t> acc_;
  Shared<OutputStage> stage_;
  Shared<PoolStage> pool_;
  bool predict_ = false;
};

}  // namespace

std::unique_ptr<Runner> make_temporal_runner(const Layer& layer) { return std::make_unique<TemporalRunner>(layer); }

}  // namespace ovrix::software
