// Running a mapped model: hardware sequences through forward_samples, software sequences through run.
#include <fmt/format.h>

#include <cstring>
#include <stdexcept>

#include "engine/impl/ops/dense_util.h"
#include "engine/inference.h"

namespace ovrix::software {
namespace {

// The checks `run` makes on its own layers, made here on the whole model when the run ends on hardware.
void check_mode(const std::vector<std::shared_ptr<Layer>>& layers, Mode mode) {
  if (layers.empty()) throw std::invalid_argument("Cannot run a model with no layers.");
  const Layer& last = *layers.back();
  if (mode == Mode::Predict) {
    if (layers.size() == 1 && last.params()->layer_type() == LayerType::InputData)
      throw std::invalid_argument("Cannot predict with a model made of an input layer only.");
    if (last.activation_enabled())
      throw std::runtime_error(
          fmt::format("Cannot predict with layer '{}': its activation is on (use forward).", last.get_name()));
  }
}

// One output per sample, all of the first one's shape and type, stacked along a new dimension 0.
std::shared_ptr<Dense> stack(const std::vector<std::shared_ptr<Tensor>>& outputs, size_t samples,
                             const std::string& sequence) {
  if (outputs.size() != samples)
    throw std::invalid_argument(fmt::format("Sequence '{}' gave {} outputs for {} samples.", sequence,
                                            outputs.size(), samples));
  std::vector<std::shared_ptr<const Dense>> dense;
  dense.reserve(outputs.size());
  for (const auto& o : outputs) {
    if (!o) throw std::invalid_argument(fmt::format("Sequence '{}' gave an empty output.", sequence));
    dense.push_back(Tensor::ensure_dense(o));
  }
  const Shape shape = dense.front()->shape();
  const TensorType type = dense.front()->type();
  if (shape.size() >= Shape::max_dims)
    throw std::invalid_argument(fmt::format("Sequence '{}' gave outputs of {} dimensions; at most 3 can be stacked.",
                                            sequence, shape.size()));
  Shape stacked;
  stacked.count = shape.size() + 1;
  stacked[0] = static_cast<uint32_t>(samples);
  for (size_t i = 0; i < shape.size(); ++i) stacked[i + 1] = shape[i];
  auto out = std::shared_ptr<Dense>(Dense::create(type, stacked));
  const size_t bytes = element_size(type) * dense.front()->size();
  for (size_t k = 0; k < dense.size(); ++k) {
    if (!(dense[k]->shape() == shape) || dense[k]->type() != type)
      throw std::invalid_argument(fmt::format("Sequence '{}' gave outputs of different shapes or types: {} {} then {} {}.",
                                              sequence, Tensor::type_name(type), ops::detail::shape_text(shape),
                                              Tensor::type_name(dense[k]->type()),
                                              ops::detail::shape_text(dense[k]->shape())));
    const auto row_major = dense[k]->layout() == 0 ? nullptr : ops::detail::to_row_major(*dense[k]);
    const Dense& src = row_major ? *row_major : *dense[k];
    std::memcpy(out->mutable_data().data() + k * bytes, src.data().data(), bytes);
  }
  return out;
}

std::shared_ptr<Dense> as_float(const Dense& t) {
  if (t.type() == TensorType::float32) return std::shared_ptr<Dense>(Dense::copy(
      reinterpret_cast<const char*>(t.data().data()), t.data().size(), t.type(), t.shape(),
      static_cast<Dense::Layout>(t.layout())));
  const auto row_major = t.layout() == 0 ? nullptr : ops::detail::to_row_major(t);
  const Dense& src = row_major ? *row_major : t;
  auto out = std::shared_ptr<Dense>(Dense::create(TensorType::float32, t.shape()));
  float* o = out->mutable_data_as<float>();
  auto convert = [&](const auto* p) {
    for (size_t i = 0; i < src.size(); ++i) o[i] = static_cast<float>(p[i]);
  };
  switch (src.type()) {
    case TensorType::int32: convert(src.data_as<int32_t>()); break;
    case TensorType::int16: convert(src.data_as<int16_t>()); break;
    case TensorType::uint16: convert(src.data_as<uint16_t>()); break;
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: convert(src.data_as<uint8_t>()); break;
    default: convert(src.data_as<int8_t>());
  }
  return out;
}

}  // namespace

std::shared_ptr<Tensor> run_sequences(const std::vector<std::shared_ptr<Sequence>>& sequences,
                                      const std::vector<std::shared_ptr<Layer>>& model_layers, const Dense& input,
                                      Mode mode, const std::vector<int32_t>& labels, RunCache::Lease* lease) {
  if (sequences.empty()) throw std::invalid_argument("A mapped model has no sequence to run.");
  check_mode(model_layers, mode);
  // The steps to run: every hardware sequence, and the software sequences that keep layers. After
  // another sequence, the model's input layer (left over by the mapping) has nothing to do: the model
  // input went to the first sequence.
  struct Step {
    Sequence* sequence;
    std::vector<std::shared_ptr<Layer>> layers;  // software steps
  };
  std::vector<Step> steps;
  for (size_t i = 0; i < sequences.size(); ++i) {
    if (!sequences[i]) throw std::invalid_argument("A mapped model holds a null sequence.");
    Step step{sequences[i].get(), {}};
    if (step.sequence->backend() != BackendType::Hardware) {
      for (const auto& pass : step.sequence->passes())
        if (pass)
          for (const auto& l : pass->layers)
            if (i == 0 || l->params()->layer_type() != LayerType::InputData) step.layers.push_back(l);
      if (step.layers.empty()) continue;
    }
    steps.push_back(std::move(step));
  }
  if (steps.empty()) throw std::invalid_argument("A mapped model has no sequence to run.");

  std::shared_ptr<const Dense> current(std::shared_ptr<const Dense>{}, &input);  // not owned
  // Nothing unchecked reaches a device: a software start checks the input itself.
  if (steps.front().sequence->backend() == BackendType::Hardware) current = device_input(model_layers, current);
  std::shared_ptr<Tensor> result;
  size_t software_part = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    Sequence& seq = *steps[i].sequence;
    const bool last = i + 1 == steps.size();
    const Mode here = last ? mode : Mode::Forward;
    if (seq.backend() == BackendType::Hardware) {
      auto* runnable = dynamic_cast<ForwardableSequence*>(&seq);
      if (!runnable)
        throw std::invalid_argument(fmt::format("Hardware sequence '{}' cannot run samples.", seq.name()));
      const auto parts = current->split();
      const std::vector<std::shared_ptr<const Tensor>> samples(parts.begin(), parts.end());
      std::shared_ptr<Dense> stacked =
          stack(runnable->forward_samples(samples, here == Mode::Fit ? &labels : nullptr), samples.size(), seq.name());
      if (here == Mode::Predict) stacked = as_float(*stacked);
      result = stacked;
    } else {
      const std::vector<int32_t> step_labels = here == Mode::Fit ? labels : std::vector<int32_t>{};
      result = lease ? run(lease->part(software_part++), steps[i].layers, *current, here, step_labels)
                     : run(steps[i].layers, *current, here, step_labels);
    }
    current = Tensor::ensure_dense(result);
  }
  return result;
}

}  // namespace ovrix::software
