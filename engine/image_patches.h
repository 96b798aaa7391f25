#pragma once
// How a kernel sweeps an image: the padding on each side and the output size along the two spatial axes,
// shared by the convolution and pooling kernels and by the software inference.
#include <cstdint>

#include "engine/enums.h"
#include "engine/tensor.h"

namespace ovrix {

// Built from the two kernel sizes, the two strides, a padding mode and the shape of the swept tensor.
// Axis 0 is the axis of the first kernel size. The spatial axes of the shape are dimensions 0 and 1 for a
// tensor of one to three dimensions ((d0), (d0, d1) or (d0, d1, channels)) and dimensions 1 and 2 for a
// tensor of four dimensions (samples first).
//
// Per axis, with n the input size, k the kernel and s the stride:
// - Valid: out = ceil((n - k + 1) / s), no padding; a kernel larger than the input is refused.
// - Same and SameUpper: out = ceil(n / s); the padding total is max((out - 1) s + k - n, 0), split in two
//   halves; the odd unit goes after the data with Same and before it with SameUpper.
// - A negative kernel size means global: the kernel covers the whole axis, out = 1, no padding, whatever
//   the mode and the stride.
// Every window holds at least one element of the input. Refused with std::invalid_argument: a kernel of 0,
// a stride outside 1..127, an unknown padding mode, a shape without dimensions.
struct ImagePatches {
  ImagePatches(int32_t kernel0, int32_t kernel1, int32_t stride0, int32_t stride1, Padding padding,
               const Shape& shape);

  int32_t pad0_before = 0;
  int32_t pad0_after = 0;
  int32_t pad1_before = 0;
  int32_t pad1_after = 0;
  uint32_t out0 = 0;
  uint32_t out1 = 0;
  int8_t stride0 = 1;
  int8_t stride1 = 1;
};

}  // namespace ovrix
