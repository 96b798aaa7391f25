#include "python/bindings.h"

namespace ovrix::python {

void init_flash_board(py::module_& m) { (void)m; }

}  // namespace ovrix::python
