#include "engine/impl/ops/dense_util.h"

#include <fmt/format.h>

#include <cstring>

namespace ovrix::ops::detail {

std::string shape_text(const Shape& shape) {
  return fmt::format("({})", fmt::join(shape.dims.begin(), shape.dims.begin() + shape.size(), ", "));
}

std::unique_ptr<Dense> to_row_major(const Dense& tensor) {
  const Shape shape = tensor.shape();
  auto out = Dense::create(tensor.type(), shape, Dense::Layout::RowMajor);
  const size_t esize = element_size(tensor.type());
  const std::vector<uint32_t> strides = tensor.strides();
  const auto src = tensor.data();
  auto dst = out->mutable_data();
  const size_t rank = shape.size();
  std::vector<uint32_t> index(rank, 0);
  for (size_t i = 0; i < tensor.size(); ++i) {
    size_t offset = 0;
    for (size_t d = 0; d < rank; ++d) offset += size_t(index[d]) * strides[d];
    std::memcpy(dst.data() + i * esize, src.data() + offset * esize, esize);
    for (size_t d = rank; d-- > 0;) {  // row-major increment
      if (++index[d] < shape[d]) break;
      index[d] = 0;
    }
  }
  return out;
}

void assign_row_major(Dense& tensor, const Dense& row_major) {
  const size_t esize = element_size(tensor.type());
  auto dst = tensor.mutable_data();
  const auto src = row_major.data();
  if (tensor.layout() == 0) {
    std::memcpy(dst.data(), src.data(), tensor.size() * esize);
    return;
  }
  const Shape shape = tensor.shape();
  const std::vector<uint32_t> strides = tensor.strides();
  const size_t rank = shape.size();
  std::vector<uint32_t> index(rank, 0);
  for (size_t i = 0; i < tensor.size(); ++i) {
    size_t offset = 0;
    for (size_t d = 0; d < rank; ++d) offset += size_t(index[d]) * strides[d];
    std::memcpy(dst.data() + offset * esize, src.data() + i * esize, esize);
    for (size_t d = rank; d-- > 0;) {
      if (++index[d] < shape[d]) break;
      index[d] = 0;
    }
  }
}

std::unique_ptr<Dense> make(TensorType type, const Shape& shape) {
  return Dense::create(type, shape, Dense::Layout::RowMajor);
}

void check_bits(const char* op, int32_t bits) {
  if (bits < 1 || bits > 32) fail(fmt::format("{}: the bit width must be between 1 and 32 (got {}).", op, bits));
}

size_t broadcast_period(const char* op, const char* name, size_t count, const Shape& shape) {
  const size_t total = shape.elements();
  const size_t last = shape.size() ? shape[shape.size() - 1] : 1;
  if (count == 1) return 1;
  if (count == last) return last;
  if (count == total) return total;
  fail(fmt::format("{}: {} has {} elements; expected 1, {} (one per channel) or {} for a tensor of shape {}.", op,
                   name, count, last, total, shape_text(shape)));
}

void fail(const std::string& message) { throw std::invalid_argument(message); }

Image image_of(const char* op, const char* name, const Shape& shape) {
  Image im;
  im.rank = shape.size();
  switch (shape.size()) {
    case 2: im.d0 = shape[0]; im.d1 = shape[1]; break;
    case 3: im.d0 = shape[0]; im.d1 = shape[1]; im.channels = shape[2]; break;
    case 4: im.samples = shape[0]; im.d0 = shape[1]; im.d1 = shape[2]; im.channels = shape[3]; break;
    default:
      fail(fmt::format("{}: {} must have 2 to 4 dimensions ((d0, d1), (d0, d1, C) or (N, d0, d1, C)); got shape {}.",
                       op, name, shape_text(shape)));
  }
  return im;
}

Shape image_result(const Image& in, uint32_t out0, uint32_t out1, uint32_t channels) {
  if (in.rank == 4) return Shape{in.samples, out0, out1, channels};
  return Shape{out0, out1, channels};
}

void check_sweep(const char* op, int axis, uint32_t n, int64_t kernel, int64_t stride, int64_t pad_before,
                 int64_t out, int64_t pad_after) {
  if (stride < 1) fail(fmt::format("{}: the stride along axis {} must be positive (got {}).", op, axis, stride));
  if (kernel < 1) fail(fmt::format("{}: the kernel size along axis {} must be positive (got {}).", op, axis, kernel));
  if (out < 1) fail(fmt::format("{}: the output size along axis {} must be positive (got {}).", op, axis, out));
  if (pad_before < 0 || pad_after < -1)
    fail(fmt::format("{}: paddings along axis {} cannot be negative.", op, axis));
  const bool first_ok = pad_before < kernel;
  const bool last_ok = (out - 1) * stride - pad_before < int64_t{n};
  const bool end_ok = pad_after < 0 || (out - 1) * stride + kernel <= int64_t{n} + pad_before + pad_after;
  if (!first_ok || !last_ok || !end_ok)
    fail(fmt::format("{}: an output of {} along axis {} does not fit an input of {} with kernel {}, stride {} and "
                     "padding {} before{}.",
                     op, out, axis, n, kernel, stride, pad_before,
                     pad_after < 0 ? std::string() : fmt::format(" and {} after", pad_after)));
}

void kernel_dims(const char* op, const Shape& w, uint32_t* k0, uint32_t* k1) {
  if (w.size() < 2)
    fail(fmt::format("{}: weights must have at least 2 dimensions (kernel sizes first); got shape {}.", op,
                     shape_text(w)));
  *k0 = w[0];
  *k1 = w[1];
}

}  // namespace ovrix::ops::detail
