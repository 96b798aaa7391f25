// Convolution layers in software: Conv2D, DepthwiseConv2D and InputConv2D (convolution, output stage,
// pooling), Conv2DTranspose and DepthwiseConv2DTranspose (transposed convolution, output stage).
#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "engine/impl/inference/runner.h"
#include "engine/impl/ops/dense_util.h"

namespace ovrix::software {
namespace {

using ops::detail::shape_text;

// Per-channel input shift: x x 2^shift[c], saturated to int32. Returns `x` itself when every shift is 0.
// Shifts below 32 are done in 32 bits: the shift is exact when shifting back gives x again.
OVRIX_VECTOR_KERNEL void shift_small(const int32_t* x, size_t n, const int32_t* shifts, uint32_t channels,
                                     int32_t* out) {
  for (size_t base = 0; base < n; base += channels)
    for (uint32_t c = 0; c < channels; ++c) {
      const int32_t v = x[base + c];
      const auto s = static_cast<uint32_t>(shifts[c]);
      const int32_t shifted = static_cast<int32_t>(static_cast<uint32_t>(v) << s);
      const int32_t saturated = v < 0 ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
      out[base + c] = (shifted >> s) == v ? shifted : saturated;
    }
}

// `x` holds `n` values.
const int32_t* shifted_input(const int32_t* x, size_t n, const std::vector<int32_t>& shifts, uint32_t channels,
                             std::vector<int32_t>& scratch) {
  if (shifts.empty()) return x;
  scratch.resize(n);
  if (std::all_of(shifts.begin(), shifts.end(), [](int32_t v) { return v < 32; })) {
    shift_small(x, n, shifts.data(), channels, scratch.data());
  } else {
    for (size_t base = 0; base < n; base += channels)
      for (uint32_t c = 0; c < channels; ++c)
        scratch[base + c] = arith::clamp32(arith::shift_left_sat(x[base + c], shifts[c]));
  }
  return scratch.data();
}

// Input shifts of a layer: one per input channel, or none when absent or all 0.
std::vector<int32_t> input_shifts(const Layer& layer, uint32_t channels) {
  std::vector<int32_t> s = shift_values(layer, "input_shift", channels);
  for (int32_t v : s)
    if (v != 0) return s;
  return {};
}

void check_output(const Layer& layer, uint32_t out0, uint32_t out1, uint32_t channels) {
  const Shape want = output_dims3(layer);
  const Shape got{out0, out1, channels};
  if (!(want == got))
    layer_error(layer, fmt::format("its computed output {} differs from its output dimensions {}.", shape_text(got),
                                   shape_text(want)));
}

// Weights as int32 in row-major order with their shape checked against (k, k, C, F).
std::vector<int32_t> conv_weights(const Layer& layer, uint32_t k, uint32_t channels, uint32_t filters,
                                  bool depthwise) {
  const Shape s = variable_shape(layer, "weights");
  const bool ok = depthwise ? (s.size() == 4 && s[0] == k && s[1] == k && s[2] == 1 && s[3] == channels)
                            : (s.size() == 4 && s[0] == k && s[1] == k && s[2] == channels && s[3] == filters);
  if (!ok)
    layer_error(layer, fmt::format("\"weights\" of shape {} do not match ({}, {}, {}, {}).", shape_text(s), k, k,
                                   depthwise ? 1 : channels, depthwise ? channels : filters));
  return int_values(layer, "weights", 0);
}

class ConvRunner : public RunnerOf<ConvRunner> {
 public:
  explicit ConvRunner(const Layer& layer) : RunnerOf(layer), kind_(layer.params()->layer_type()) {
    const Shape in = input_dims3(layer);
    channels_ = in[2];
    const int32_t k = param(layer, "kernel_size", 1);
    const int32_t stride = param(layer, "kernel_stride", 1);
    if (k < 1) layer_error(layer, fmt::format("kernel size {} is not positive.", k));
    const bool depthwise = kind_ == LayerType::DepthwiseConv2D;
    filters_ = depthwise ? channels_ : uint32_t(param(layer, "filters", int32_t(variable_shape(layer, "weights")[3])));
    g_.d0 = in[0];
    g_.d1 = in[1];
    g_.k0 = g_.k1 = uint32_t(k);
    if (const auto* conv = dynamic_cast<const HasConvParams*>(&layer)) {
      // The geometry the hardware recorders program, so both run the same sweep.
      const ConvCalculatedParams& cp = conv->conv_calculated_params();
      g_.s0 = g_.s1 = uint32_t(stride);
      g_.p0 = int32_t(cp.padding.x_before);
      g_.p1 = int32_t(cp.padding.y_before);
      g_.out0 = cp.output_width;
      g_.out1 = cp.output_height;
      try {
        ops::detail::check_sweep("convolution", 0, g_.d0, k, stride, g_.p0, g_.out0, cp.padding.x_after);
        ops::detail::check_sweep("convolution", 1, g_.d1, k, stride, g_.p1, g_.out1, cp.padding.y_after);
      } catch (const std::invalid_argument& e) {
        layer_error(layer, e.what());
      }
    } else {
      try {
        const ImagePatches ip(k, k, stride, stride, static_cast<Padding>(param(layer, "padding", 0)), in);
        g_.s0 = uint32_t(ip.stride0);
        g_.s1 = uint32_t(ip.stride1);
        g_.p0 = ip.pad0_before;
        g_.p1 = ip.pad1_before;
        g_.out0 = ip.out0;
        g_.out1 = ip.out1;
      } catch (const std::invalid_argument& e) {
        layer_error(layer, e.what());
      }
    }
    std::vector<int32_t> weights = conv_weights(layer, uint32_t(k), channels_, filters_, depthwise);
    if (depthwise)
      depthwise_ = share(ops::kernel::pack_depthwise(weights.data(), uint32_t(k), uint32_t(k), channels_));
    else
      packed_ = share(ops::kernel::pack_filters(weights.data(), uint32_t(k), uint32_t(k), channels_, filters_));
    if (kind_ == LayerType::InputConv2D) {
      pad_values_ = int_values(layer, "padding_value", 0);
      if (pad_values_.empty()) pad_values_.assign(channels_, 0);
      if (pad_values_.size() == 1) pad_values_.assign(channels_, pad_values_[0]);
      if (pad_values_.size() != channels_)
        layer_error(layer, fmt::format("\"padding_value\" holds {} values for {} channels.", pad_values_.size(),
                                       channels_));
    } else {
      shifts_ = input_shifts(layer, channels_);
    }
    stage_ = share(OutputStage(layer, filters_));
    pool_ = share(PoolStage(layer, g_.out0, g_.out1));
    check_output(layer, pool_->out0(), pool_->out1(), filters_);
  }

