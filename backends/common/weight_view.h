#pragma once
// A read-only view of a 4-D weight tensor, as the editions' weight formats read it whatever the
// tensor's strides.
#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/tensor.h"

namespace ovrix {

// A read-only view of a 4-D weight tensor, element (i, j, c, f) at the sum of coordinate × stride.
// Standard convolutions: (K, K, C, F); depthwise convolutions: (K, K, 1, C). i, the first kernel
// coordinate, runs fastest in every format; j is the kernel row.
struct WeightView {
  const int8_t* data = nullptr;
  std::array<uint32_t, 4> dims{};
  std::array<uint32_t, 4> strides{};  // in elements
  size_t size = 0;                    // elements behind data

  int8_t at(uint32_t i, uint32_t j, uint32_t c, uint32_t f) const {
    return data[size_t{i} * strides[0] + size_t{j} * strides[1] + size_t{c} * strides[2] + size_t{f} * strides[3]];
  }
  // View of a signed 8-bit-stored weight tensor; another element type is refused by the tensor's
  // typed access ("Wrong requested type %s for a tensor of type %s"), a tensor that is not 4-D with
  // std::invalid_argument.
  static WeightView of(const Dense& weights);
};

}  // namespace ovrix
