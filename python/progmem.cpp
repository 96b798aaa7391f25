#include "python/bindings.h"

namespace ovrix::python {

void init_progmem_binding(py::module_& m) { (void)m; }

}  // namespace ovrix::python
