// The nn submodule: one Python function per software tensor operation of the engine (engine/ops.h).
// Each converts its arrays to tensors of a fixed element type (NumPy's forced cast), runs the operation
// and converts the result back. Scalars are range-checked by their declared C++ types, so an
// out-of-range value matches no signature and raises TypeError.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <fmt/format.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "engine/enums.h"
#include "engine/image_patches.h"
#include "engine/ops.h"
#include "python/bindings.h"
#include "python/tensor_conversion.h"

namespace ovrix::python {
namespace {

template <class T>
using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;

using I32 = Array<int32_t>;
using U8 = Array<uint8_t>;
using I8 = Array<int8_t>;
using I16 = Array<int16_t>;
using U16 = Array<uint16_t>;
using F32 = Array<float>;

std::shared_ptr<Dense> i32(const I32& a) { return numpy_to_dense<int32_t>(a, TensorType::int32); }
std::shared_ptr<Dense> u8(const U8& a) { return numpy_to_dense<uint8_t>(a, TensorType::uint8); }
std::shared_ptr<Dense> i8(const I8& a) { return numpy_to_dense<int8_t>(a, TensorType::int8); }
std::shared_ptr<Dense> i16(const I16& a) { return numpy_to_dense<int16_t>(a, TensorType::int16); }
std::shared_ptr<Dense> u16(const U16& a) { return numpy_to_dense<uint16_t>(a, TensorType::uint16); }
std::shared_ptr<Dense> f32(const F32& a) { return numpy_to_dense<float>(a, TensorType::float32); }

py::array out(std::shared_ptr<const Tensor> t) { return tensor_to_numpy(t); }

// The kernel sizes are the first two dimensions of a weight array; fewer dimensions are refused before
// anything is read.
void require_2d(const char* function, const char* what, const py::array& a) {
  if (a.ndim() < 2)
    throw std::invalid_argument(fmt::format("{}: {} must have at least 2 dimensions (kernel sizes first); got {}.",
                                            function, what, a.ndim()));
}

// Spatial sizes of an image shape: dimensions 0 and 1, or 1 and 2 with samples first (4 dimensions).
std::pair<uint32_t, uint32_t> spatial(const Shape& s) {
  if (s.size() == 4) return {s[1], s[2]};
  return {s[0], s.size() >= 2 ? s[1] : 1u};
}

py::array conv2d(const I32& x, const I8& w, uint8_t stride, Padding padding, int32_t n) {
  require_2d("conv2d", "the weights", w);
  const auto k0 = static_cast<int32_t>(w.shape(0));
  const auto k1 = static_cast<int32_t>(w.shape(1));
  auto xt = i32(x);
  auto wt = i8(w);
  const ImagePatches ip(k0, k1, stride, stride, padding, xt->shape());
  return out(ops::conv2d_v2(*xt, ip.stride0, ip.stride1, ip.pad0_before, ip.pad1_before, ip.out0, ip.out1, *wt, n));
}

py::array input_conv2d(const U8& x, const I8& w, uint8_t stride, Padding padding, const U8& t, uint32_t /*unused*/) {
  require_2d("input_conv2d", "the weights", w);
  const auto k0 = static_cast<uint32_t>(w.shape(0));
  const auto k1 = static_cast<uint32_t>(w.shape(1));
  auto xt = u8(x);
  auto wt = i8(w);
  auto tt = u8(t);
  auto filters = ops::linearize_filters(*wt);
  const ImagePatches ip(int32_t(k0), int32_t(k1), stride, stride, padding, xt->shape());
  return out(ops::input_conv2d(*xt, *tt, ip.stride0, ip.stride1, ip.pad1_before, ip.pad1_after, ip.pad0_before,
                               ip.pad0_after, ip.out0, ip.out1, k0, k1, *filters));
}

py::array conv2d_transpose(const I32& x, const I8& w, uint8_t stride) {
  require_2d("conv2d_transpose", "the weights", w);
  require_2d("conv2d_transpose", "the input", x);
  // Kernel sizes beyond a byte would be truncated by the hardware's 8-bit fields: refuse them.
  if (w.shape(0) > 255 || w.shape(1) > 255)
    throw std::invalid_argument(
        fmt::format("conv2d_transpose: kernel sizes above 255 are not supported; got {}x{}.", w.shape(0), w.shape(1)));
  const auto k0 = static_cast<uint8_t>(w.shape(0));
  const auto k1 = static_cast<uint8_t>(w.shape(1));
  auto xt = i32(x);
  auto wt = i8(w);
  const auto [x0, x1] = spatial(xt->shape());
  const uint64_t o0 = uint64_t{stride} * x0, o1 = uint64_t{stride} * x1;
  if (o0 > std::numeric_limits<uint32_t>::max() || o1 > std::numeric_limits<uint32_t>::max())
    throw std::invalid_argument("conv2d_transpose: the output would exceed 4294967295 along an axis.");
  const int32_t pad0 = k0 < stride ? 0 : (k0 - stride) / 2;
  const int32_t pad1 = k1 < stride ? 0 : (k1 - stride) / 2;
  return out(ops::conv2d_transpose(*xt, *wt, stride, pad0, pad1, uint32_t(o0), uint32_t(o1)));
}

py::array depthwise_conv2d(const I32& x, const I8& w, uint8_t stride) {
  require_2d("depthwise_conv2d", "the weights", w);
  const auto k0 = static_cast<int32_t>(w.shape(0));
  const auto k1 = static_cast<int32_t>(w.shape(1));
  auto xt = i32(x);
  auto wt = i8(w);
  const ImagePatches ip(k0, k1, stride, stride, Padding::Same, xt->shape());
  return out(ops::depthwise_conv2d(*xt, ip.stride0, ip.stride1, ip.pad0_before, ip.pad1_before, ip.out0, ip.out1, *wt));
}

py::array max_pooling(const I32& x, uint8_t k0, int8_t k1, int8_t s0, uint8_t s1, Padding padding, int32_t n) {
  std::shared_ptr<const Dense> xt = i32(x);
  const ImagePatches ip(k0, k1, s0, s1, padding, xt->shape());
  return out(ops::max_pooling(xt, static_cast<int8_t>(k0), k1, false, ip.out0, ip.out1, ip.stride0, ip.stride1,
                              ip.pad1_before, ip.pad1_after, ip.pad0_before, ip.pad0_after, n));
}

py::array scale_out(const I32& a, const py::array& s, const I8& c, int32_t n, int32_t m) {
  auto at = i32(a);
  const bool wide = s.dtype().equal(py::dtype::of<uint16_t>());
  auto st = wide ? numpy_to_dense<uint16_t>(s, TensorType::uint16) : numpy_to_dense<uint8_t>(s, TensorType::uint8);
  auto ct = i8(c);
  return out(ops::scale_out(*at, *st, *ct, n, m));
}

py::array fifo_op(const I8& q, const I8& v) {
  // The tensor is a copy: the caller's array is left as it was.
  auto qt = i8(q);
  auto vt = i8(v);
  ops::fifo_op(*qt, *vt);
  return out(qt);
}

py::tuple stateful_main_op(const I32& a, const I8& b, const I32& c, const I32& d, const I16& e, const I16& f,
                           int32_t n, int32_t m) {
  auto at = i32(a);
  auto bt = i8(b);
  auto ct = i32(c);  // copies: what the operation writes into them stays here
  auto dt = i32(d);
  auto et = i16(e);
  auto ft = i16(f);
  auto [first, second] = ops::update_internal_state(*at, *bt, *ct, *dt, *et, *ft, n, m);
  return py::make_tuple(out(std::move(first)), out(std::move(second)));
}

}  // namespace

void init_ops(py::module_& m) {
  auto nn = m.def_submodule(
      "nn", "Ovrix Neural Network software internal functions. These are meant for testing, debugging and validation only.");
  py::options options;
  options.disable_function_signatures();

  nn.def("lshift", [](const I32& a, const U8& b, int32_t n) { return out(ops::lshift(*i32(a), *u8(b), n)); });
  nn.def("shift", [](const I32& a, const I8& b, int32_t n) { return out(ops::shift(*i32(a), *i8(b), n)); });
  nn.def("shift_out", [](const I32& a, const I8& b, int32_t n) { return out(ops::shift_out(*i32(a), *i8(b), n)); });
  nn.def("matmul",
         [](const I32& a, const I32& b, int32_t n, bool f) { return out(ops::matmul(*i32(a), *i32(b), n, f)); });
  nn.def("add", [](const I32& a, const I32& b, int32_t n) { return out(ops::add(*i32(a), *i32(b), n)); });
  nn.def("concatenate", [](const I32& a, const I32& b) {
    std::vector<std::shared_ptr<const Dense>> list{i32(a), i32(b)};
    return out(ops::concatenate_last_dim(list));
  });
  nn.def("scale_out", &scale_out);
  nn.def("conv2d", &conv2d);
  nn.def("input_conv2d", &input_conv2d);
  nn.def("conv2d_transpose", &conv2d_transpose);
  nn.def("dequantize", [](const I32& a, const F32& s) { return out(ops::dequantize(*i32(a), *f32(s))); });
  nn.def("depthwise_conv2d", &depthwise_conv2d);
  nn.def("relu_activation", [](const I32& a, const I32& b) { return out(ops::relu_activation(*i32(a), *i32(b))); });
  nn.def("look_up", [](const I32& a, const I32& b) { return out(ops::look_up(*i32(a), *i32(b))); });
  nn.def("global_average_pooling", [](const I32& a, int32_t n) {
    std::shared_ptr<const Dense> at = i32(a);
    return out(ops::global_average_pooling(at, n));
  });
  nn.def("max_pooling", &max_pooling);
  nn.def("fifo_op", &fifo_op);
  nn.def("depth_conv_like_op",
         [](const I32& a, const I8& b, int32_t n) { return out(ops::depthwise_like_conv(*i32(a), *i8(b), n)); });
  nn.def("stateful_main_op", &stateful_main_op);
  nn.def("subsampling_op", [](const I32& a, uint8_t k) { return out(ops::subsampling(*i32(a), k)); });
  nn.def("lumopostprocessing_op", [](const I16& a, const I16& b, const U16& c, int32_t n, bool f) {
    return out(ops::lumo_post_processing(*i16(a), *i16(b), *u16(c), n, f));
  });
}

}  // namespace ovrix::python
