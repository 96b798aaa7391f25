#pragma once
// Registration functions of the binding files, called by the module body in a fixed order.
#include <pybind11/pybind11.h>

#include <cstdint>

namespace ovrix::python {

namespace py = pybind11;

void init_model(py::module_& m);            // model.cpp, with the inference bodies of model_inference.cpp
void init_layer(py::module_& m);            // layer.cpp
void init_layer_params(py::module_& m);     // layer_params.cpp
void init_learning_binding(py::module_& m); // learning.cpp
void init_variables(py::module_& m);        // variables.cpp: Variables, then evaluate_bitwidth
void init_metrics(py::module_& m);          // metrics.cpp
void init_device(py::module_& m);           // device.cpp
void init_socdriver_binding(py::module_& m);  // soc.cpp
void init_hardware_device(py::module_& m);  // hardware_device.cpp
void init_hw_version(py::module_& m);       // hw_version.cpp
void init_np(py::module_& m);               // neural_processors.cpp: the NP (neural processor) submodule
void init_np_binding(py::module_& m);       // neural_processors.cpp
void init_map_constraints(py::module_& m);  // map_constraints.cpp
void init_sequence_binding(py::module_& m); // sequence.cpp
void init_powermeter_binding(py::module_& m); // power_meter.cpp
void init_clock_mode(py::module_& soc);     // soc.cpp: the ClockMode class inside the soc submodule
void init_progmem_binding(py::module_& m);  // progmem.cpp
void init_ops(py::module_& m);              // nn/ops.cpp
void init_flash_board(py::module_& m);      // flash_board.cpp
void init_graph_utils(py::module_& graph_utils);  // graph_utils.cpp
// Gives an enumeration the constructor that takes a signed 32-bit `value`, in place of the binding
// library's, which takes the underlying type (unsigned for IpVersion and ClockMode). A value that names
// no member still makes an instance holding it.
template <class Enum>
void construct_from_int32(py::enum_<Enum>& cls) {
  py::delattr(cls, "__init__");
  cls.def(py::init([](int32_t value) { return static_cast<Enum>(value); }), py::arg("value"));
}

// Makes every class of the module refuse __new__ outside a call of the class: an object whose C++
// value was never built cannot be used. Called after every registration.
void refuse_unconstructed_objects(py::module_& m);  // instance_guard.cpp

}  // namespace ovrix::python
