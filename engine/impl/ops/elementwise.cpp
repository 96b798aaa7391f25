// Element-wise family: shifts, sums, output scaling, activations, dequantization and concatenation.
#include <fmt/format.h>

#include "engine/impl/ops/arith.h"
#include "engine/impl/ops/dense_util.h"
#include "engine/ops.h"

namespace ovrix::ops {
namespace {

using detail::fail;

// Calls f(i, j) for every element i of a tensor of `total` elements, j being the index of the broadcast
// operand (see detail::broadcast_period).
template <class F>
void broadcast(size_t total, size_t period, F f) {
  if (period == 1) {
    for (size_t i = 0; i < total; ++i) f(i, 0);
  } else if (period == total) {
    for (size_t i = 0; i < total; ++i) f(i, i);
  } else {
    for (size_t base = 0; base < total; base += period)
      for (size_t j = 0; j < period; ++j) f(base + j, j);
  }
}

// Shared body of the three shifts: out = sat_n(shift_fn(a, b)).
template <class B, class Shift>
std::unique_ptr<Dense> shift_body(const char* op, const Dense& a, const Dense& b, int32_t n, Shift shift_fn) {
  detail::check_bits(op, n);
  detail::View<int32_t> av(a);
  detail::View<B> bv(b);
  const size_t period = detail::broadcast_period(op, "the shift", bv.size(), av.shape());
  auto out = detail::make(TensorType::int32, av.shape());
  int32_t* o = out->mutable_data_as<int32_t>();
  const arith::Range r = arith::signed_range(n);
  broadcast(av.size(), period, [&](size_t i, size_t j) {
    o[i] = static_cast<int32_t>(arith::clamp(shift_fn(av[i], int{bv[j]}), r));
  });
  return out;
}

}  // namespace

std::unique_ptr<Dense> lshift(const Dense& a, const Dense& b, int32_t n) {
  return shift_body<uint8_t>("lshift", a, b, n, [](int64_t v, int s) { return arith::shift_left_sat(v, s); });
}

std::unique_ptr<Dense> shift(const Dense& a, const Dense& b, int32_t n) {
  return shift_body<int8_t>("shift", a, b, n, [](int64_t v, int s) { return arith::shift_floor(v, s); });
}

std::unique_ptr<Dense> shift_out(const Dense& a, const Dense& b, int32_t n) {
  return shift_body<int8_t>("shift_out", a, b, n, [](int64_t v, int s) { return arith::shift_round(v, s); });
}

std::unique_ptr<Dense> add(const Dense& a, const Dense& b, int32_t n) {
  constexpr const char* op = "add";
  detail::check_bits(op, n);
  detail::View<int32_t> av(a);
  detail::View<int32_t> bv(b);
  const size_t period = detail::broadcast_period(op, "the second operand", bv.size(), av.shape());
  auto out = detail::make(TensorType::int32, av.shape());
  int32_t* o = out->mutable_data_as<int32_t>();
  const arith::Range r = arith::signed_range(n);
  broadcast(av.size(), period, [&](size_t i, size_t j) {
    o[i] = static_cast<int32_t>(arith::clamp(int64_t{av[i]} + bv[j], r));
  });
  return out;
}

std::unique_ptr<Dense> concatenate_last_dim(const std::vector<std::shared_ptr<const Dense>>& tensors) {
  constexpr const char* op = "concatenate_last_dim";
  if (tensors.empty()) fail(fmt::format("{}: nothing to concatenate.", op));
  std::vector<detail::View<int32_t>> views;
  views.reserve(tensors.size());
  for (const auto& t : tensors) {
    if (!t) fail(fmt::format("{}: null tensor.", op));
    views.emplace_back(*t);
  }
  const Shape& first = views.front().shape();
  uint64_t last = 0;
  for (const auto& v : views) {
    bool same = v.rank() == first.size();
    for (size_t d = 0; same && d + 1 < first.size(); ++d) same = v.dim(d) == first[d];
    if (!same)
      fail(fmt::format("{}: shapes {} and {} differ before the last dimension.", op, detail::shape_text(first),
                       detail::shape_text(v.shape())));
    last += v.last();
  }
  Shape shape = first;
  shape[shape.size() - 1] = static_cast<uint32_t>(last);
  auto out = detail::make(TensorType::int32, shape);
  int32_t* o = out->mutable_data_as<int32_t>();
  const size_t rows = first.elements() / first[first.size() - 1];
  for (size_t r = 0; r < rows; ++r) {
    for (const auto& v : views) {
      const int32_t* src = v.data() + r * v.last();
      o = std::copy(src, src + v.last(), o);
    }
  }
  return out;
}

std::unique_ptr<Dense> scale_out(const Dense& a, const Dense& s, const Dense& c, int32_t n, int32_t m) {
  constexpr const char* op = "scale_out";
  detail::check_bits(op, n);
  detail::View<int32_t> av(a);
  detail::View<int8_t> cv(c);
  const size_t pc = detail::broadcast_period(op, "the shift", cv.size(), av.shape());
  auto out = detail::make(TensorType::int32, av.shape());
  int32_t* o = out->mutable_data_as<int32_t>();
  const arith::Range r = arith::output_range(n, m != 0);
  auto run = [&](auto scales) {
    const size_t ps = detail::broadcast_period(op, "the scale", scales.size(), av.shape());
    for (size_t i = 0; i < av.size(); ++i) {
      const size_t js = ps == 1 ? 0 : i % ps;
      const size_t jc = pc == 1 ? 0 : i % pc;
      o[i] = static_cast<int32_t>(arith::clamp(arith::scale_shift(av[i], scales[js], cv[jc]), r));
    }
  };
  if (s.type() == TensorType::uint16)
    run(detail::View<uint16_t>(s));
  else
    run(detail::View<uint8_t>(s));
  return out;
}

std::unique_ptr<Dense> dequantize(const Dense& a, const Dense& s) {
  detail::View<int32_t> av(a);
  detail::View<float> sv(s);
  const size_t period = detail::broadcast_period("dequantize", "the scale", sv.size(), av.shape());
  auto out = detail::make(TensorType::float32, av.shape());
  float* o = out->mutable_data_as<float>();
  broadcast(av.size(), period, [&](size_t i, size_t j) { o[i] = static_cast<float>(av[i]) * sv[j]; });
  return out;
}

std::unique_ptr<Dense> relu_activation(const Dense& a, const Dense& b) {
  constexpr const char* op = "relu_activation";
  detail::View<int32_t> av(a);
  detail::View<int32_t> bv(b);
  const size_t period = detail::broadcast_period(op, "the maximum", bv.size(), av.shape());
  for (size_t j = 0; j < bv.size(); ++j)
    if (bv[j] < 0) fail(fmt::format("{}: the maximum {} of channel {} is negative.", op, bv[j], j));
  auto out = detail::make(TensorType::int32, av.shape());
  int32_t* o = out->mutable_data_as<int32_t>();
  broadcast(av.size(), period, [&](size_t i, size_t j) { o[i] = arith::relu(av[i], bv[j]); });
  return out;
}

std::unique_ptr<Dense> look_up(const Dense& a, const Dense& b) {
  constexpr const char* op = "look_up";
  detail::View<int32_t> av(a);
  detail::View<int32_t> bv(b);
  if (bv.size() != arith::kLutEntries && bv.size() != arith::kLutEntries + 1)
    fail(fmt::format("{}: a lookup table has {} entries (or {}); got {}.", op, arith::kLutEntries,
                     arith::kLutEntries + 1, bv.size()));
  auto out = detail::make(TensorType::int32, av.shape());
  int32_t* o = out->mutable_data_as<int32_t>();
  for (size_t i = 0; i < av.size(); ++i) o[i] = bv[arith::lut_index(av[i])];
  return out;
}

}  // namespace ovrix::ops
