// v1 convolutions in software: InputConvolutional (the HRC's, its image padded with "padding_value"),
// Convolutional (a standard convolution) and SeparableConvolutional (a
// depthwise convolution, then a pointwise one, on the same potentials), then pooling of the potentials,
// then the threshold firing law, or the 32-bit potentials themselves when the activation is off.
#include <fmt/format.h>

#include "engine/engine.h"
#include "engine/impl/inference/runner.h"
#include "engine/impl/ops/dense_util.h"

namespace ovrix::software {
namespace {

using ops::detail::shape_text;

// Reorders weights given as (F, C, rows, columns) (rows along axis 1, columns along axis 0) into the
// kernels' (columns, rows, C, F) order.
std::vector<int32_t> to_kernel_order(const std::vector<int32_t>& w, uint32_t f_count, uint32_t channels,
                                     uint32_t rows, uint32_t cols) {
  std::vector<int32_t> out(w.size());
  for (uint32_t f = 0; f < f_count; ++f)
    for (uint32_t c = 0; c < channels; ++c)
      for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t s = 0; s < cols; ++s)
          out[((size_t(s) * rows + r) * channels + c) * f_count + f] =
              w[((size_t(f) * channels + c) * rows + r) * cols + s];
  return out;
}

// Reorders InputConvolutional weights, (rows, columns, C, F) row-major, into the kernels' order.
std::vector<int32_t> input_to_kernel_order(const std::vector<int32_t>& w, uint32_t f_count, uint32_t channels,
                                           uint32_t rows, uint32_t cols) {
  std::vector<int32_t> out(w.size());
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t s = 0; s < cols; ++s)
      for (uint32_t c = 0; c < channels; ++c)
        for (uint32_t f = 0; f < f_count; ++f)
          out[((size_t(s) * rows + r) * channels + c) * f_count + f] =
              w[((size_t(r) * cols + s) * channels + c) * f_count + f];
  return out;
}

class V1ConvRunner : public RunnerOf<V1ConvRunner> {
 public:
  explicit V1ConvRunner(const Layer& layer)
      : RunnerOf(layer),
        separable_(layer.params()->layer_type() == LayerType::SeparableConvolutional),
        input_(layer.params()->layer_type() == LayerType::InputConvolutional) {
    const Shape in = input_dims3(layer);
    channels_ = in[2];
    filters_ = uint32_t(param(layer, "filters", 1));
    const int32_t kw = param(layer, "kernel_width", 1), kh = param(layer, "kernel_height", 1);
    if (kw < 1 || kh < 1) layer_error(layer, fmt::format("kernel {} x {} is not positive.", kw, kh));
    const auto& conv = dynamic_cast<const HasConvParams&>(layer).conv_calculated_params();
    g_ = ops::kernel::Sweep{in[0],
                            in[1],
                            uint32_t(kw),
                            uint32_t(kh),
                            uint32_t(param(layer, "stride_x", 1)),
                            uint32_t(param(layer, "stride_y", 1)),
                            int32_t(conv.padding.x_before),
                            int32_t(conv.padding.y_before),
                            conv.output_width,
                            conv.output_height};
    try {
      ops::detail::check_sweep("convolution", 0, g_.d0, kw, g_.s0, g_.p0, g_.out0, conv.padding.x_after);
      ops::detail::check_sweep("convolution", 1, g_.d1, kh, g_.s1, g_.p1, g_.out1, conv.padding.y_after);
    } catch (const std::invalid_argument& e) {
      layer_error(layer, e.what());
    }
    load_weights(uint32_t(kw), uint32_t(kh));
    load_pooling();
    activation_ = param(layer, "activation", 0) != 0;
    act_bits_ = uint32_t(param(layer, "act_bits", 1));
    if (activation_) load_firing();
    const Shape want = output_dims3(layer);
    if (!(want == Shape{pool_.out0(), pool_.out1(), filters_}))
      layer_error(layer, fmt::format("its computed output {} differs from its output dimensions {}.",
                                     shape_text(Shape{pool_.out0(), pool_.out1(), filters_}), shape_text(want)));
    acc_.resize(size_t(g_.out0) * g_.out1 * filters_);
    if (pool_.active()) pooled_.resize(size_t(pool_.out0()) * pool_.out1() * filters_);
    if (separable_) depthwise_.resize(size_t(g_.out0) * g_.out1 * channels_);
  }

