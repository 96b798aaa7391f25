#pragma once
// Layers of the engine: the abstract interface every caller uses, the common implementation base,
// and the concrete kinds that callers test with dynamic_cast.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/enums.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "engine/variables.h"
#include "mapping/hw_types.h"
#include "mapping/hw_version.h"

namespace ovrix {

// Padding around a layer's input: y before/after, x before/after.
struct PaddingParams {
  uint32_t y_before = 0;
  uint32_t y_after = 0;
  uint32_t x_before = 0;
  uint32_t x_after = 0;
  friend bool operator==(const PaddingParams&, const PaddingParams&) = default;
};

// Convolution geometry, computed once the input shape is known.
struct ConvCalculatedParams {
  uint32_t output_width = 0;
  uint32_t output_height = 0;
  PaddingParams padding;
};

// Pooling geometry, computed once the input shape is known.
struct PoolingCalculatedParams {
  uint8_t stride_x = 0;
  uint8_t stride_y = 0;
  uint32_t output_width = 0;
  uint32_t output_height = 0;
  PaddingParams padding;
  uint8_t flag = 0;
};

class Layer {
 public:
  // What the mapping core attaches to a mapped layer (its components and links).
  class Mapping {
   public:
    virtual ~Mapping() = default;
  };

  virtual ~Layer() = default;

  // Never null; the layer keeps its own copy of the parameters.
  static std::shared_ptr<Layer> create(const LayerParams* params, const std::string& name);

  virtual std::string get_name() const = 0;
  // One shape per input, (width, height, channels). Before the input is known:
  // "Cannot get input size before it is set." (std::runtime_error).
  virtual std::vector<Shape> input_dimensions() const = 0;
  // "Cannot get output size before it is set." before the input is known.
  virtual Shape output_dimensions() const = 0;
  virtual uint8_t input_bits() const = 0;
  virtual uint8_t output_bits() const = 0;
  virtual bool output_signed() const = 0;
  virtual IpVersion ip_version() const = 0;
  virtual bool is_target_component(hw::TargetKind kind) const = 0;
  virtual bool splittable() const = 0;
  virtual bool is_input_layer() const = 0;
  // The layer's own parameters, valid while the layer lives.
  virtual const LayerParams* params() const = 0;
  virtual std::shared_ptr<LearningParams> learning_params() const = 0;
  virtual bool is_learning() const = 0;
  virtual std::shared_ptr<Variables> variables() const = 0;
  virtual bool activation_enabled() const = 0;
  virtual bool has_activation_type(ActivationType type) const = 0;
  virtual bool has_pool_type(PoolType type) const = 0;
  // Wiring order, no null entries.
  virtual const std::vector<std::shared_ptr<Layer>>& inbound_layers() const = 0;
  virtual const std::vector<std::shared_ptr<Layer>>& outbound_layers() const = 0;
  // Null before mapping.
  virtual std::shared_ptr<Mapping> mapping() const = 0;
  virtual uint64_t macs() const = 0;

  virtual ActivationType activation() const = 0;
  // True when the layer's output passes through an activation (v2 and lumo kinds); false on v1 kinds.
  virtual bool output_flag() const = 0;
  // True for the depthwise kinds, whose channel count follows their neuron count.
  virtual bool channels_follow_neurons() const = 0;

  // Shorter names of the calls above, which some callers use: the same results.
  std::string name() const { return get_name(); }
  std::vector<Shape> input_dims() const { return input_dimensions(); }
  Shape output_dims() const { return output_dimensions(); }
  const LayerParams* parameters() const { return params(); }
  const std::vector<std::shared_ptr<Layer>>& inbounds() const { return inbound_layers(); }
  const std::vector<std::shared_ptr<Layer>>& outbounds() const { return outbound_layers(); }
  std::shared_ptr<Mapping> mapping_ptr() const { return mapping(); }
  bool has_activation() const { return activation_enabled(); }
};

// Convolution geometry of the kinds that have one. "The layer <name> is not built." before the
// input shape is known.
class HasConvParams {
 public:
  virtual ~HasConvParams() = default;
  virtual const ConvCalculatedParams& conv_calculated_params() const = 0;
};

class HasPoolParams {
 public:
  virtual ~HasPoolParams() = default;
  virtual const PoolingCalculatedParams& pool_calculated_params() const = 0;
};

class Model;

// Base of every layer the engine makes. The mapping core sets the mapping handle when it builds
// a pass and resets it (null) when the pass goes away.
class LayerImpl : public Layer {
 public:
  std::shared_ptr<Mapping> mapping() const override { return mapping_; }
  void set_mapping(std::shared_ptr<Mapping> mapping) { mapping_ = std::move(mapping); }

 protected:
  std::shared_ptr<Mapping> mapping_;
};

}  // namespace ovrix

// The concrete layer kinds (dynamic_cast targets) are declared in engine/layers.h.
#include "engine/layers.h"
