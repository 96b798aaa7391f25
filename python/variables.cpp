#include "python/bindings.h"

namespace ovrix::python {

void init_variables(py::module_& m) { (void)m; }

}  // namespace ovrix::python
