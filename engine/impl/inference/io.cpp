// Input, quantization and dequantization layers in software.
#include <fmt/format.h>

#include <algorithm>

#include <cmath>

#include "engine/impl/inference/runner.h"
#include "engine/impl/ops/dense_util.h"

namespace ovrix::software {
namespace {

using ops::detail::shape_text;

// InputData: passes its input on; float input that only Quantizers read passes unchanged. The values
// it reads were checked against its bits and sign before the run (check_input).
class InputRunner : public RunnerOf<InputRunner> {
 public:
  explicit InputRunner(const Layer& layer) : RunnerOf(layer) { (void)input_values(layer); }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    if (in[0]->is_float) {  // float input on its way to a Quantizer
      out.floats = in[0]->floats;
      return;
    }
    out.ints = in[0]->ints;
  }
};

}  // namespace

InputValues input_values(const Layer& layer) {
  InputValues values;
  values.bits = param(layer, "input_bits", layer.input_bits());
  values.is_signed = param(layer, "input_signed", 0) != 0;
  if (values.bits < 1 || values.bits > 32) layer_error(layer, fmt::format("input bits {} are out of range.", values.bits));
  values.range = arith::output_range(values.bits, values.is_signed);
  return values;
}

namespace {

// Channel index of element i of a (d0, d1, d2) sample: the last axis, or the first when channels come
// first.
struct ChannelAxis {
  bool first = false;
  size_t inner = 1;  // d1 x d2 when first
  size_t count = 1;
  size_t of(size_t i) const { return first ? i / inner : i % count; }
};

ChannelAxis channel_axis(const Shape& dims, bool first) {
  ChannelAxis a;
  a.first = first;
  a.inner = size_t(dims[1]) * dims[2];
  a.count = first ? dims[0] : dims[2];
  return a;
}

template <class T>
std::vector<T> per_channel(const Layer& layer, std::vector<T> v, size_t channels, const char* name) {
  if (v.size() == 1) v.assign(channels, v[0]);
  if (v.size() != channels)
    layer_error(layer, fmt::format("variable \"{}\" holds {} values for {} channels.", name, v.size(), channels));
  return v;
}

// Quantizer: q = round_half_even(x / scale) + zero_point, clamped to the output range.
class QuantizerRunner : public RunnerOf<QuantizerRunner> {
 public:
  explicit QuantizerRunner(const Layer& layer) : RunnerOf(layer) {
    const Shape in = input_dims3(layer);
    axis_ = channel_axis(in, param(layer, "channels_first", 0) != 0);
    scales_ = per_channel(layer, float_values(layer, "scales", 0), axis_.count, "scales");
    // x / 0 or x / NaN has no quantized value (0 / 0 is NaN, whose conversion to an integer is undefined).
    for (const float scale : scales_)
      if (!std::isfinite(scale) || scale == 0.0f)
        layer_error(layer, fmt::format("its scale {} cannot quantize: scales must be finite and non-zero.", scale));
    std::vector<int32_t> zp = int_values(layer, "zero_points", 0);
    zero_points_ = zp.empty() ? std::vector<int32_t>(axis_.count, 0) : per_channel(layer, zp, axis_.count, "zero_points");
    range_ = arith::output_range(layer.output_bits(), layer.output_signed());
    if (!(output_dims3(layer) == in))
      layer_error(layer, fmt::format("its output dimensions {} differ from its input {}.",
                                     shape_text(output_dims3(layer)), shape_text(in)));
  }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    const Buffer& x = *in[0];
    const size_t n = x.size();
    for (size_t i = 0; i < n; ++i) {
      const size_t c = axis_.of(i);
      const float v = x.is_float ? x.floats[i] : static_cast<float>(x.ints[i]);
      if (std::isnan(v)) layer_error(layer_, "cannot quantize NaN.");
      const double q = std::nearbyint(static_cast<double>(v / scales_[c])) + zero_points_[c];
      out.ints[i] = static_cast<int32_t>(std::clamp(q, double(range_.lo), double(range_.hi)));
    }
  }

 private:
  ChannelAxis axis_;
  std::vector<float> scales_;
  std::vector<int32_t> zero_points_;
  arith::Range range_;
};

// Dequantizer: float32(x) x scale, per channel of the last axis.
class DequantizerRunner : public RunnerOf<DequantizerRunner> {
 public:
  explicit DequantizerRunner(const Layer& layer) : RunnerOf(layer) {
    const Shape in = input_dims3(layer);
    axis_ = channel_axis(in, false);
    scales_ = per_channel(layer, float_values(layer, "scales", 0), axis_.count, "scales");
  }

  bool set_predict() override { return true; }  // its output is already a float

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    if (in[0]->is_float) {  // float input on its way to a Quantizer
      out.floats = in[0]->floats;
      return;
    }
    const std::vector<int32_t>& x = in[0]->ints;
    for (size_t i = 0; i < x.size(); ++i) out.floats[i] = static_cast<float>(x[i]) * scales_[axis_.of(i)];
  }

 private:
  ChannelAxis axis_;
  std::vector<float> scales_;
};

}  // namespace

std::unique_ptr<Runner> make_input_runner(const Layer& layer) { return std::make_unique<InputRunner>(layer); }
std::unique_ptr<Runner> make_quantizer_runner(const Layer& layer) { return std::make_unique<QuantizerRunner>(layer); }
std::unique_ptr<Runner> make_dequantizer_runner(const Layer& layer) {
  return std::make_unique<DequantizerRunner>(layer);
}

}  // namespace ovrix::software
