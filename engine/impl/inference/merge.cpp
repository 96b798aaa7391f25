// Merge layers in software: Add (aligned by per-channel shifts, then the output shift) and Concatenate.
#include <fmt/format.h>

#include "engine/impl/inference/runner.h"
#include "engine/impl/ops/dense_util.h"

namespace ovrix::software {
namespace {

using ops::detail::shape_text;

void check_inputs(const Layer& layer, size_t count) {
  if (layer.inbound_layers().size() != count)
    layer_error(layer, fmt::format("needs {} inbound layers; it has {}.", count, layer.inbound_layers().size()));
}

// Add: with a and b the input shifts and o the output shift of a channel, the input with the smaller
// shift is shifted right (toward minus infinity) by |a - b| and added to the other; the sum is shifted by
// max(a, b) + o (rounding half up), then clamped to the output range. This is (A 2^a + B 2^b) 2^o, the
// merge the hardware performs.
class AddRunner : public RunnerOf<AddRunner> {
 public:
  explicit AddRunner(const Layer& layer) : RunnerOf(layer) {
    check_inputs(layer, 2);
    dims_ = output_dims3(layer);
    for (const auto& in : layer.inbound_layers()) {
      const Shape d = output_dims3(*in);
      if (!(d == dims_))
        layer_error(layer, fmt::format("inbound layer '{}' gives {}; {} expected.", in->get_name(), shape_text(d),
                                       shape_text(dims_)));
    }
    const uint32_t channels = dims_[2];
    a_ = shift_values(layer, "a_shift", channels);
    b_ = shift_values(layer, "b_shift", channels);
    o_ = shift_values(layer, "output_shift", channels);
    for (auto* v : {&a_, &b_, &o_})
      if (v->empty()) v->assign(channels, 0);
    range_ = arith::output_range(layer.output_bits(), layer.output_signed());
  }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    const std::vector<int32_t>& A = in[0]->ints;
    const std::vector<int32_t>& B = in[1]->ints;
    const uint32_t channels = dims_[2];
    for (size_t base = 0; base < A.size(); base += channels)
      for (uint32_t c = 0; c < channels; ++c) {
        const int32_t a = a_[c], b = b_[c];
        const int64_t t = a <= b ? arith::shift_right_floor(A[base + c], b - a) + B[base + c]
                                 : A[base + c] + arith::shift_right_floor(B[base + c], a - b);
        out.ints[base + c] = static_cast<int32_t>(arith::clamp(arith::shift_round(t, std::max(a, b) + o_[c]), range_));
      }
  }

 private:
  Shape dims_;
  std::vector<int32_t> a_, b_, o_;
  arith::Range range_;
};

// Concatenate: the channels of the first input, then those of the second.
class ConcatenateRunner : public RunnerOf<ConcatenateRunner> {
 public:
  explicit ConcatenateRunner(const Layer& layer) : RunnerOf(layer) {
    check_inputs(layer, 2);
    const Shape a = output_dims3(*layer.inbound_layers()[0]);
    const Shape b = output_dims3(*layer.inbound_layers()[1]);
    const Shape out = output_dims3(layer);
    if (!(a[0] == b[0] && a[1] == b[1] && out == Shape{a[0], a[1], a[2] + b[2]}))
      layer_error(layer, fmt::format("cannot concatenate {} and {} into {}.", shape_text(a), shape_text(b),
                                     shape_text(out)));
    ca_ = a[2];
    cb_ = b[2];
  }

  void run(const std::vector<const Buffer*>& in, Buffer& out) override {
    const int32_t* a = in[0]->ints.data();
    const int32_t* b = in[1]->ints.data();
    int32_t* o = out.ints.data();
    const size_t positions = in[0]->ints.size() / ca_;
    for (size_t p = 0; p < positions; ++p) {
      o = std::copy(a + p * ca_, a + (p + 1) * ca_, o);
      o = std::copy(b + p * cb_, b + (p + 1) * cb_, o);
    }
  }

 private:
  uint32_t ca_ = 0, cb_ = 0;
};

}  // namespace

std::unique_ptr<Runner> make_add_runner(const Layer& layer) { return std::make_unique<AddRunner>(layer); }
std::unique_ptr<Runner> make_concatenate_runner(const Layer& layer) {
  return std::make_unique<ConcatenateRunner>(layer);
}

}  // namespace ovrix::software
