#pragma once
// Concrete layer kinds that callers test with dynamic_cast. Every layer made by Layer::create is a
// LayerImpl; the kinds below add what only they have.
#include <array>
#include <cstdint>

#include "engine/layer.h"

namespace ovrix {

// v1 input convolution on the HRC.
class InputConvolutional : public LayerImpl, public HasConvParams, public HasPoolParams {
 public:
  // The four values the HRC registers take from a built layer: the convolution padding before and
  // after along y, then before and after along x (each at most 6 for the HRC's kernels of 3, 5 and 7).
  // "The layer <name> is not built." before the input is known.
  virtual std::array<uint32_t, 4> build_values() const = 0;
};

// v1 dense layer on an FNP; the last one of a compiled model can learn.
class FullyConnected : public LayerImpl {
 public:
  // Learning parameters of a compiled last layer, else null.
  virtual std::shared_ptr<LearningParams> learning() const = 0;
  virtual bool can_learn() const = 0;
};

class Convolutional : public LayerImpl, public HasConvParams, public HasPoolParams {};
class SeparableConvolutional : public LayerImpl, public HasConvParams, public HasPoolParams {};
class Conv2D : public LayerImpl, public HasConvParams, public HasPoolParams {};
class DepthwiseConv2D : public LayerImpl, public HasConvParams, public HasPoolParams {};
class Conv2DTranspose : public LayerImpl {};
class DepthwiseConv2DTranspose : public LayerImpl {};

}  // namespace ovrix
