// Variables: a layer's named tensors, read as NumPy arrays and replaced from arrays whose dtype is
// the one that carries the stored element type; and evaluate_bitwidth.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "engine/engine.h"
#include "engine/variables.h"
#include "python/bindings.h"
#include "python/tensor_conversion.h"

namespace ovrix::python {

namespace {

std::shared_ptr<Dense> get_variable(const Variables& variables, const std::string& name) {
  auto tensor = variables.get(name);
  if (!tensor) throw std::invalid_argument("Variable " + name + " not found");
  return tensor;
}

// Copies the array into a tensor of exactly `type` in `layout`, through the array type that stores it.
std::shared_ptr<Dense> array_to_tensor(const py::array& value, TensorType type, Dense::Layout layout) {
  switch (type) {
    case TensorType::int32: return numpy_to_dense<int32_t>(value, type, layout);
    case TensorType::float32: return numpy_to_dense<float>(value, type, layout);
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return numpy_to_dense<uint8_t>(value, type, layout);
    case TensorType::int16: return numpy_to_dense<int16_t>(value, type, layout);
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return numpy_to_dense<int8_t>(value, type, layout);
    case TensorType::uint16: return numpy_to_dense<uint16_t>(value, type, layout);
  }
  throw std::invalid_argument("Unsupported tensor type.");
}

void set_variable(Variables& variables, const std::string& name, const py::array& value) {
  const py::dtype received = value.dtype();
  const std::shared_ptr<Dense> stored = get_variable(variables, name);
  const TensorType type = stored->type();
  py::dtype expected;
  try {
    expected = dtype_of(type);
  } catch (const std::runtime_error&) {
    throw std::invalid_argument("Unsupported variable type for " + name + " " + py::str(received).cast<std::string>());
  }
  if (!received.equal(expected)) {
    throw std::invalid_argument("Unsupported variable type for " + name + " expected " +
                                py::str(expected).cast<std::string>() + " received " +
                                py::str(received).cast<std::string>());
  }
  // The stored element type, not the array's, decides the new tensor's type: narrow types stay narrow.
  // A layout 1 variable reads as an array of the reversed shape; such an array is copied straight into
  // a layout 1 tensor (one copy), anything else goes to the engine as it is, which stores it or refuses.
  Dense::Layout layout = Dense::Layout::RowMajor;
  if (stored->dense_layout() == Dense::Layout::Reversed) {
    const Shape shape = stored->shape();
    bool reversed = value.ndim() == py::ssize_t(shape.size());
    for (size_t i = 0; reversed && i < shape.size(); ++i)
      reversed = value.shape(py::ssize_t(i)) == py::ssize_t(shape[shape.size() - 1 - i]);
    if (reversed) layout = Dense::Layout::Reversed;
  }
  variables.set(name, array_to_tensor(value, type, layout));
}

int32_t evaluate_array_bitwidth(const py::array& variable) {
  const py::dtype dtype = variable.dtype();
  if (dtype.equal(py::dtype::of<float>())) return 0;
  if (dtype.equal(py::dtype::of<int32_t>()))
    return evaluate_bitwidth(*numpy_to_dense<int32_t>(variable, TensorType::int32));
  if (dtype.equal(py::dtype::of<int16_t>()))
    return evaluate_bitwidth(*numpy_to_dense<int16_t>(variable, TensorType::int16));
  if (dtype.equal(py::dtype::of<int8_t>())) return evaluate_bitwidth(*numpy_to_dense<int8_t>(variable, TensorType::int8));
  if (dtype.equal(py::dtype::of<uint16_t>()))
    return evaluate_bitwidth(*numpy_to_dense<uint16_t>(variable, TensorType::uint16));
  if (dtype.equal(py::dtype::of<uint8_t>()))
    return evaluate_bitwidth(*numpy_to_dense<uint8_t>(variable, TensorType::uint8));
  throw std::runtime_error("Wrong py::array type: cannot evaluate the bitwidth.");
}

}  // namespace

void init_variables(py::module_& m) {
  py::classh<Variables>(m, "Variables")
      .def_property_readonly("names", [](const Variables& v) { return v.names(); })
      .def("__getitem__",
           [](const Variables& v, const std::string& name) { return tensor_to_numpy(get_variable(v, name)); })
      .def("__setitem__", &set_variable);

  m.def("evaluate_bitwidth", &evaluate_array_bitwidth, py::arg("variable"),
        "\n   Evalutate the maximum bitwidth that the values of the variable take.\n\n   Args:\n       variable "
        "(:obj:`numpy.ndarray`): The variable on which the bitwidth is evaluated.\n   ");
}

}  // namespace ovrix::python
