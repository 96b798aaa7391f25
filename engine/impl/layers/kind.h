#pragma once
// What distinguishes one layer kind from another: its parameter keys, its answers about targets and
// editions, and how it computes its shapes, bit widths and variables once its inputs are known.
// One KindRules object per LayerType, defined in the file of its kind under engine/impl/layers/.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "engine/variables.h"
#include "mapping/hw_types.h"
#include "mapping/hw_version.h"

namespace ovrix::detail {

using ParamMap = std::map<std::string, int32_t>;

// Accepted values of a parameter.
enum class Range {
  Any,          // every 32-bit value (activation codes the kind does not know are kept and reported)
  Positive,     // 1 and above
  NonNegative,  // 0 and above
  Flag,         // 0 or 1
  Bits,         // 1 to 32
  WeightBits,   // 1 to 8
  Byte,         // 0 to 255
  Small,        // 1 to 255 (kernel sizes and strides)
  PaddingKind,  // Padding: 0 to 2
  PoolKind,     // PoolType: 0 to 2
  PoolSize,     // -1 (global) or 1 to 255
  V1PoolStride  // any negative value (stands for the pool size) or 1 to 255
};

enum class KeyUse {
  Required,  // create refuses a set without it
  Default,   // filled with `def` when missing
  Optional   // absent unless given
};

struct KeySpec {
  const char* name;
  KeyUse use;
  int32_t def;
  Range range;
};

// The input a layer receives from one inbound layer (or from its own keys, for input layers).
struct InputSignal {
  Shape dims;
  uint8_t bits = 0;
  bool is_signed = false;
};

// Bit widths and sign that a kind reports; inputs are null while the layer is not built.
struct Signals {
  uint8_t input_bits = 0;
  uint8_t output_bits = 0;
  bool output_signed = false;
};

struct VariableSpec {
  std::string name;
  TensorType type;
  Shape shape;
  Dense::Layout layout = Dense::Layout::RowMajor;
  // A second element type the kind's readers take for this variable (the wider lumo scales).
  std::optional<TensorType> also = std::nullopt;
};

// Everything a layer knows once its inputs are known.
struct Geometry {
  std::vector<Shape> input_dims;
  Shape output_dims;
  Signals signals;
  std::optional<ConvCalculatedParams> conv;
  std::optional<PoolingCalculatedParams> pool;
  std::optional<std::array<uint32_t, 4>> build_values;
  std::vector<VariableSpec> variables;
  uint64_t macs = 0;
};

class KindRules {
 public:
  virtual ~KindRules() = default;

  virtual LayerType type() const = 0;
  virtual std::span<const KeySpec> keys() const = 0;
  // Fills defaults that depend on other keys (called after the plain defaults).
  virtual void complete(ParamMap& values) const { (void)values; }

  virtual IpVersion ip_version() const = 0;
  virtual hw::TargetKind target() const = 0;
  virtual bool is_input() const { return false; }
  // Add and Concatenate take any number of inputs; every other non-input kind takes one.
  virtual bool merges() const { return false; }
  virtual bool splittable() const { return false; }
  virtual bool channels_follow_neurons() const { return false; }
  virtual ActivationType activation(const LayerParams& params) const;
  virtual PoolType pool_type(const LayerParams& params) const;
  virtual bool output_flag(const LayerParams& params) const;
  virtual Signals signals(const LayerParams& params, const std::vector<InputSignal>* inputs) const = 0;

