#pragma once
// Conversion between NumPy arrays and engine tensors. Each direction makes one copy into memory
// owned by the receiving side: a Dense never views NumPy memory and an array never views a tensor.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <vector>

#include "engine/tensor.h"

namespace ovrix::python {

namespace py = pybind11;

// Brings any object (array, nested list, scalar) to a C-contiguous array of T (NumPy's unsafe cast,
// no copy when it already is one) and copies it into a new row-major Dense of element type `type`.
// The caller picks `type`: an int8/uint8 array may become a narrow (4-, 2-, 1-bit) tensor.
// Refusals: "Invalid source array." (std::invalid_argument) when NumPy cannot convert the object;
// fewer than 1 or more than 4 dimensions (std::invalid_argument); a zero dimension
// ("Cannot have a shape with dimension %zu set to 0", std::runtime_error).
// With layout Reversed the same bytes become a layout 1 tensor whose shape is the array's reversed (the
// form tensor_to_numpy gives such a tensor), still one copy.
// Instantiated for int32_t, float, int8_t, uint8_t, uint16_t and int16_t.
template <class T>
std::shared_ptr<Dense> numpy_to_dense(py::handle object, TensorType type,
                                      Dense::Layout layout = Dense::Layout::RowMajor);
// The same checks and conversion for the input of a call that only reads it (nothing writes through the
// tensor): the tensor reads the array's own memory when it already is a C-contiguous array of T (no
// copy), and keeps the array alive.
// Instantiated for float, int8_t, uint8_t and int16_t.
template <class T>
std::shared_ptr<Dense> numpy_input(py::handle object, TensorType type);

// A new NumPy array holding a copy of the tensor's values; the dtype follows the element type
// (narrow types come back one value per byte: int4/int2/bit as int8, uint4/uint2 as uint8).
// Layout 1 tensors come back with their dimensions reversed.
py::array tensor_to_numpy(const std::shared_ptr<const Tensor>& tensor);
// The same for a result the caller hands over: when nothing else holds it (a dense row-major tensor of
// whole bytes a value), the array takes its memory over instead of copying it.
py::array take_tensor(std::shared_ptr<Tensor> tensor);

// NumPy dtype that carries the values of an element type; "unknown" types throw std::runtime_error.
py::dtype dtype_of(TensorType type);

class PyHardwareDevice;
// HardwareDevice.fit with a NumPy array of labels: integer dtypes only ("fit method expects integers
// as labels"), converted to signed 32-bit labels. Defined with the hardware-device bindings.
py::array fit_with_numpy_labels(PyHardwareDevice& device, const py::array& inputs, const py::array& labels);

}  // namespace ovrix::python
