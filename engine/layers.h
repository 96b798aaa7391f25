#pragma once
// Concrete layer kinds that callers test with dynamic_cast. Every layer made by Layer::create is a
// LayerImpl; the kinds below add what only they have.
#include "engine/layer.h"

namespace ovrix {

// v1 input convolution on the HRC.
class InputConvolutional : public LayerImpl, public HasConvParams {};

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
