#pragma once
// The v2 edition's implementations of the four back-end interfaces, as the hardware back-end
// creates them when a device's product id selects the v2 edition.
#include "backends/v2/compatibility_checker.h"
#include "backends/v2/io_recorder.h"
#include "backends/v2/layer_recorder.h"
#include "backends/v2/memory_sizer.h"
