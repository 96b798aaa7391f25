#include "engine/image_patches.h"

#include <fmt/format.h>

#include <stdexcept>

namespace ovrix {
namespace {

struct Axis {
  int32_t before = 0;
  int32_t after = 0;
  uint32_t out = 0;
};

Axis sweep(int32_t kernel, int32_t stride, Padding padding, uint32_t n, int axis) {
  if (kernel == 0) throw std::invalid_argument(fmt::format("Kernel size along axis {} cannot be 0.", axis));
  if (kernel < 0) return {0, 0, 1};  // global
  const int64_t k = kernel;
  const int64_t s = stride;
  Axis a;
  switch (padding) {
    case Padding::Valid:
      if (k > n)
        throw std::invalid_argument(fmt::format(
            "Kernel size {} is larger than the input size {} along axis {} with Valid padding.", k, n, axis));
      a.out = static_cast<uint32_t>((n - k + 1 + s - 1) / s);
      return a;
    case Padding::Same:
    case Padding::SameUpper: {
      a.out = static_cast<uint32_t>((n + s - 1) / s);
      const int64_t total = std::max<int64_t>((int64_t{a.out} - 1) * s + k - n, 0);
      const int64_t half = total / 2;
      a.before = static_cast<int32_t>(padding == Padding::Same ? half : total - half);
      a.after = static_cast<int32_t>(total - a.before);
      return a;
    }
  }
  throw std::invalid_argument(fmt::format("Unknown padding mode {}.", static_cast<int>(padding)));
}

}  // namespace

ImagePatches::ImagePatches(int32_t kernel0, int32_t kernel1, int32_t s0, int32_t s1, Padding padding,
                           const Shape& shape) {
  if (shape.size() == 0) throw std::invalid_argument("Cannot sweep a tensor without dimensions.");
  if (padding != Padding::Valid && padding != Padding::Same && padding != Padding::SameUpper)
    throw std::invalid_argument(fmt::format("Unknown padding mode {}.", static_cast<int>(padding)));
  for (int32_t s : {s0, s1})
    if (s < 1 || s > 127) throw std::invalid_argument(fmt::format("Stride {} is out of range (1 to 127).", s));
  uint32_t n0 = 0, n1 = 1;
  if (shape.size() == 4) {
    n0 = shape[1];
    n1 = shape[2];
  } else {
    n0 = shape[0];
    if (shape.size() >= 2) n1 = shape[1];
  }
  const Axis a0 = sweep(kernel0, s0, padding, n0, 0);
  const Axis a1 = sweep(kernel1, s1, padding, n1, 1);
  pad0_before = a0.before;
  pad0_after = a0.after;
  pad1_before = a1.before;
  pad1_after = a1.after;
  out0 = a0.out;
  out1 = a1.out;
  stride0 = static_cast<int8_t>(s0);
  stride1 = static_cast<int8_t>(s1);
}

}  // namespace ovrix