  // Geometry for these inputs; std::invalid_argument (naming the layer) when they do not fit.
  virtual Geometry build(const LayerParams& params, const std::vector<InputSignal>& inputs,
                         const std::string& name) const = 0;
  // A new layer object of the kind's concrete class.
  virtual std::shared_ptr<Layer> make(std::unique_ptr<LayerParams> params, const std::string& name) const = 0;
};

// The rules of a kind; std::invalid_argument for a type the engine does not know.
const KindRules& kind_rules(LayerType type);

// Rules of each kind, defined in its own file.
const KindRules& input_data_rules();
const KindRules& input_convolutional_rules();
const KindRules& fully_connected_rules();
const KindRules& convolutional_rules();
const KindRules& separable_convolutional_rules();
const KindRules& add_rules();
const KindRules& concatenate_rules();
const KindRules& conv2d_rules();
const KindRules& depthwise_conv2d_rules();
const KindRules& input_conv2d_rules();
const KindRules& conv2d_transpose_rules();
const KindRules& depthwise_conv2d_transpose_rules();
const KindRules& dequantizer_rules();
const KindRules& quantizer_rules();
const KindRules& buffer_temp_conv_rules();
const KindRules& depthwise_buffer_temp_conv_rules();
const KindRules& dense1d_rules();
const KindRules& stateful_recurrent_rules();
const KindRules& lumo_post_processing_rules();

// ---- helpers shared by the kinds ----

[[noreturn]] void refuse_build(const std::string& layer, const std::string& why);

// One input of a single-input kind.
const InputSignal& single_input(const std::vector<InputSignal>& inputs, const std::string& layer);

// Output size and padding along one axis of a convolution or pooling window.
struct AxisWindow {
  uint32_t out = 0;
  uint32_t before = 0;
  uint32_t after = 0;
};
// n input values, window k, stride s (both at least 1). Valid: ceil((n - k + 1) / s), 0 when k > n.
// Same and SameUpper: ceil(n / s), padded so the windows cover the input; the odd padding value
// goes after (Same) or before (SameUpper).
AxisWindow window_axis(uint64_t n, uint32_t k, uint32_t s, Padding padding);

ConvCalculatedParams conv_geometry(const Shape& in, uint32_t kx, uint32_t ky, uint32_t sx, uint32_t sy,
                                   Padding padding);

// Pooling of the convolution output. `global` covers the whole output (1 x 1, flag 1).
struct PoolRequest {
  PoolType type = PoolType::NoPooling;
  bool global = false;
  uint32_t size_x = 1, size_y = 1;
  uint32_t stride_x = 1, stride_y = 1;
  Padding padding = Padding::Valid;
};
PoolingCalculatedParams pool_geometry(uint32_t width, uint32_t height, const PoolRequest& request);

// A convolution followed by pooling of its output.
struct ConvPool {
  ConvCalculatedParams conv;
  PoolingCalculatedParams pool;
};
// Pools the output of `conv` as asked; refuses an empty output of a layer with input `in`.
ConvPool conv_then_pool(const std::string& name, const Shape& in, const ConvCalculatedParams& conv,
                        const PoolRequest& request);

// The signed storage type for weights of that many bits: bit, int2, int4 or int8.
TensorType weights_type(int32_t bits);

// The per-output-channel variables of the v2 and lumo kinds: "bias", "bias_shift", "output_scales",
// "output_shift"; with ReLU also "max_value", "max_value_shift"; with a lookup table (when allowed)
// "activation_shift", "activation_scales" and "lut_values".
void add_output_variables(std::vector<VariableSpec>& vars, uint32_t channels, ActivationType activation,
                          bool lookup_table_allowed);

// Number of entries of a "lut_values" table.
inline constexpr uint32_t lut_entries = 2048;

// Saturating product, for MAC counts.
uint64_t mul_sat(std::initializer_list<uint64_t> factors);

// Value of a key known to be in the set (the parameter sets are validated when made).
inline int32_t key(const LayerParams& params, const char* name) { return params.get(name); }

// Activation of a v2 or lumo kind: the "activation" key as an ActivationType.
ActivationType v2_activation(const LayerParams& params);
// Bits and sign of a v2 or lumo kind whose output width is its "output_bits" key.
Signals v2_signals(const LayerParams& params, const std::vector<InputSignal>* inputs);

}  // namespace ovrix::detail