  bool set_predict() override { return predict_ = !activation_; }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    const int32_t* x = in[0]->ints.data();
    if (input_) {
      ops::kernel::input_conv2d(x, pad_values_.data(), *packed_, g_, padded_, acc_.data(), threads_);
    } else if (separable_) {
      ops::kernel::depthwise_conv2d(x, channels_, dw_weights_->data(), g_, depthwise_.data(), threads_);
      ops::kernel::conv2d(depthwise_.data(), *packed_, pointwise_sweep_, acc_.data(), threads_);
    } else {
      ops::kernel::conv2d(x, *packed_, g_, acc_.data(), threads_);
    }
    const int32_t* potentials = acc_.data();
    if (pool_.active()) {
      pool_.pool(acc_.data(), filters_, pooled_.data());
      potentials = pooled_.data();
    }
    const size_t n = out.size();
    if (predict_) {
      for (size_t i = 0; i < n; ++i) out.floats[i] = static_cast<float>(potentials[i]);
      return;
    }
    if (!activation_) {
      std::copy(potentials, potentials + n, out.ints.begin());
      return;
    }
    for (size_t i = 0; i < n; ++i) {
      const uint32_t f = uint32_t(i % filters_);
      out.ints[i] = arith::v1_fire(potentials[i], threshold_[f], step16_[f], act_bits_);
    }
  }

 private:
  void load_weights(uint32_t kw, uint32_t kh) {
    const Shape s = variable_shape(layer_, "weights");
    if (input_) {
      // The HRC pads its image with "padding_value" in every channel.
      if (!(s.size() == 4 && s[0] == kh && s[1] == kw && s[2] == channels_ && s[3] == filters_))
        layer_error(layer_, fmt::format("\"weights\" of shape {} do not match ({}, {}, {}, {}).", shape_text(s), kh,
                                        kw, channels_, filters_));
      const std::vector<int32_t> w = input_to_kernel_order(int_values(layer_, "weights", 0), filters_, channels_, kh, kw);
      packed_ = share(ops::kernel::pack_filters(w.data(), kw, kh, channels_, filters_));
      pad_values_.assign(channels_, param(layer_, "padding_value", 0));
      return;
    }
    if (separable_) {
      if (!(s.size() == 4 && s[0] == 1 && s[1] == channels_ && s[2] == kh && s[3] == kw))
        layer_error(layer_, fmt::format("\"weights\" of shape {} do not match (1, {}, {}, {}).", shape_text(s),
                                        channels_, kh, kw));
      dw_weights_ = share(to_kernel_order(int_values(layer_, "weights", 0), 1, channels_, kh, kw));
      const Shape p = variable_shape(layer_, "weights_pw");
      if (!(p.size() == 2 && p[0] == filters_ && p[1] == channels_))
        layer_error(layer_, fmt::format("\"weights_pw\" of shape {} do not match ({}, {}).", shape_text(p), filters_,
                                        channels_));
      // (F, C) -> (1, 1, C, F)
      const std::vector<int32_t> pw = to_kernel_order(int_values(layer_, "weights_pw", 0), filters_, channels_, 1, 1);
      packed_ = share(ops::kernel::pack_filters(pw.data(), 1, 1, channels_, filters_));
      pointwise_sweep_ = ops::kernel::Sweep{g_.out0, g_.out1, 1, 1, 1, 1, 0, 0, g_.out0, g_.out1};
      return;
    }
    if (!(s.size() == 4 && s[0] == filters_ && s[1] == channels_ && s[2] == kh && s[3] == kw))
      layer_error(layer_, fmt::format("\"weights\" of shape {} do not match ({}, {}, {}, {}).", shape_text(s),
                                      filters_, channels_, kh, kw));
    const std::vector<int32_t> w = to_kernel_order(int_values(layer_, "weights", 0), filters_, channels_, kh, kw);
    packed_ = share(ops::kernel::pack_filters(w.data(), kw, kh, channels_, filters_));
  }

  void load_pooling() {
    const auto type = static_cast<PoolType>(param(layer_, "pool_type", 0));
    if (type == PoolType::NoPooling) {
      pool_ = PoolStage(PoolType::NoPooling, ops::kernel::Sweep{g_.out0, g_.out1, 1, 1, 1, 1, 0, 0, g_.out0, g_.out1});
      return;
    }
    if (type != PoolType::Max && type != PoolType::Average)
      layer_error(layer_, fmt::format("unknown pool type {}.", int(type)));
    const auto& pc = dynamic_cast<const HasPoolParams&>(layer_).pool_calculated_params();
    const int32_t pw = param(layer_, "pooling_width", 1), ph = param(layer_, "pooling_height", 1);
    const bool global = pw < 0 || ph < 0;
    ops::kernel::Sweep g{g_.out0,
                         g_.out1,
                         global ? g_.out0 : uint32_t(pw),
                         global ? g_.out1 : uint32_t(ph),
                         pc.stride_x,
                         pc.stride_y,
                         int32_t(pc.padding.x_before),
                         int32_t(pc.padding.y_before),
                         pc.output_width,
                         pc.output_height};
    try {
      ops::detail::check_sweep("pooling", 0, g.d0, g.k0, g.s0, g.p0, g.out0, pc.padding.x_after);
      ops::detail::check_sweep("pooling", 1, g.d1, g.k1, g.s1, g.p1, g.out1, pc.padding.y_after);
    } catch (const std::invalid_argument& e) {
      layer_error(layer_, e.what());
    }
    pool_ = PoolStage(type, g);
  }

  void load_firing() {
    const std::vector<int32_t> t = int_values(layer_, "threshold", filters_);
    if (t.empty()) layer_error(layer_, "its activation needs the variable \"threshold\".");
    threshold_.assign(t.begin(), t.end());
    const auto vars = layer_.variables();
    const auto steps = vars && vars->has("act_step") ? vars->get("act_step") : nullptr;
    if (!steps) layer_error(layer_, "its activation needs the variable \"act_step\".");
    if (steps->size() != filters_)
      layer_error(layer_, fmt::format("variable \"act_step\" holds {} values; {} expected.", steps->size(), filters_));
    // The steps in sixteenths, converted as the recorders convert them for the device.
    const auto t16 = get_threshold_t16_from_act_steps(*steps);
    const std::vector<int32_t> s16(t16->data_as<int32_t>(), t16->data_as<int32_t>() + filters_);
    step16_.resize(filters_);
    for (uint32_t f = 0; f < filters_; ++f) {
      if (s16[f] < 0) layer_error(layer_, fmt::format("\"act_step\" of filter {} is negative.", f));
      step16_[f] = s16[f];
    }
  }

  bool separable_, input_;
  std::vector<int32_t> pad_values_, padded_;
  uint32_t channels_ = 0, filters_ = 0;
  ops::kernel::Sweep g_, pointwise_sweep_;
  Shared<ops::kernel::PackedFilters> packed_;
  Shared<std::vector<int32_t>> dw_weights_;
  PoolStage pool_;
  bool activation_ = false;
  uint32_t act_bits_ = 1;
  std::vector<int64_t> threshold_, step16_;
  std::vector<int32_t> acc_, pooled_, depthwise_;
  bool predict_ = false;
};

}  // namespace

std::unique_ptr<Runner> make_v1_conv_runner(const Layer& layer) { return std::make_unique<V1ConvRunner>(layer); }

}  // namespace ovrix::software
