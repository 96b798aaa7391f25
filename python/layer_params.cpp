#include "python/bindings.h"

namespace ovrix::python {

void init_layer_params(py::module_& m) { (void)m; }

}  // namespace ovrix::python
