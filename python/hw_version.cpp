#include "python/bindings.h"

namespace ovrix::python {

void init_hw_version(py::module_& m) { (void)m; }

}  // namespace ovrix::python
