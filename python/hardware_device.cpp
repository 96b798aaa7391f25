#include "python/bindings.h"

namespace ovrix::python {

void init_hardware_device(py::module_& m) { (void)m; }

}  // namespace ovrix::python
