// Objects of the bound classes are made only by calling their class (or by the module itself).
//
// The binding library allocates an object in __new__ and builds its C++ value in __init__. Calling
// __new__ on its own (cls.__new__(cls), object.__new__(cls), or unpickling machinery) leaves an
// object whose value was never built; the first method call on it would then run on unbuilt memory
// and crash the interpreter. So every bound class gets an allocator that accepts only the one
// allocation its own class call asks for, and a class call that announces it: a metaclass derived
// from the library's, whose __call__ names the class it is about to construct.
#include <Python.h>

#include <stdexcept>
#include <string>

#include "python/bindings.h"

namespace ovrix::python {

namespace {

// The class whose call is running on this thread and has not allocated its object yet.
thread_local PyTypeObject* class_being_called = nullptr;

ternaryfunc library_call = nullptr;  // the binding library's metaclass __call__
newfunc library_new = nullptr;       // the binding library's allocation of an object

PyObject* call_announcing_the_class(PyObject* cls, PyObject* args, PyObject* kwargs) {
  PyTypeObject* const outer = class_being_called;
  class_being_called = reinterpret_cast<PyTypeObject*>(cls);
  PyObject* const result = library_call(cls, args, kwargs);
  class_being_called = outer;
  return result;
}

PyObject* new_only_from_class_call(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  if (class_being_called != cls) {
    // module.qualified.Name, as Python shows the class (a nested class keeps its outer class).
    PyObject* const module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls), "__module__");
    PyObject* const qualname = module ? PyType_GetQualName(cls) : nullptr;
    if (qualname != nullptr) {
      PyErr_Format(PyExc_TypeError,
                   "%S.%S.__new__() cannot make an object on its own: call the class, or get the object from the "
                   "module.",
                   module, qualname);
    }
    Py_XDECREF(module);
    Py_XDECREF(qualname);
    return nullptr;
  }
  class_being_called = nullptr;  // one object per class call
  return library_new(cls, args, kwargs);
}

PyTypeObject* make_metaclass(PyTypeObject* library_metaclass) {
  static PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(&call_announcing_the_class)}, {0, nullptr}};
  static PyType_Spec spec = {"ovrix.core.BoundClassType", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
  py::tuple bases = py::make_tuple(py::handle(reinterpret_cast<PyObject*>(library_metaclass)));
  PyObject* metaclass = PyType_FromSpecWithBases(&spec, bases.ptr());
  if (metaclass == nullptr) throw py::error_already_set();
  auto* type = reinterpret_cast<PyTypeObject*>(metaclass);
  // Classes change metaclass in place: the two must lay out and collect their objects alike.
  if (type->tp_basicsize != library_metaclass->tp_basicsize || type->tp_itemsize != library_metaclass->tp_itemsize ||
      !PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) {
    Py_DECREF(metaclass);
    throw std::runtime_error("The metaclass of the bound classes cannot be extended.");
  }
  return type;
}

// A bound class of the library's own metaclass that still allocates with the library's __new__.
// Enumerations are left as they are: their members are built by the library, and unpickling makes
// them through __new__ followed by __setstate__.
bool needs_guard(py::handle object, PyTypeObject* library_metaclass) {
  if (!PyType_Check(object.ptr()) || Py_TYPE(object.ptr()) != library_metaclass) return false;
  auto* cls = reinterpret_cast<PyTypeObject*>(object.ptr());
  return cls->tp_new == library_new && !py::hasattr(object, "__members__");
}

void guard_class(PyTypeObject* cls, PyTypeObject* metaclass) {
  // cls.__new__ goes to the guarded allocator of cls itself (a __new__ found on a base class would
  // be refused by the interpreter as unsafe, with a misleading message).
  py::object base_new = py::reinterpret_steal<py::object>(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__new__"));
  if (!base_new) throw py::error_already_set();
  if (!PyCFunction_Check(base_new.ptr())) throw std::runtime_error("object.__new__ is not a built-in function.");
  PyMethodDef* new_wrapper = reinterpret_cast<PyCFunctionObject*>(base_new.ptr())->m_ml;
  py::object own_new =
      py::reinterpret_steal<py::object>(PyCFunction_NewEx(new_wrapper, reinterpret_cast<PyObject*>(cls), nullptr));
  if (!own_new) throw py::error_already_set();
  // Written into the dictionary directly: assigning the attribute would route the slot to a Python
  // level __new__ lookup.
  if (PyDict_SetItemString(cls->tp_dict, "__new__", own_new.ptr()) != 0) throw py::error_already_set();
  cls->tp_new = &new_only_from_class_call;

  PyTypeObject* const old_metaclass = Py_TYPE(cls);
  Py_INCREF(metaclass);
  Py_SET_TYPE(cls, metaclass);
  Py_DECREF(old_metaclass);
  PyType_Modified(cls);
}

void guard_classes_in(py::handle scope, const std::string& module_name, PyTypeObject* library_metaclass,
                      PyTypeObject* metaclass, py::set& seen) {
  if (seen.contains(scope)) return;
  seen.add(scope);
  // Borrowed: the module's own dictionary, or the class's.
  PyObject* const dict = PyModule_Check(scope.ptr()) ? PyModule_GetDict(scope.ptr())
                                                     : reinterpret_cast<PyTypeObject*>(scope.ptr())->tp_dict;
  const py::list values = py::reinterpret_borrow<py::dict>(dict).attr("values")();
  for (py::handle value : values) {
    if (PyModule_Check(value.ptr())) {
      const std::string name = py::str(value.attr("__name__"));
      if (name.rfind(module_name + ".", 0) == 0) guard_classes_in(value, module_name, library_metaclass, metaclass, seen);
    } else if (needs_guard(value, library_metaclass)) {
      guard_class(reinterpret_cast<PyTypeObject*>(value.ptr()), metaclass);
      guard_classes_in(value, module_name, library_metaclass, metaclass, seen);  // nested classes
    }
  }
}

}  // namespace

void refuse_unconstructed_objects(py::module_& m) {
  // Every bound class shares the library's metaclass and allocator: take them from one of them.
  py::object model = m.attr("Model");
  PyTypeObject* library_metaclass = Py_TYPE(model.ptr());
  if (library_new == nullptr) {
    library_new = reinterpret_cast<PyTypeObject*>(model.ptr())->tp_new;
    library_call = library_metaclass->tp_call;
  }
  static PyTypeObject* metaclass = make_metaclass(library_metaclass);
  py::set seen;
  guard_classes_in(m, py::str(m.attr("__name__")), library_metaclass, metaclass, seen);
}

}  // namespace ovrix::python
