#include "python/labels.h"

#include <pybind11/stl.h>

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

namespace {

// The binding library converts a label array element by element and stops at the first element it
// cannot convert, with a message that names only the array's type. So the conversion of the part of
// the array where it stops gives the same error as the whole array's, without the room the whole
// conversion reserves for every label first. No part: the array converts.
py::object where_conversion_stops(const py::array& labels) {
  if (labels.ndim() == 0) return labels;  // no length: refused before any element
  if (labels.shape(0) == 0) return py::none();
  if (labels.ndim() > 1) return labels[py::slice(0, 1, 1)];  // its first element is an array
  // A broadcast view can hold 2^31 labels: its extremes are read without a copy (arg-max would copy).
  py::object beyond = labels.attr("max")();
  if (py::int_(beyond) <= py::int_(std::numeric_limits<int32_t>::max())) {
    beyond = labels.attr("min")();
    if (py::int_(beyond) >= py::int_(std::numeric_limits<int32_t>::min())) return py::none();
  }
  py::object part = labels[py::slice(0, 1, 1)].attr("copy")();
  part[py::int_(0)] = beyond;
  return part;
}

std::vector<int32_t> copy_labels(const py::array& labels) {
  std::vector<int32_t> out;
  if (labels.ndim() != 1 || labels.size() == 0) return out;
  // Every value fits (where_conversion_stops found none that does not): NumPy's cast is exact.
  const auto values = py::array_t<int32_t, py::array::c_style | py::array::forcecast>::ensure(labels);
  if (!values) throw py::error_already_set();
  out.resize(static_cast<size_t>(values.size()));
  std::memcpy(out.data(), values.data(), out.size() * sizeof(int32_t));
  return out;
}

}  // namespace

FitLabels array_labels(const py::array& labels) {
  if (const py::object part = where_conversion_stops(labels); !part.is_none())
    (void)py::cast<std::vector<int32_t>>(part);  // throws the conversion's own error
  return {static_cast<uint64_t>(labels.shape(0)), [labels] { return copy_labels(labels); }};
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
