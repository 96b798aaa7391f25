#include "python/labels.h"

#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

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

std::vector<int32_t> convert_as_sequence(py::handle labels) { return py::cast<std::vector<int32_t>>(labels); }

// Whether check_conversion below can tell the conversion's outcome: a plain NumPy array of integers.
// Elements of other arrays (masked arrays, time spans) convert by rules of their own.
bool plain_integers(const py::array& labels) {
  const char kind = labels.dtype().kind();
  return (kind == 'i' || kind == 'u') && py::type::of(labels).is(py::module_::import("numpy").attr("ndarray"));
}

// The binding library converts a label array element by element and stops at the first element it
// cannot convert, with a message that names only the array's type. So converting the part of the array
// where it would stop throws what the whole conversion would throw, without the room that one reserves
// for every label first (a broadcast view holds 2^31 labels in a few bytes). Returns normally when the
// whole array converts.
void check_conversion(const py::array& labels) {
  if (labels.ndim() == 0) {
    convert_as_sequence(labels);  // no length: refused before any element
    return;
  }
  if (labels.shape(0) == 0) return;
  // Elements that are arrays, all of the first one's shape, convert as NumPy turns an array into an
  // integer: never in recent NumPy, when it holds one value in older NumPy. Then each holds one label.
  if (labels.ndim() > 1) convert_as_sequence(labels[py::slice(0, 1, 1)]);
  // Every element converts unless its value lies beyond 32 bits. The extremes are read in place, along
  // the axes a broadcast view repeats once only (an arg-max would copy the view).
  py::tuple distinct(labels.ndim());
  for (py::ssize_t axis = 0; axis < labels.ndim(); ++axis)
    distinct[axis] = labels.strides(axis) == 0 ? py::object(py::int_(0))
                                               : py::object(py::slice(0, labels.shape(axis), 1));
  const py::object values = labels[distinct];
  py::object beyond = values.attr("max")();
  if (py::int_(beyond) <= py::int_(std::numeric_limits<int32_t>::max())) {
    beyond = values.attr("min")();
    if (py::int_(beyond) >= py::int_(std::numeric_limits<int32_t>::min())) return;
  }
  py::object part = labels[py::slice(0, 1, 1)].attr("copy")();
  part[py::int_(0)] = beyond;
  convert_as_sequence(part);
}

// After check_conversion: one label per element, each value within 32 bits, so NumPy's cast is exact.
std::vector<int32_t> copy_labels(const py::array& labels) {
  std::vector<int32_t> out;
  if (labels.size() == 0) return out;
  const auto values = py::array_t<int32_t, py::array::c_style | py::array::forcecast>::ensure(labels);
  if (!values) throw py::error_already_set();
  out.resize(static_cast<size_t>(values.size()));
  std::memcpy(out.data(), values.data(), out.size() * sizeof(int32_t));
  return out;
}

}  // namespace

FitLabels array_labels(const py::array& labels) {
  if (!plain_integers(labels)) {
    std::vector<int32_t> converted = convert_as_sequence(labels);
    return {converted.size(), [converted = std::move(converted)] { return converted; }};
  }
  check_conversion(labels);
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
