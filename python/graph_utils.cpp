#include "python/bindings.h"

namespace ovrix::python {

void init_graph_utils(py::module_& m) { (void)m; }

}  // namespace ovrix::python
