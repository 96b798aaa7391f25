// Running a model. An unmapped model runs in software (engine/inference.h); the batch size does not
// change software results. Mapped models are not run yet: each call says so. Mapping is in model_map.cpp.
#include <stdexcept>

#include "engine/impl/model_impl.h"
#include "engine/inference.h"

namespace ovrix::detail {

namespace {

std::shared_ptr<Tensor> run_software(const ModelImpl& model, const std::shared_ptr<Dense>& input,
                                     software::Mode mode, const std::vector<int32_t>& labels = {}) {
  if (!input) throw std::invalid_argument("Cannot run a model on a null input.");
  if (!model.sequences().empty()) throw std::runtime_error("Running a mapped model is not available yet.");
  return software::run(model.layers(), *input, mode, labels);
}

}  // namespace

std::shared_ptr<Tensor> ModelImpl::fit(std::shared_ptr<Dense> input, const std::vector<int32_t>& labels, uint32_t) {
  return run_software(*this, input, software::Mode::Fit, labels);
}

std::shared_ptr<Tensor> ModelImpl::forward(std::shared_ptr<Dense> input, uint32_t) {
  return run_software(*this, input, software::Mode::Forward);
}

std::shared_ptr<Tensor> ModelImpl::predict(std::shared_ptr<Dense> input, uint32_t) {
  return run_software(*this, input, software::Mode::Predict);
}

}  // namespace ovrix::detail
