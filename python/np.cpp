#include "python/bindings.h"

namespace ovrix::python {

void init_np(py::module_& m) { (void)m; }
void init_np_binding(py::module_& m) { (void)m; }

}  // namespace ovrix::python