  bool set_predict() override { return predict_ = true; }

  // A standard convolution reads bytes straight from the frame its 8-bit products take, when the
  // processor and its weights take them for any byte.
  std::optional<ByteFrame> input_frame() const override {
    if (kind_ != LayerType::Conv2D || !shifts_.empty() || g_.p0 < 0 || g_.p1 < 0 ||
        ops::kernel::conv_path(*packed_, 0, 255) != ops::kernel::ConvPath::quads)
      return std::nullopt;
    const auto [rows, cols] = ops::kernel::frame_size(g_);
    return ByteFrame{rows, cols, uint32_t(g_.p0), uint32_t(g_.p1), (channels_ + 3) / 4 * 4};
  }
  bool writes_bytes() const override { return !predict_ && stage_->bytes(); }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    const Buffer& x = *in[0];
    const size_t row = size_t(g_.out1) * filters_;
    if (kind_ != LayerType::DepthwiseConv2D && !pool_->active()) {
      // Each group of rows goes through the output stage as soon as the kernel has summed it, while its
      // accumulators are still in the cache, straight into the layer's output.
      const ops::kernel::RowSink sink = [&](size_t first, size_t last, const int32_t* acc) {
        const auto* a = reinterpret_cast<const uint32_t*>(acc);
        if (predict_) {
          float* o = out.floats.data() + first * row;
          for (size_t j = 0; j < (last - first) * row; ++j) {
            const auto c = uint32_t(j % filters_);
            o[j] = stage_->predict(stage_->potential(a[j], c), c);
          }
        } else if (out.frame) {
          for (size_t r = first; r < last; ++r, a += row)
            stage_->outputs(a, g_.out1, out.bytes() + out.frame->at(r, 0), out.frame->width);
        } else {
          stage_->outputs(a, (last - first) * g_.out1, out.ints.data() + first * row);
        }
      };
      if (x.frame && x.frame == input_frame() &&
          ops::kernel::conv2d_bytes(x.bytes(), *packed_, g_, ops::kernel::RowsOut{nullptr, &sink, row}, threads_))
        return;
      const int32_t* xs = shifted_input(x.values(wide_), x.size(), shifts_, channels_, scratch_);
      if (kind_ == LayerType::InputConv2D)
        ops::kernel::input_conv2d(xs, pad_values_.data(), *packed_, g_, padded_, sink, threads_);
      else
        ops::kernel::conv2d(xs, *packed_, g_, sink, threads_);
      return;
    }
    const int32_t* xs = shifted_input(x.values(wide_), x.size(), shifts_, channels_, scratch_);
    // Depthwise convolutions, and pooling, whose windows span rows other threads sum: the whole image first.
    acc_.resize(size_t(g_.out0) * row);
    switch (kind_) {
      case LayerType::InputConv2D:
        ops::kernel::input_conv2d(xs, pad_values_.data(), *packed_, g_, padded_, acc_.data(), threads_);
        break;
      case LayerType::DepthwiseConv2D:
        ops::kernel::depthwise_conv2d(xs, *depthwise_, g_, acc_.data(), threads_);
        break;
      default:
        ops::kernel::conv2d(xs, *packed_, g_, acc_.data(), threads_);
    }
    const size_t positions = size_t(g_.out0) * g_.out1;
    if (predict_) {
      for (size_t i = 0; i < positions; ++i)
        for (uint32_t c = 0; c < filters_; ++c) {
          const size_t j = i * filters_ + c;
          acc_[j] = stage_->potential(uint32_t(acc_[j]), c);
        }
      pool_->pool_predict(acc_.data(), filters_, *stage_, out.floats.data());
      return;
    }
    if (pool_->active()) pre_pool_.resize(acc_.size());
    if (out.frame) pooled_.resize(out.size());
    pool_->pool_outputs(*stage_, reinterpret_cast<const uint32_t*>(acc_.data()), filters_, pre_pool_.data(),
                        out.frame ? pooled_.data() : out.ints.data());
    if (out.frame) out.put_bytes(pooled_.data());
  }

