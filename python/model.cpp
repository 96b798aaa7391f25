#include "python/bindings.h"

namespace ovrix::python {

void init_model(py::module_& m) { (void)m; }

}  // namespace ovrix::python
