// Recurrent family: the state update of the stateful recurrent layers, time subsampling and the
// post-processing of their outputs.
#include <fmt/format.h>

#include "engine/impl/ops/arith.h"
#include "engine/impl/ops/dense_util.h"
#include "engine/ops.h"

namespace ovrix::ops {

std::pair<std::unique_ptr<Dense>, std::unique_ptr<Dense>> update_internal_state(const Dense& a, const Dense& b,
                                                                                Dense& c, Dense& d,
                                                                                const Dense& e, const Dense& f,
                                                                                int32_t n, int32_t m) {
  constexpr const char* op = "update_internal_state";
  if (n < 0 || n > 62) detail::fail(fmt::format("{}: the decay shift must be between 0 and 62 (got {}).", op, n));
  if (m < -63 || m > 63) detail::fail(fmt::format("{}: the input shift must be between -63 and 63 (got {}).", op, m));
  detail::View<int32_t> av(a);
  detail::View<int8_t> bv(b);
  detail::View<int32_t> cv(c);
  detail::View<int32_t> dv(d);
  detail::View<int16_t> ev(e);
  detail::View<int16_t> fv(f);
  if (bv.rank() != 2)
    detail::fail(fmt::format("{}: the projection must be (R, K); got shape {}.", op, detail::shape_text(bv.shape())));
  const size_t R = bv.dim(0), K = bv.dim(1);
  if (av.size() != K) detail::fail(fmt::format("{}: the projection takes {} inputs; got {}.", op, K, av.size()));
  for (const auto* v : {&cv.shape(), &dv.shape(), &ev.shape(), &fv.shape()})
    if (v->elements() != R)
      detail::fail(fmt::format("{}: state and decay tensors must hold {} values; got shape {}.", op, R,
                               detail::shape_text(*v)));
  auto re = detail::make(TensorType::int32, Shape{static_cast<uint32_t>(R)});
  auto im = detail::make(TensorType::int32, Shape{static_cast<uint32_t>(R)});
  int32_t* ro = re->mutable_data_as<int32_t>();
  int32_t* io = im->mutable_data_as<int32_t>();
  for (size_t r = 0; r < R; ++r) {
    uint32_t u = 0;
    for (size_t k = 0; k < K; ++k) u = arith::mac(u, bv[r * K + k], av[k]);
    // The kernel's input term has scale 1 and the shift m on every channel; the layers give each
    // channel its own.
    const arith::ComplexState s = arith::state_update({cv[r], dv[r]}, ev[r], fv[r], arith::as_signed(u), 1, m, n);
    ro[r] = s.re;
    io[r] = s.im;
  }
  detail::assign_row_major(c, *re);
  detail::assign_row_major(d, *im);
  return {std::move(re), std::move(im)};
}

std::unique_ptr<Dense> subsampling(const Dense& a, uint8_t k) {
  constexpr const char* op = "subsampling";
  if (k == 0) detail::fail(fmt::format("{}: the subsampling factor must be positive.", op));
  detail::View<int32_t> av(a);
  const size_t axis = av.rank() >= 2 ? av.rank() - 2 : 0;
  const size_t T = av.dim(axis);
  size_t outer = 1, inner = 1;
  for (size_t d = 0; d < axis; ++d) outer *= av.dim(d);
  for (size_t d = axis + 1; d < av.rank(); ++d) inner *= av.dim(d);
  const size_t kept = (T + k - 1) / k;
  Shape shape = av.shape();
  shape[axis] = static_cast<uint32_t>(kept);
  auto out = detail::make(TensorType::int32, shape);
  int32_t* o = out->mutable_data_as<int32_t>();
  for (size_t i = 0; i < outer; ++i)
    for (size_t t = 0; t < T; t += k) {
      const int32_t* src = av.data() + (i * T + t) * inner;
      o = std::copy(src, src + inner, o);
    }
  return out;
}

std::unique_ptr<Dense> lumo_post_processing(const Dense& a, const Dense& b, const Dense& c, int32_t n,
                                            bool binary) {
  constexpr const char* op = "lumo_post_processing";
  if (n < -63 || n > 63) detail::fail(fmt::format("{}: the shift must be between -63 and 63 (got {}).", op, n));
  detail::View<int16_t> av(a);
  detail::View<int16_t> bv(b);
  detail::View<uint16_t> cv(c);
  const size_t pb = detail::broadcast_period(op, "the scale", bv.size(), av.shape());
  const size_t pc = detail::broadcast_period(op, "the threshold", cv.size(), av.shape());
  auto out = detail::make(TensorType::int16, av.shape());
  int16_t* o = out->mutable_data_as<int16_t>();
  for (size_t i = 0; i < av.size(); ++i) {
    o[i] = static_cast<int16_t>(
        arith::post_process(av[i], bv[pb == 1 ? 0 : i % pb], n, cv[pc == 1 ? 0 : i % pc], binary));
  }
  return out;
}

}  // namespace ovrix::ops
