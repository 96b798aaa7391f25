// Entry of the extension module ovrix.core: module attributes, then every binding file's
// registration in a fixed order (a signature names a bound class only when that class was
// registered before it).
#include <pybind11/pybind11.h>

#include <cstring>

#include "engine/engine.h"
#include "engine/enums.h"
#include "mapping/hw_version.h"
#include "python/bindings.h"

namespace py = pybind11;
using namespace ovrix::python;

static int pybind11_exec_core(PyObject* module);

// The binding library's module entry, preceded by the refusal of subinterpreters. The module declares
// that it does not support them, but the interpreter only reads that declaration from CPython 3.12
// on, and only after this entry has run; before it, the binding library's set-up in a subinterpreter
// waits for an interpreter lock that it never gets. So the entry refuses by itself, first.
extern "C" PYBIND11_EXPORT PyObject* PyInit_core() {
  PYBIND11_CHECK_PYTHON_VERSION
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "module ovrix.core does not support loading in subinterpreters: import it in the main "
                    "interpreter.");
    return nullptr;
  }
  try {
    py::detail::ensure_internals();
    static py::detail::slots_array slots =
        py::detail::init_slots(&pybind11_exec_core, py::multiple_interpreters::not_supported());
    static PyModuleDef definition{PyModuleDef_HEAD_INIT, "core", nullptr, 0, nullptr, slots.data(), nullptr, nullptr,
                                  nullptr};
    return PyModuleDef_Init(&definition);
  }
  PYBIND11_CATCH_INIT_EXCEPTIONS
  return nullptr;
}

PYBIND11_MODULE_EXEC(core, m) {
  m.doc() = "Ovrix core library";
  const char* version = ovrix::version();
  m.attr("__version__") = version ? py::object(py::str(version)) : py::object(py::none());

  py::enum_<ovrix::BackendType>(m, "BackendType")
      .value("Software", ovrix::BackendType::Software)
      .value("Hardware", ovrix::BackendType::Hardware)
      .value("Hybrid", ovrix::BackendType::Hybrid)
      .export_values();

  init_model(m);
  init_layer(m);
  init_layer_params(m);
  init_learning_binding(m);
  init_variables(m);

  init_metrics(m);
  init_device(m);
  init_socdriver_binding(m);
  init_hardware_device(m);
  init_hw_version(m);
  init_np(m);
  init_np_binding(m);
  init_map_constraints(m);
  init_sequence_binding(m);
  init_powermeter_binding(m);

  auto soc = m.def_submodule("soc", "Ovrix Quor specific functions");
  init_clock_mode(soc);

  init_progmem_binding(m);
  init_ops(m);

  py::enum_<ovrix::IpVersion> ip_version(m, "IpVersion", "The reference Ovrix IP version");
  construct_from_int32(ip_version);
  ip_version.value("none", ovrix::IpVersion::none)
      .value("v1", ovrix::IpVersion::v1)
      .value("v2", ovrix::IpVersion::v2)
      .value("lumo", ovrix::IpVersion::lumo)
      .export_values();

  init_flash_board(m);

  auto graph_utils = m.def_submodule(
      "graph_utils",
      "Ovrix graph utilities software internal functions. These are meant for testing, debugging and validation "
      "only.");
  init_graph_utils(graph_utils);

  // Last: it covers every class registered above.
  refuse_unconstructed_objects(m);
}
