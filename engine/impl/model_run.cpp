// Running and mapping a model. Not available in the engine yet: each call says so.
#include <stdexcept>

#include "engine/impl/model_impl.h"

namespace ovrix::detail {

std::shared_ptr<Tensor> ModelImpl::fit(std::shared_ptr<Dense>, const std::vector<int32_t>&, uint32_t) {
  throw std::runtime_error("Model.fit is not available yet.");
}

std::shared_ptr<Tensor> ModelImpl::forward(std::shared_ptr<Dense>, uint32_t) {
  throw std::runtime_error("Model.forward is not available yet.");
}

std::shared_ptr<Tensor> ModelImpl::predict(std::shared_ptr<Dense>, uint32_t) {
  throw std::runtime_error("Model.predict is not available yet.");
}

void ModelImpl::map(std::shared_ptr<Device>, bool, std::shared_ptr<MapConstraints>) {
  throw std::runtime_error("Model.map is not available yet.");
}

}  // namespace ovrix::detail
