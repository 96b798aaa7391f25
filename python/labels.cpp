#include "python/labels.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace ovrix::python {

std::optional<int32_t> whole_number_label(double given) {
  // Narrowing a double beyond the float range is undefined: such values are refused first.
  if (!(given > -3e9 && given < 3e9)) return std::nullopt;
  const float value = static_cast<float>(given);
  if (!(value >= -2147483648.0f && value < 2147483648.0f)) return std::nullopt;
  const auto label = static_cast<int32_t>(value);
  if (static_cast<float>(label) != value) return std::nullopt;
  return label;
}

std::optional<std::vector<int32_t>> int32_labels(const py::array& labels) {
  if (labels.ndim() > 1) return std::nullopt;
  std::vector<int32_t> out;
  if (labels.size() == 0) return out;
  // The bounds are compared as Python integers, which hold every value of every integer dtype; after
  // that the cast to int32 is exact and runs in NumPy, not element by element here.
  const py::int_ lowest(labels.attr("min")());
  const py::int_ highest(labels.attr("max")());
  if (lowest < py::int_(std::numeric_limits<int32_t>::min()) || highest > py::int_(std::numeric_limits<int32_t>::max()))
    return std::nullopt;
  const auto values = py::array_t<int32_t, py::array::c_style | py::array::forcecast>::ensure(
      labels.attr("reshape")(labels.size()));
  if (!values) throw py::error_already_set();
  out.resize(static_cast<size_t>(values.size()));
  std::memcpy(out.data(), values.data(), out.size() * sizeof(int32_t));
  return out;
}

}  // namespace ovrix::python

namespace pybind11::detail {

bool type_caster<ovrix::python::NumberLabel>::load(handle src, bool convert) {
  if (!convert && !PyFloat_Check(src.ptr())) return false;
  const double d = PyFloat_AsDouble(src.ptr());
  if (d == -1.0 && PyErr_Occurred()) {
    const bool too_large = PyErr_ExceptionMatches(PyExc_OverflowError) && PyLong_Check(src.ptr());
    PyErr_Clear();
    if (!too_large) return false;
    value.value = reinterpret_borrow<int_>(src) < int_(0) ? -HUGE_VAL : HUGE_VAL;
    return true;
  }
  value.value = d;
  return true;
}

bool type_caster<ovrix::python::LabelArray>::load(handle src, bool convert) {
  if (isinstance<array>(src)) {
    value.array = reinterpret_borrow<array>(src);
    return true;
  }
  if (!convert || PyList_Check(src.ptr())) return false;
  value.array = array::ensure(src);  // NumPy's asarray; a failure is cleared and matches no overload
  return static_cast<bool>(value.array);
}

}  // namespace pybind11::detail
