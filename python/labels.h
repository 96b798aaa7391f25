#pragma once
// The labels of Model.fit and HardwareDevice.fit: how a number or an integer array becomes signed
// 32-bit labels, and the argument forms that bring a label value to the right overload.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace ovrix::python {

namespace py = pybind11;

// A label given as one number. Taken as a float in the binding library's first pass and as any number
// in its second (an int selects this overload). An integer too large for a double still arrives, as
// an infinity, so that it is refused as a label rather than matching no overload.
struct NumberLabel {
  double value = 0;
};

// A label array of HardwareDevice.fit: a NumPy array, or in the second pass any value that is neither
// a number (taken before it) nor a list (taken after it) and that NumPy turns into an array, so that
// tuples and strings meet the dtype check instead of matching no overload.
struct LabelArray {
  py::array array;
};

// The label of a number: read as a 32-bit float, it must be a whole number that a signed 32-bit
// integer holds; empty otherwise (fractions, values from 2^31 on or below -2^31, infinities, NaN).
std::optional<int32_t> whole_number_label(double given);

// The labels of a fit: their count, and their conversion, called only once the count has been accepted,
// so that labels a wrong count refuses are never copied (a broadcast view holds 2^31 of them in a few
// bytes).
struct FitLabels {
  uint64_t count = 0;
  std::function<std::vector<int32_t>()> convert;
};

// The labels of an array of an integer dtype, taken as the binding library takes a sequence of signed
// 32-bit integers: element by element along the first dimension. What that conversion refuses is
// refused here at once, with its own error: a 0-dimensional array has no length (TypeError), an element
// that does not fit 32 bits, or that is an array NumPy does not turn into an integer, fails the cast
// (RuntimeError "Unable to cast Python instance of type ..."). The values of a plain NumPy array are
// copied by the returned conversion, once their count has been accepted.
FitLabels array_labels(const py::array& labels);

}  // namespace ovrix::python

namespace pybind11::detail {

template <>
struct type_caster<ovrix::python::NumberLabel> {
  PYBIND11_TYPE_CASTER(ovrix::python::NumberLabel, const_name("float"));
  bool load(handle src, bool convert);
  static handle cast(const ovrix::python::NumberLabel& label, return_value_policy, handle) {
    return PyFloat_FromDouble(label.value);
  }
};

template <>
struct type_caster<ovrix::python::LabelArray> {
  PYBIND11_TYPE_CASTER(ovrix::python::LabelArray, const_name("numpy.ndarray"));
  bool load(handle src, bool convert);
  static handle cast(const ovrix::python::LabelArray& labels, return_value_policy, handle) {
    return labels.array.inc_ref();
  }
};

}  // namespace pybind11::detail
