// Running a model. An unmapped model runs in software, a mapped one through its sequences
// (engine/inference.h); the batch size does not change software results. Mapping is in model_map.cpp.
#include <stdexcept>

#include "engine/impl/model_impl.h"
#include "engine/inference.h"

namespace ovrix::detail {

namespace {

std::shared_ptr<Tensor> run_model(ModelImpl& model, const std::shared_ptr<Dense>& input, software::Mode mode,
                                  const std::vector<int32_t>& labels = {}) {
  if (!input) throw std::invalid_argument("Cannot run a model on a null input.");
  // Repeated calls reuse the runners and buffers of the last one (software::RunState).
  software::RunCache::Lease lease(model.run_cache());
  if (!model.sequences().empty())
    return software::run_sequences(model.sequences(), model.layers(), *input, mode, labels, &lease);
  return software::run(lease.part(0), model.layers(), *input, mode, labels);
}

}  // namespace

std::shared_ptr<Tensor> ModelImpl::fit(std::shared_ptr<Dense> input, const std::vector<int32_t>& labels, uint32_t) {
  return run_model(*this, input, software::Mode::Fit, labels);
}

std::shared_ptr<Tensor> ModelImpl::forward(std::shared_ptr<Dense> input, uint32_t) {
  return run_model(*this, input, software::Mode::Forward);
}

std::shared_ptr<Tensor> ModelImpl::predict(std::shared_ptr<Dense> input, uint32_t) {
  return run_model(*this, input, software::Mode::Predict);
}

}  // namespace ovrix::detail
