// Temporal family: the input FIFO of the buffered temporal convolutions and their depthwise product.
#include <fmt/format.h>

#include <cstring>

#include "engine/impl/ops/arith.h"
#include "engine/impl/ops/dense_util.h"
#include "engine/ops.h"

namespace ovrix::ops {

void fifo_op(Dense& q, const Dense& v) {
  constexpr const char* op = "fifo_op";
  const Shape qs = q.shape();
  if (qs.size() == 0) detail::fail(fmt::format("{}: the FIFO has no dimensions.", op));
  detail::View<int8_t> vv(v);
  std::unique_ptr<Dense> work = detail::to_row_major(q);  // also checks q's element type
  int8_t* data = work->mutable_data_as<int8_t>();
  const size_t frames = qs[0];
  const size_t frame = q.size() / frames;
  if (vv.size() != frame)
    detail::fail(fmt::format("{}: a frame of the FIFO {} holds {} values; got {}.", op, detail::shape_text(qs), frame,
                             vv.size()));
  std::memmove(data + frame, data, (frames - 1) * frame);
  std::memcpy(data, vv.data(), frame);
  detail::assign_row_major(q, *work);
}

std::unique_ptr<Dense> depthwise_like_conv(const Dense& a, const Dense& b, int32_t n) {
  constexpr const char* op = "depthwise_like_conv";
  detail::check_bits(op, n);
  detail::View<int32_t> av(a);
  detail::View<int8_t> bv(b);
  const size_t T = av.dim(0);
  const size_t rest = av.size() / T;
  const size_t C = av.rank() >= 2 ? av.last() : 1;
  if (bv.size() != T * C)
    detail::fail(fmt::format("{}: {} taps over {} channels need {} weights; got {}.", op, T, C, T * C, bv.size()));
  Shape shape;
  if (av.rank() == 1) {
    shape = Shape{1};
  } else {
    shape.count = av.rank() - 1;
    for (size_t d = 1; d < av.rank(); ++d) shape[d - 1] = av.dim(d);
  }
  std::vector<uint32_t> acc(rest, 0u);
  for (size_t t = 0; t < T; ++t) {
    const int32_t* frame = av.data() + t * rest;
    const int8_t* taps = bv.data() + t * C;
    for (size_t base = 0; base < rest; base += C)
      for (size_t c = 0; c < C; ++c) acc[base + c] = arith::mac(acc[base + c], frame[base + c], taps[c]);
  }
  auto out = detail::make(TensorType::int32, shape);
  int32_t* o = out->mutable_data_as<int32_t>();
  const arith::Range r = arith::signed_range(n);
  for (size_t i = 0; i < rest; ++i) o[i] = static_cast<int32_t>(arith::clamp(arith::as_signed(acc[i]), r));
  return out;
}

}  // namespace ovrix::ops
