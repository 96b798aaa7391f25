#pragma once
// Running samples through a device that already holds a program, without a model.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "python/labels.h"

namespace ovrix::python {

namespace py = pybind11;

class PyHardwareDevice;

// Any value other than Forward and Predict runs as Fit.
enum class InferenceMode : int { Fit = 0, Forward = 1, Predict = 2 };

// Converts the input to uint8 samples along its first dimension (rank 2 or 4), runs them on the
// device between two clock readings and two time stamps, writes the inference metrics and the power
// events on the wrapper, and returns the outputs as one array (M, d0, d1, d2). labels: none (null or
// a count of 0), one, or one per sample, counted before they are converted and the device is touched;
// read in Fit mode only.
py::array run_device_inference(PyHardwareDevice& device, py::handle inputs, const FitLabels* labels,
                               InferenceMode mode);

}  // namespace ovrix::python
