#include "python/bindings.h"

namespace ovrix::python {

void init_learning_binding(py::module_& m) { (void)m; }

}  // namespace ovrix::python
