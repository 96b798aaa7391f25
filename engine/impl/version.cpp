#include "engine/engine.h"

namespace ovrix {

const char* version() { return "0.1.0"; }

}  // namespace ovrix
