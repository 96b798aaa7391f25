#pragma once
// The lumo edition's implementations of the four back-end interfaces, as the hardware back-end
// creates them when a device's product id selects the lumo edition.
#include "backends/lumo/lumo_backend.h"
