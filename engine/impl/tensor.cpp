#include "engine/tensor.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include <sys/mman.h>

#include "mapping/host_hooks.h"

namespace ovrix {

namespace {
constexpr uint64_t max_shape_elements = std::numeric_limits<uint32_t>::max();

// Asks for transparent huge pages over the 2 MiB-aligned part of a large buffer (as NumPy does for its
// arrays): with 4 KiB pages the first-touch faults cost about three times the copy into a new tensor.
// Only a hint; refusals are ignored.
void request_huge_pages(void* p, size_t nbytes) {
  constexpr uintptr_t huge_page = uintptr_t(2) << 20;
  if (nbytes < 2 * huge_page) return;
  const auto begin = (reinterpret_cast<uintptr_t>(p) + huge_page - 1) & ~(huge_page - 1);
  const auto end = (reinterpret_cast<uintptr_t>(p) + nbytes) & ~(huge_page - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}
}

Shape::Shape(std::initializer_list<uint32_t> d) {
  if (d.size() > max_dims) {
    throw std::invalid_argument(fmt::format("A shape has at most 4 dimensions (got {}).", d.size()));
  }
  count = d.size();
  size_t i = 0;
  for (uint32_t v : d) dims[i++] = v;
}

uint64_t Shape::elements() const {
  // Saturates instead of wrapping so that check_shape sees oversized shapes as oversized.
  uint64_t n = 1;
  for (size_t i = 0; i < count && i < max_dims; ++i) {
    if (dims[i] != 0 && n > std::numeric_limits<uint64_t>::max() / dims[i]) return std::numeric_limits<uint64_t>::max();
    n *= dims[i];
  }
  return n;
}

bool operator==(const Shape& a, const Shape& b) {
  if (a.count != b.count) return false;
  for (size_t i = 0; i < a.count && i < Shape::max_dims; ++i) {
    if (a.dims[i] != b.dims[i]) return false;
  }
  return true;
}

void check_shape(const Shape& shape) {
  if (shape.count > Shape::max_dims) {
    throw std::runtime_error(fmt::format("A shape has at most 4 dimensions (got {}).", shape.count));
  }
  for (size_t i = 0; i < shape.count; ++i) {
    if (shape.dims[i] == 0) panic("Cannot have a shape with dimension %zu set to 0", i);
  }
  uint64_t n = shape.elements();
  if (n > max_shape_elements) {
    panic("Tensor shape size %lu exceeds maximum shape size (%zu)", static_cast<unsigned long>(n),
          static_cast<size_t>(max_shape_elements));
  }
}

size_t element_size(TensorType type) {
  switch (type) {
    case TensorType::int32:
    case TensorType::float32: return 4;
    case TensorType::int16:
    case TensorType::uint16: return 2;
    case TensorType::uint8:
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::uint4:
    case TensorType::uint2:
    case TensorType::bit: return 1;
  }
  check_tensor_type(type);
  return 0;
}

void check_tensor_type(TensorType type) {
  auto v = static_cast<int32_t>(type);
  if (v < 0 || v > 10) throw std::invalid_argument(fmt::format("Unknown tensor type {}.", v));
}

const char* Tensor::type_name(TensorType type) {
  switch (type) {
    case TensorType::int32: return "int32";
    case TensorType::float32: return "float32";
    case TensorType::uint8: return "uint8";
    case TensorType::int16: return "int16";
    case TensorType::int8: return "int8";
    case TensorType::int4: return "int4";
    case TensorType::int2: return "int2";
    case TensorType::uint4: return "uint4";
    case TensorType::uint2: return "uint2";
    case TensorType::bit: return "bit";
    case TensorType::uint16: return "uint16";
  }
  return "unknown";
}

std::shared_ptr<const Dense> Tensor::ensure_dense(std::shared_ptr<const Tensor> tensor) {
  if (!tensor) throw std::invalid_argument("Cannot make a dense tensor from a null tensor.");
  if (auto dense = std::dynamic_pointer_cast<const Dense>(tensor)) return dense;
  auto bytes = tensor->data();
  auto layout = tensor->layout() == 1 ? Dense::Layout::Reversed : Dense::Layout::RowMajor;
  return Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), tensor->type(), tensor->shape(),
                     layout);
}

size_t Tensor::linear_index(std::initializer_list<uint32_t> coords) const {
  const Shape s = shape();
  if (coords.size() > s.count) {
    throw std::invalid_argument(
        fmt::format("Too many coordinates ({}) for a tensor of {} dimensions.", coords.size(), s.count));
  }
  const auto st = strides();
  // Strides fit 32 bits and there are at most four terms: the sum cannot wrap in 64 bits.
  uint64_t index = 0;
  size_t i = 0;
  for (uint32_t c : coords) index += uint64_t(c) * st[i++];
  if (index >= size()) {
    panic("Coordinates are out-of-range (linear index %zu, tensor size %zu)", static_cast<size_t>(index), size());
  }
  return static_cast<size_t>(index);
}

void Tensor::check_access(bool ok, const char* requested) const {
  if (!ok) panic("Wrong requested type %s for a tensor of type %s", requested, type_name(type()));
}

