// Model.fit, forward, predict and evaluate, with the metrics and power events an inference leaves on
// the Python model object. init_model (model.cpp) registers them among the Model's members.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/device.h"
#include "engine/inference.h"
#include "engine/model.h"
#include "engine/tensor.h"
#include "mapping/host_hooks.h"
#include "mapping/power_meter.h"
#include "python/bindings.h"
#include "python/metrics.h"
#include "python/model.h"
#include "python/model_docs.h"
#include "python/tensor_conversion.h"

namespace ovrix::python {
namespace {

// The one call of the engine model an inference makes, given the input tensor.
using InferenceCall = std::function<std::shared_ptr<Tensor>(std::shared_ptr<Dense>)>;

// Converts the input, runs the call once between two time stamps (and two clock-counter readings on
// a hardware device), records the metrics and copies the power events. labels: the number of labels of
// a fit, refused before anything changes unless there is none, one, or one per sample.
std::shared_ptr<Tensor> run_inference(PyModel& model, const py::array& inputs, const InferenceCall& call,
                                      uint64_t labels = 0) {
  Model& core = model.core();
  if (core.layer_count() == 0) throw std::invalid_argument("Cannot perform an inference on a model with no layers");

  // The engine only reads its input: a C-contiguous array is read where it lies.
  std::shared_ptr<Dense> input;
  const py::dtype dtype = inputs.dtype();
  if (dtype.equal(py::dtype("int8")))
    input = numpy_input<int8_t>(inputs, TensorType::int8);
  else if (dtype.equal(py::dtype("uint8")))
    input = numpy_input<uint8_t>(inputs, TensorType::uint8);
  else if (dtype.equal(py::dtype("int16")))
    input = numpy_input<int16_t>(inputs, TensorType::int16);
  else if (dtype.equal(py::dtype("float32")))
    input = numpy_input<float>(inputs, TensorType::float32);
  else
    throw std::invalid_argument("Input dtype should be int8, uint8, int16 or float32.");
  software::check_label_count(input->shape()[0], labels);

  model.power_events.clear();
  const int64_t frames = input->shape()[0];

  HardwareDevice* hw = nullptr;
  if (const std::shared_ptr<Device> device = core.device()) hw = device->hardware();
  uint32_t clk_start = 0;
  if (hw) {
    hw->enable_clock_counter(true);
    clk_start = hw->read_clock_counter();
  }
  const int64_t start = time_ms();
  std::shared_ptr<Tensor> output = call(input);
  const int64_t end = time_ms();
  if (hw) {
    const uint32_t clk_end = hw->read_clock_counter();
    hw->enable_clock_counter(false);
    model.metrics.set("inference_clk", static_cast<uint32_t>(clk_end - clk_start));
    model.metrics.set("program_clk", hw->program_clock_count());
  }
  model.metrics.set("inference_frames", frames);
  model.metrics.set("inference_start", start);
  model.metrics.set("inference_end", end);
  if (hw) {
    if (auto* soc = dynamic_cast<SocDriver*>(hw->driver())) {
      if (const auto meter = soc->power_meter()) model.power_events = meter->events();
    }
  }
  return output;
}

[[noreturn]] void not_integer_labels() { throw py::type_error("fit method expects integers as labels"); }

}  // namespace

py::array PyModel::fit(const py::array& inputs, const FitLabels& labels, uint32_t batch_size) {
  // Counted before they are converted: labels that the count refuses are never copied.
  auto output = run_inference(
      *this, inputs,
      [&](std::shared_ptr<Dense> input) { return core().fit(std::move(input), labels.convert(), batch_size); },
      labels.count);
  return take_tensor(std::move(output));
}

py::array PyModel::fit(const py::array& inputs, const std::vector<int32_t>& labels, uint32_t batch_size) {
  return fit(inputs, FitLabels{labels.size(), [&] { return labels; }}, batch_size);
}

py::array PyModel::fit_scalar_label(const py::array& inputs, const NumberLabel& label, uint32_t batch_size) {
  const auto value = whole_number_label(label.value);
  if (!value) not_integer_labels();
  return fit(inputs, std::vector<int32_t>{*value}, batch_size);
}

py::array PyModel::fit_numpy_labels(const py::array& inputs, const py::array& labels, uint32_t batch_size) {
  const py::module_ numpy = py::module_::import("numpy");
  if (!numpy.attr("issubdtype")(labels.dtype(), numpy.attr("integer")).cast<bool>()) not_integer_labels();
  return fit(inputs, array_labels(labels), batch_size);
}

py::array PyModel::fit_list_labels(const py::array& inputs, const py::list& labels, uint32_t batch_size) {
  std::vector<int32_t> converted;
  converted.reserve(labels.size());
  try {
    for (const py::handle item : labels) converted.push_back(item.cast<int32_t>());
  } catch (const std::exception&) {
    not_integer_labels();
  }
  return fit(inputs, converted, batch_size);
}

py::array PyModel::forward(const py::array& inputs, uint32_t batch_size) {
  return take_tensor(run_inference(*this, inputs, [&](std::shared_ptr<Dense> input) {
    return core().forward(std::move(input), batch_size);
  }));
}

py::array PyModel::predict(const py::array& inputs, uint32_t batch_size) {
  return take_tensor(run_inference(*this, inputs, [&](std::shared_ptr<Dense> input) {
    return core().predict(std::move(input), batch_size);
  }));
}

namespace {

// Arg-max over groups of neurons: each sample's values, in buffer order, form num_classes runs of g
// values; run k votes for class k. The first maximum wins; a sample never above the start value keeps -1.
template <class T>
void vote(const T* values, uint64_t size, uint32_t samples, uint32_t classes, T start, std::vector<int32_t>& out) {
  const uint64_t runs = uint64_t{classes} * samples;
  const uint64_t g = runs == 0 ? 0 : size / runs;
  if (size < runs) return;
  for (uint32_t i = 0; i < samples; ++i) {
    T best = start;
    for (uint32_t k = 0; k < classes; ++k) {
      const T* run = values + (uint64_t{i} * classes + k) * g;
      for (uint64_t j = 0; j < g; ++j) {
        if (best < run[j]) {
          best = run[j];
          out[i] = static_cast<int32_t>(k);
        }
      }
    }
  }
}

}  // namespace

std::vector<int32_t> PyModel::predict_labels(const py::array& inputs, uint32_t num_classes, uint32_t batch_size) {
  Model& core = this->core();
  if (core.layer_count() == 0) throw std::invalid_argument("Cannot perform an inference on a model with no layers");
  if (num_classes == 0) {
    const Shape out_shape = core.output_shape();
    num_classes = out_shape.size() >= 3 ? out_shape[2] : (out_shape.size() ? out_shape[out_shape.size() - 1] : 0);
  }
  const bool activation = core.layers().back()->activation_enabled();
  auto output = run_inference(*this, inputs, [&](std::shared_ptr<Dense> input) {
    return activation ? core.forward(std::move(input), batch_size) : core.predict(std::move(input), batch_size);
  });

  const TensorType type = output->type();
  switch (type) {
    case TensorType::int32:
    case TensorType::float32:
    case TensorType::int8:
    case TensorType::bit:  // stored as signed bytes, read as int8
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: break;
    default: throw std::runtime_error(std::string("cannot evaluate on a Tensor of type ") + Tensor::type_name(type));
  }
  if (num_classes < 2)
    throw std::invalid_argument("Cannot classify with " + std::to_string(num_classes) + "class(es).");
  const Shape shape = output->shape();
  const uint32_t neurons = shape.size() >= 4 ? shape[3] : (shape.size() ? shape[shape.size() - 1] : 0);
  if (neurons % num_classes != 0)
    throw std::invalid_argument("The number of neurons [" + std::to_string(neurons) + "] is not a multiple of " +
                                " the number of classes [" + std::to_string(num_classes) + "].");
  const uint32_t samples = shape.size() ? shape[0] : 0;
  std::vector<int32_t> predictions(samples, -1);
  const std::shared_ptr<const Dense> dense = Tensor::ensure_dense(output);
  const uint64_t size = dense->size();
  switch (type) {
    case TensorType::int32:
      vote<int32_t>(dense->data_as<int32_t>(), size, samples, num_classes, std::numeric_limits<int32_t>::min(),
                    predictions);
      break;
    case TensorType::float32:
      vote<float>(dense->data_as<float>(), size, samples, num_classes, std::numeric_limits<float>::lowest(),
                  predictions);
      break;
    case TensorType::int8:
    case TensorType::bit:
      vote<int8_t>(dense->data_as<int8_t>(), size, samples, num_classes, std::numeric_limits<int8_t>::min(),
                   predictions);
      break;
    default: vote<uint8_t>(dense->data_as<uint8_t>(), size, samples, num_classes, 0, predictions);
  }
  return predictions;
}

float evaluate_accuracy(PyModel& model, const py::array& inputs, const py::array& labels, uint32_t num_classes,
                        uint32_t batch_size) {
  if (labels.ndim() != 1) throw std::invalid_argument("Labels must be 1-D.");
  if (inputs.ndim() == 0 || inputs.shape(0) != labels.shape(0))
    throw std::invalid_argument("Inputs and labels must have the same size.");
  if (!labels.dtype().equal(py::dtype("int32"))) throw std::invalid_argument("Labels must be int32.");
  const std::vector<int32_t> predictions = model.predict_labels(inputs, num_classes, batch_size);
  const auto typed = py::array_t<int32_t>::ensure(labels);
  float matches = 0;
  for (size_t i = 0; i < predictions.size(); ++i)
    if (predictions[i] == typed.at(static_cast<py::ssize_t>(i))) matches += 1;
  if (predictions.empty()) return 0.0f;
  return matches / static_cast<float>(labels.size());
}

}  // namespace ovrix::python
