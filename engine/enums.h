#pragma once
// Enumerations shared by the engine, the mapping core and the Python module.
#include <cstdint>

namespace ovrix {

enum class LayerType : int32_t {
  Unknown = 0,
  InputData = 1,
  InputConvolutional = 2,
  FullyConnected = 3,
  Convolutional = 4,
  SeparableConvolutional = 5,
  Add = 6,
  Concatenate = 12,
  Conv2D = 14,
  InputConv2D = 15,
  DepthwiseConv2D = 16,
  Conv2DTranspose = 17,
  Dequantizer = 19,
  DepthwiseConv2DTranspose = 20,
  BufferTempConv = 21,
  DepthwiseBufferTempConv = 22,
  Dense1D = 25,
  StatefulRecurrent = 26,
  Quantizer = 27,
  LumoPostProcessing = 28,
};

// Same: odd padding goes after; SameUpper: odd padding goes before.
enum class Padding : int32_t { Valid = 0, Same = 1, SameUpper = 2 };
enum class PoolType : int32_t { NoPooling = 0, Max = 1, Average = 2 };
enum class ActivationType : int32_t { NoActivation = 0, ReLU = 1, LUT = 2 };
enum class BackendType : int32_t { Software = 0, Hardware = 1, Hybrid = 2 };
enum class LearningType : int32_t { Unsupervised = 0 };

// Every layer kind the engine knows, in number order.
inline constexpr LayerType all_layer_types[] = {
    LayerType::InputData,        LayerType::InputConvolutional,
    LayerType::FullyConnected,   LayerType::Convolutional,
    LayerType::SeparableConvolutional, LayerType::Add,
    LayerType::Concatenate,      LayerType::Conv2D,
    LayerType::InputConv2D,      LayerType::DepthwiseConv2D,
    LayerType::Conv2DTranspose,  LayerType::Dequantizer,
    LayerType::DepthwiseConv2DTranspose, LayerType::BufferTempConv,
    LayerType::DepthwiseBufferTempConv,  LayerType::Dense1D,
    LayerType::StatefulRecurrent, LayerType::Quantizer,
    LayerType::LumoPostProcessing,
};

}  // namespace ovrix
