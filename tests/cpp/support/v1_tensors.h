#pragma once
// Weight and variable tensors for the v1 tests, filled from a repeating list of values taken in the
// order of the logical coordinates (last fastest), whatever the storage layout.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/tensor.h"

namespace ovrix::v1::testing {

inline std::shared_ptr<Dense> filled(TensorType type, const Shape& shape, const std::vector<int>& cycle,
                                     Dense::Layout layout = Dense::Layout::Reversed) {
  std::shared_ptr<Dense> t = Dense::create(type, shape, layout);
  const std::vector<uint32_t> strides = t->strides();
  const uint64_t n = shape.elements();
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t rest = i, index = 0;
    for (size_t d = shape.size(); d-- > 0;) {
      index += (rest % shape[d]) * strides[d];
      rest /= shape[d];
    }
    const int v = cycle[i % cycle.size()];
    if (type == TensorType::int32)
      t->mutable_data_as<int32_t>()[index] = v;
    else if (type == TensorType::int16)
      t->mutable_data_as<int16_t>()[index] = static_cast<int16_t>(v);
    else if (type == TensorType::float32)
      t->mutable_data_as<float>()[index] = static_cast<float>(v);
    else
      t->mutable_data_as<int8_t>()[index] = static_cast<int8_t>(v);
  }
  return t;
}

}  // namespace ovrix::v1::testing
