#pragma once
// The v1 edition's implementations of the four back-end interfaces, as the hardware back-end
// creates them when a device's product id selects the v1 edition (0x00 or 0xA1).
#include "backends/v1/compatibility_checker.h"
#include "backends/v1/io_recorder.h"
#include "backends/v1/layer_recorder.h"
#include "backends/v1/memory_sizer.h"