 private:
  LayerType kind_;
  uint32_t channels_ = 0, filters_ = 0;
  ops::kernel::Sweep g_;
  std::vector<int32_t> shifts_, pad_values_;
  Shared<ops::kernel::PackedDepthwise> depthwise_;  // depthwise only
  Shared<ops::kernel::PackedFilters> packed_;        // the other kinds
  Shared<OutputStage> stage_;
  Shared<PoolStage> pool_;
  std::vector<int32_t> acc_, pre_pool_, pooled_, scratch_, padded_, wide_;
  bool predict_ = false;
};

class TransposeRunner : public RunnerOf<TransposeRunner> {
 public:
  explicit TransposeRunner(const Layer& layer) : RunnerOf(layer) {
    const Shape in = input_dims3(layer);
    channels_ = in[2];
    depthwise_ = layer.params()->layer_type() == LayerType::DepthwiseConv2DTranspose;
    const int32_t k = param(layer, "kernel_size", 1);
    if (k < 1) layer_error(layer, fmt::format("kernel size {} is not positive.", k));
    filters_ = depthwise_ ? channels_
                          : uint32_t(param(layer, "filters", int32_t(variable_shape(layer, "weights")[3])));
    // Stride 2: the output doubles both sizes; the kernel overhang (k - 2) is split, the odd unit after.
    constexpr uint32_t stride = 2;
    const int32_t pad = k > int32_t(stride) ? (k - int32_t(stride)) / 2 : 0;
    g_ = ops::kernel::Sweep{in[0], in[1], uint32_t(k), uint32_t(k), stride, stride, pad, pad,
                            stride * in[0], stride * in[1]};
    weights_ = share(conv_weights(layer, uint32_t(k), channels_, filters_, depthwise_));
    shifts_ = input_shifts(layer, channels_);
    stage_ = share(OutputStage(layer, filters_));
    check_output(layer, g_.out0, g_.out1, filters_);
    acc_.resize(size_t(g_.out0) * g_.out1 * filters_);
  }

  bool set_predict() override { return predict_ = true; }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    const int32_t* xs = shifted_input(in[0]->values(wide_), in[0]->size(), shifts_, channels_, scratch_);
    if (depthwise_)
      ops::kernel::depthwise_conv2d_transpose(xs, channels_, weights_->data(), g_, acc_.data());
    else
      ops::kernel::conv2d_transpose(xs, channels_, weights_->data(), filters_, g_, acc_.data());
    const size_t positions = size_t(g_.out0) * g_.out1;
    if (predict_) {
      for (size_t i = 0; i < positions; ++i)
        for (uint32_t c = 0; c < filters_; ++c) {
          const size_t j = i * filters_ + c;
          out.floats[j] = stage_->predict(stage_->potential(uint32_t(acc_[j]), c), c);
        }
      return;
    }
    stage_->outputs(reinterpret_cast<const uint32_t*>(acc_.data()), positions, out.ints.data());
  }

 private:
  bool depthwise_ = false;
  uint32_t channels_ = 0, filters_ = 0;
  ops::kernel::Sweep g_;
  std::vector<int32_t> shifts_;
  Shared<std::vector<int32_t>> weights_;
  Shared<OutputStage> stage_;
  std::vector<int32_t> acc_, scratch_, wide_;
  bool predict_ = false;
};

}  // namespace

std::unique_ptr<Runner> make_conv_runner(const Layer& layer) { return std::make_unique<ConvRunner>(layer); }
std::unique_ptr<Runner> make_transpose_runner(const Layer& layer) {
  return std::make_unique<TransposeRunner>(layer);
}

}  // namespace ovrix::software
