// Device inference on a HardwareDevice: samples in, one NumPy array of outputs back, with metrics
// and power events kept on the device wrapper.
#include "python/device_inference.h"

#include <fmt/format.h>
#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>

#include "engine/device.h"
#include "engine/tensor.h"
#include "mapping/host_hooks.h"
#include "mapping/power_meter.h"
#include "python/hardware_device.h"
#include "python/labels.h"
#include "python/tensor_conversion.h"

namespace ovrix::python {

namespace {

struct OutputFormat {
  const char* dtype;
  size_t element_size;
};

OutputFormat output_format(TensorType type) {
  switch (type) {
    case TensorType::int32: return {"int32", 4};
    case TensorType::float32: return {"float32", 4};
    case TensorType::uint8: return {"uint8", 1};
    case TensorType::int8: return {"int8", 1};
    case TensorType::uint4:
    case TensorType::uint2:
    case TensorType::bit: return {"uint8", 1};
    default: throw std::runtime_error("Unexpected output type.");
  }
}

py::array assemble_outputs(const std::vector<std::unique_ptr<Tensor>>& outputs) {
  if (outputs.empty()) return py::array(py::dtype("float64"), std::vector<py::ssize_t>{0});

  const Shape first_shape = outputs[0]->shape();
  const uint32_t dims[4] = {static_cast<uint32_t>(outputs.size()), first_shape[0], first_shape[1], first_shape[2]};
  for (size_t i = 0; i < 4; ++i)
    if (dims[i] == 0) panic("Cannot have a shape with dimension %zu set to 0", i);

  std::vector<std::shared_ptr<const Dense>> dense;
  dense.reserve(outputs.size());
  for (const auto& out : outputs) {
    if (!out) throw std::runtime_error("The device returned an empty output.");
    dense.push_back(Tensor::ensure_dense(std::shared_ptr<const Tensor>(out.get(), [](const Tensor*) {})));
  }
  const size_t bytes = dense[0]->data().size();
  const OutputFormat format = output_format(dense[0]->type());

  // Every output must fill exactly its slot of the array: (d0, d1, d2) elements, like the first one.
  const uint64_t slot = uint64_t{dims[1]} * dims[2] * dims[3] * format.element_size;
  if (bytes != slot)
    throw std::runtime_error(fmt::format(
        "The device output has {} bytes, but its first three dimensions ({}, {}, {}) give {} bytes.", bytes, dims[1],
        dims[2], dims[3], slot));
  for (size_t i = 1; i < dense.size(); ++i) {
    if (dense[i]->data().size() != bytes || dense[i]->shape().size() != first_shape.size())
      throw std::runtime_error(fmt::format(
          "Device output {} has {} bytes and {} dimensions where the first output has {} bytes and {} dimensions.", i,
          dense[i]->data().size(), dense[i]->shape().size(), bytes, first_shape.size()));
  }

  const Shape array_shape{dims[0], dims[1], dims[2], dims[3]};
  const std::vector<uint32_t> strides = Dense::eval_strides(array_shape, Dense::Layout::RowMajor);
  std::vector<py::ssize_t> shape_v(dims, dims + 4);
  std::vector<py::ssize_t> strides_v;
  for (uint32_t s : strides) strides_v.push_back(static_cast<py::ssize_t>(s) * static_cast<py::ssize_t>(format.element_size));
  py::array result(py::dtype(format.dtype), shape_v, strides_v);
  auto* out = static_cast<std::byte*>(result.mutable_data());
  for (size_t i = 0; i < dense.size(); ++i) std::memcpy(out + i * bytes, dense[i]->data().data(), bytes);
  return result;
}

}  // namespace

py::array run_device_inference(PyHardwareDevice& device, py::handle inputs, const FitLabels* labels,
                               InferenceMode mode) {
  const std::shared_ptr<Dense> input = numpy_to_dense<uint8_t>(inputs, TensorType::uint8);
  const Shape shape = input->shape();
  if (shape.size() == 0 || shape[0] == 0) throw std::invalid_argument("Number of inputs should be higher than 0");
  if (shape.size() != 2 && shape.size() != 4)
    throw std::runtime_error("Input dimensions are not correct (Should be 4 or 2).");

  const auto split = input->split();
  const std::vector<std::shared_ptr<const Tensor>> samples(split.begin(), split.end());
  const uint32_t n = static_cast<uint32_t>(samples.size());

  std::vector<int32_t> given;
  if (mode != InferenceMode::Forward && mode != InferenceMode::Predict && labels && labels->count > 0) {
    if (labels->count > 1 && labels->count != samples.size())
      throw std::runtime_error("Number of labels should be the same as number of inputs.");
    given = labels->convert();
  }

  HardwareDevice& hw = device.hw();
  hw.set_batch_size(n, true);
  hw.enable_clock_counter(true);
  const uint32_t clk0 = hw.read_clock_counter();
  const int64_t t0 = time_ms();
  std::vector<std::unique_ptr<Tensor>> outputs;
  switch (mode) {
    case InferenceMode::Forward: outputs = hw.forward(samples); break;
    case InferenceMode::Predict: outputs = hw.predict(samples); break;
    default: outputs = hw.fit(samples, given); break;
  }
  const int64_t t1 = time_ms();
  const uint32_t clk1 = hw.read_clock_counter();
  hw.enable_clock_counter(false);

  device.metrics.set("inference_frames", n);
  device.metrics.set("inference_clk", static_cast<uint32_t>(clk1 - clk0));
  device.metrics.set("inference_start", t0);
  device.metrics.set("inference_end", t1);

  if (auto* soc = dynamic_cast<SocDriver*>(hw.driver())) {
    if (const auto meter = soc->power_meter()) device.power_events = meter->events();
  }
  return assemble_outputs(outputs);
}

py::array fit_with_numpy_labels(PyHardwareDevice& device, const py::array& inputs, const py::array& labels) {
  static const char* const integer_dtypes[] = {"int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"};
  bool integer = false;
  for (const char* name : integer_dtypes) {
    if (labels.dtype().equal(py::dtype(name))) {
      integer = true;
      break;
    }
  }
  if (!integer) throw std::invalid_argument("fit method expects integers as labels");
  const FitLabels fit_labels = array_labels(labels);
  return run_device_inference(device, inputs, &fit_labels, InferenceMode::Fit);
}

}  // namespace ovrix::python
