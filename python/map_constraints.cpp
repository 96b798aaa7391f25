#include "python/bindings.h"

namespace ovrix::python {

void init_map_constraints(py::module_& m) { (void)m; }

}  // namespace ovrix::python
