#pragma once
// PyModel: the object behind the Python class Model. It owns one engine model and keeps beside it
// what the Python side holds between calls.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "mapping/power_meter.h"
#include "python/labels.h"
#include "python/metrics.h"

namespace ovrix::python {

namespace py = pybind11;

class PyModel {
 public:
  // Loads a saved model file: one raw snappy block holding the engine's serialized model.
  explicit PyModel(const std::string& filename);
  // A new model holding copies of the layers (same names, parameters, wiring, variables, learning),
  // preceded by an "InputData" layer when the first one does not take the model input itself.
  explicit PyModel(const std::vector<std::shared_ptr<Layer>>& layers);

  void add(std::shared_ptr<Layer> layer, const std::vector<std::shared_ptr<Layer>>& inbound_layers);
  // Rebuilds the compiled last FullyConnected layer with room for more classes, keeping the learnt
  // weights of the existing neurons. A refusal leaves the model as it was.
  void add_classes(int32_t num_add_classes);
  void pop_layer();
  void compile(const LearningParams& optimizer);
  // Writes the raw snappy compression of to_buffer(); any failure to write raises.
  void save_model_file(const std::string& model_file) const;
  py::bytes to_buffer() const;

  // Inference (python/model_inference.cpp): fit with a number, an integer array or a list of labels,
  // each turned into a label vector; forward and predict; the predicted classes of evaluate.
  py::array fit_scalar_label(const py::array& inputs, const NumberLabel& label, uint32_t batch_size);
  py::array fit_numpy_labels(const py::array& inputs, const py::array& labels, uint32_t batch_size);
  py::array fit_list_labels(const py::array& inputs, const py::list& labels, uint32_t batch_size);
  py::array fit(const py::array& inputs, const std::vector<int32_t>& labels, uint32_t batch_size);
  py::array fit(const py::array& inputs, const FitLabels& labels, uint32_t batch_size);
  py::array forward(const py::array& inputs, uint32_t batch_size);
  py::array predict(const py::array& inputs, uint32_t batch_size);
  std::vector<int32_t> predict_labels(const py::array& inputs, uint32_t num_classes, uint32_t batch_size);

  // What inferences leave (python/model_inference.cpp): metrics by name, overwritten key by key, and
  // the power events copied after the last inference.
  PyMetrics metrics;
  std::vector<PowerMeter::PowerEvent> power_events;

  Model& core() { return *model_; }
  const Model& core() const { return *model_; }

 private:
  std::unique_ptr<Model> model_;
};

// Model.evaluate: the share of samples whose predicted class is their label (python/model_inference.cpp).
float evaluate_accuracy(PyModel& model, const py::array& inputs, const py::array& labels, uint32_t num_classes,
                        uint32_t batch_size);

// Saved model files: the raw snappy block of a serialized model, and back. Loading refuses files that
// cannot be read or whose block announces more bytes than a snappy block of that size can hold;
// Model::from_buffer validates what was decompressed.
std::vector<char> read_model_file(const std::string& filename);
void write_model_file(const std::string& filename, const std::vector<uint8_t>& serialized);

}  // namespace ovrix::python
