#include "backends/common/weight_view.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace ovrix {

WeightView WeightView::of(const Dense& weights) {
  const int8_t* data = weights.data_as<int8_t>();
  const Shape shape = weights.shape();
  if (shape.size() != 4)
    throw std::invalid_argument("Weights must have 4 dimensions (got " + std::to_string(shape.size()) + ").");
  const std::vector<uint32_t> strides = weights.strides();
  WeightView view;
  view.data = data;
  view.size = weights.size();
  for (size_t d = 0; d < 4; ++d) {
    view.dims[d] = shape[d];
    view.strides[d] = strides.at(d);
  }
  return view;
}

}  // namespace ovrix
