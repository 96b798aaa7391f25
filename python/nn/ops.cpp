#include "python/bindings.h"

namespace ovrix::python {

void init_ops(py::module_& m) { (void)m; }

}  // namespace ovrix::python
