#include "python/tensor_conversion.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "mapping/host_hooks.h"

namespace ovrix::python {

namespace {

// NumPy's array-from-any with C-contiguous, force-cast and ensure-array: no copy for an array that already
// is a C-contiguous array of T, one cast or reorder copy otherwise; then the tensor of its values, copied,
// or (view) over its memory, the tensor keeping the array alive.
template <class T>
std::shared_ptr<Dense> array_to_dense(py::handle object, TensorType type, Dense::Layout layout, bool view) {
  auto array = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(object);
  if (!array) throw std::invalid_argument("Invalid source array.");

  const auto ndim = static_cast<size_t>(array.ndim());
  if (ndim < 1 || ndim > Shape::max_dims) {
    throw std::invalid_argument("Cannot instantiate a Dense with " + std::to_string(ndim) +
                                " dimensions (min 1, max 4).\n");
  }
  Shape shape;
  shape.count = ndim;
  size_t nbytes = sizeof(T);
  for (size_t i = 0; i < ndim; ++i) {
    const auto dim = array.shape(static_cast<py::ssize_t>(i));
    if (dim == 0) panic("Cannot have a shape with dimension %zu set to 0", i);
    if (static_cast<uint64_t>(dim) > std::numeric_limits<uint32_t>::max()) {
      throw std::invalid_argument("Cannot instantiate a Dense with dimension " + std::to_string(i) + " of size " +
                                  std::to_string(dim) + " (max 4294967295).");
    }
    shape[layout == Dense::Layout::Reversed ? ndim - 1 - i : i] = static_cast<uint32_t>(dim);
    nbytes *= static_cast<size_t>(dim);
  }
  const auto* data = reinterpret_cast<const char*>(array.data());
  // NumPy lets a contiguous array start at any byte (np.frombuffer with an offset): the engine reads
  // its elements as T, so only an array aligned for T is read where it lies.
  if (reinterpret_cast<uintptr_t>(data) % alignof(T) != 0) view = false;
  if (!view) return std::shared_ptr<Dense>(Dense::copy(data, nbytes, type, shape, layout));
  // The array goes with the tensor, under the interpreter lock wherever that happens.
  std::shared_ptr<const void> owner(new py::object(std::move(array)), [](const void* p) {
    py::gil_scoped_acquire lock;
    delete static_cast<const py::object*>(p);
  });
  return std::shared_ptr<Dense>(Dense::view(data, nbytes, type, shape, std::move(owner)));
}

}  // namespace

template <class T>
std::shared_ptr<Dense> numpy_to_dense(py::handle object, TensorType type, Dense::Layout layout) {
  return array_to_dense<T>(object, type, layout, false);
}

template <class T>
std::shared_ptr<Dense> numpy_input(py::handle object, TensorType type) {
  return array_to_dense<T>(object, type, Dense::Layout::RowMajor, true);
}
template std::shared_ptr<Dense> numpy_input<float>(py::handle, TensorType);
template std::shared_ptr<Dense> numpy_input<int8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> numpy_input<uint8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> numpy_input<int16_t>(py::handle, TensorType);

template std::shared_ptr<Dense> numpy_to_dense<int32_t>(py::handle, TensorType, Dense::Layout);
template std::shared_ptr<Dense> numpy_to_dense<float>(py::handle, TensorType, Dense::Layout);
template std::shared_ptr<Dense> numpy_to_dense<int8_t>(py::handle, TensorType, Dense::Layout);
template std::shared_ptr<Dense> numpy_to_dense<uint8_t>(py::handle, TensorType, Dense::Layout);
template std::shared_ptr<Dense> numpy_to_dense<uint16_t>(py::handle, TensorType, Dense::Layout);
template std::shared_ptr<Dense> numpy_to_dense<int16_t>(py::handle, TensorType, Dense::Layout);

namespace {

// Item size and buffer format of the dtype that carries an element type; false for unknown types.
bool numpy_format(TensorType type, size_t* itemsize, std::string* format) {
  switch (type) {
    case TensorType::int32: *itemsize = 4; *format = "i"; return true;
    case TensorType::float32: *itemsize = 4; *format = "f"; return true;
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: *itemsize = 1; *format = "B"; return true;
    case TensorType::int16: *itemsize = 2; *format = "h"; return true;
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: *itemsize = 1; *format = "b"; return true;
    case TensorType::uint16: *itemsize = 2; *format = "H"; return true;
  }
  return false;
}

}  // namespace

py::dtype dtype_of(TensorType type) {
  size_t itemsize = 0;
  std::string format;
  if (!numpy_format(type, &itemsize, &format)) {
    throw std::runtime_error(std::string("Unable to convert a tensor of type ") + Tensor::type_name(type) + "\n");
  }
  return py::dtype(format);
}

py::array tensor_to_numpy(const std::shared_ptr<const Tensor>& tensor) {
  if (!tensor) throw std::runtime_error("Unable to convert an empty tensor.");
  const TensorType type = tensor->type();
  size_t itemsize = 0;
  std::string format;
  if (!numpy_format(type, &itemsize, &format)) {
    throw std::runtime_error(std::string("Unable to convert a tensor of type ") + Tensor::type_name(type) + "\n");
  }
  const std::shared_ptr<const Dense> dense = Tensor::ensure_dense(tensor);
  const Shape shape = dense->shape();
  const size_t ndim = shape.size();
  const std::vector<uint32_t> strides = dense->strides();
  const bool reversed = dense->layout() == 1;
  const std::span<const std::byte> bytes = dense->data();
  if (ndim > Shape::max_dims || strides.size() < ndim) {
    throw std::runtime_error("Unable to convert a tensor whose strides do not match its shape.");
  }

  std::vector<py::ssize_t> np_shape(ndim);
  std::vector<py::ssize_t> np_strides(ndim);
  // Offset of the last element: a tensor whose strides reach past its data is refused rather than read.
  uint64_t last = 0;
  for (size_t i = 0; i < ndim; ++i) {
    const size_t k = reversed ? ndim - 1 - i : i;
    np_shape[i] = static_cast<py::ssize_t>(shape[k]);
    np_strides[i] = static_cast<py::ssize_t>(uint64_t(strides[k]) * itemsize);
    if (shape[k] == 0) {
      last = 0;
      break;
    }
    last += uint64_t(shape[k] - 1) * strides[k] * itemsize;
  }
  if (bytes.size() < last + itemsize) {
    throw std::runtime_error("Unable to convert a tensor whose data is smaller than its shape.");
  }
  // Without a base object the array constructor copies the described memory into an array NumPy
  // owns (any-order copy), so the result never refers to the tensor.
  return py::array(py::buffer_info(const_cast<std::byte*>(bytes.data()), static_cast<py::ssize_t>(itemsize), format,
                                   static_cast<py::ssize_t>(ndim), np_shape, np_strides));
}

py::array take_tensor(std::shared_ptr<Tensor> tensor) {
  auto dense = std::dynamic_pointer_cast<Dense>(tensor);
  if (!dense) return tensor_to_numpy(tensor);
  tensor.reset();
  size_t itemsize = 0;
  std::string format;
  // Only a tensor nobody else holds may become the array's memory: no one can change it behind the array.
  if (dense.use_count() != 1 || dense->layout() != static_cast<uint8_t>(Dense::Layout::RowMajor) ||
      !numpy_format(dense->type(), &itemsize, &format) || element_size(dense->type()) != itemsize)
    return tensor_to_numpy(dense);
  const Shape shape = dense->shape();
  std::vector<py::ssize_t> dims(shape.size());
  for (size_t i = 0; i < dims.size(); ++i) dims[i] = static_cast<py::ssize_t>(shape[i]);
  void* data = dense->mutable_data().data();
  auto owner = std::make_unique<std::shared_ptr<Dense>>(std::move(dense));
  py::capsule base(owner.get(), [](void* p) { delete static_cast<std::shared_ptr<Dense>*>(p); });
  owner.release();
  return py::array(py::dtype(format), dims, {}, data, base);
}

}  // namespace ovrix::python