Dense::Dense(TensorType type, const Shape& shape, Layout layout, bool zeroed) : type_(type), shape_(shape), layout_(layout) {
  check_tensor_type(type);
  if (layout != Layout::RowMajor && layout != Layout::Reversed) {
    throw std::invalid_argument(fmt::format("Unknown tensor layout {}.", static_cast<int>(layout)));
  }
  check_shape(shape);
  // Unused dimensions are kept at 0 so that shapes compare and serialize alike.
  for (size_t i = shape_.count; i < Shape::max_dims; ++i) shape_.dims[i] = 0;
  elements_ = static_cast<size_t>(shape.elements());
  nbytes_ = elements_ * element_size(type);
  void* p = zeroed ? std::calloc(nbytes_, 1) : std::malloc(nbytes_);
  if (p == nullptr) throw std::bad_alloc();
  request_huge_pages(p, nbytes_);
  bytes_.reset(static_cast<std::byte*>(p));
}

namespace {
// The checks of a tensor made from nbytes of existing data.
void check_source(size_t nbytes, TensorType type, const Shape& shape) {
  check_tensor_type(type);
  check_shape(shape);
  const uint64_t expected = shape.elements() * element_size(type);
  if (nbytes != expected) {
    throw std::invalid_argument(fmt::format("A {} tensor of {} elements needs {} bytes (got {}).",
                                            Tensor::type_name(type), shape.elements(), expected, nbytes));
  }
}
}  // namespace

std::unique_ptr<Dense> Dense::copy(const char* data, size_t nbytes, TensorType type, const Shape& shape, Layout layout) {
  check_source(nbytes, type, shape);
  if (data == nullptr) throw std::invalid_argument("Cannot copy a tensor from a null buffer.");
  std::unique_ptr<Dense> dense(new Dense(type, shape, layout, false));
  std::memcpy(dense->bytes_.get(), data, nbytes);
  return dense;
}

Dense::Dense(TensorType type, const Shape& shape, Layout layout, std::byte* data, std::shared_ptr<const void> owner)
    : type_(type), shape_(shape), layout_(layout), bytes_(data, FreeBytes{std::move(owner)}) {
  for (size_t i = shape_.count; i < Shape::max_dims; ++i) shape_.dims[i] = 0;
  elements_ = static_cast<size_t>(shape.elements());
  nbytes_ = elements_ * element_size(type);
}

std::unique_ptr<Dense> Dense::view(const char* data, size_t nbytes, TensorType type, const Shape& shape,
                                   std::shared_ptr<const void> owner) {
  check_source(nbytes, type, shape);
  if (data == nullptr || !owner) throw std::invalid_argument("Cannot view a null buffer.");
  return std::unique_ptr<Dense>(
      new Dense(type, shape, Layout::RowMajor, reinterpret_cast<std::byte*>(const_cast<char*>(data)), std::move(owner)));
}

std::unique_ptr<Dense> Dense::create(TensorType type, const Shape& shape, Layout layout) {
  return std::unique_ptr<Dense>(new Dense(type, shape, layout, true));
}

std::vector<uint32_t> Dense::eval_strides(const Shape& shape, Layout layout) {
  const size_t n = std::min(shape.count, Shape::max_dims);
  std::vector<uint32_t> strides(n, 1);
  // Computed in 64 bits and clamped: a checked shape never exceeds 2^32 - 1 elements.
  uint64_t acc = 1;
  if (layout == Layout::Reversed) {
    for (size_t i = 0; i < n; ++i) {
      strides[i] = static_cast<uint32_t>(std::min<uint64_t>(acc, std::numeric_limits<uint32_t>::max()));
      acc *= shape.dims[i];
    }
  } else {
    for (size_t i = n; i-- > 0;) {
      strides[i] = static_cast<uint32_t>(std::min<uint64_t>(acc, std::numeric_limits<uint32_t>::max()));
      acc *= shape.dims[i];
    }
  }
  return strides;
}

std::vector<std::shared_ptr<Dense>> Dense::split() const {
  if (shape_.count == 0) throw std::invalid_argument("Cannot split a tensor without dimensions.");
  const uint32_t n = shape_.dims[0];
  Shape sub;
  sub.count = shape_.count - 1;
  for (size_t i = 1; i < shape_.count; ++i) sub.dims[i - 1] = shape_.dims[i];
  const size_t esize = element_size(type_);
  const size_t sub_elements = elements_ / n;
  std::vector<std::shared_ptr<Dense>> parts;
  parts.reserve(n);
  for (uint32_t k = 0; k < n; ++k) {
    std::shared_ptr<Dense> part(new Dense(type_, sub, layout_, false));
    if (layout_ == Layout::RowMajor) {
      // Dimension 0 is the slowest: each part is one contiguous run.
      std::memcpy(part->bytes_.get(), bytes_.get() + size_t(k) * sub_elements * esize, sub_elements * esize);
    } else {
      // Dimension 0 is the fastest: element j of part k sits at k + n * j, and the part keeps the
      // reversed layout of the remaining dimensions.
      for (size_t j = 0; j < sub_elements; ++j) {
        std::memcpy(part->bytes_.get() + j * esize, bytes_.get() + (k + size_t(n) * j) * esize, esize);
      }
    }
    parts.push_back(std::move(part));
  }
  return parts;
}

}  // namespace ovrix
