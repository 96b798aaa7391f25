// Free functions of the engine: bit widths and threshold steps.
#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "engine/engine.h"
#include "engine/variables.h"
#include "mapping/host_hooks.h"

namespace ovrix {

namespace {

// Bits of v as an unsigned number (0 for 0).
int32_t unsigned_bits(uint64_t v) { return v == 0 ? 0 : 64 - std::countl_zero(v); }

// Bits of v in two's complement, the sign bit included (1 for 0 and -1).
int32_t signed_bits(int64_t v) { return unsigned_bits(static_cast<uint64_t>(v < 0 ? ~v : v)) + 1; }

template <class T>
int32_t widest(const Dense& t) {
  const T* p = reinterpret_cast<const T*>(t.data().data());
  int32_t bits = 0;
  if constexpr (std::is_signed_v<T>) {
    T lo = 0, hi = 0;
    for (size_t i = 0; i < t.size(); ++i) {
      lo = std::min(lo, p[i]);
      hi = std::max(hi, p[i]);
    }
    bits = std::max(signed_bits(lo), signed_bits(hi));
  } else {
    T hi = 0;
    for (size_t i = 0; i < t.size(); ++i) hi = std::max(hi, p[i]);
    bits = unsigned_bits(hi);
  }
  return bits;
}

}  // namespace

int32_t evaluate_bitwidth(const Dense& tensor) {
  switch (tensor.type()) {
    case TensorType::int32: return widest<int32_t>(tensor);
    case TensorType::int16: return widest<int16_t>(tensor);
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return widest<int8_t>(tensor);
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return widest<uint8_t>(tensor);
    case TensorType::uint16: return widest<uint16_t>(tensor);
    case TensorType::float32: break;
  }
  throw std::invalid_argument(std::string("Cannot evaluate the bit width of a ") + Tensor::type_name(tensor.type()) +
                              " tensor.");
}

MappingStatus check_bitwidth(const Layer& layer, uint32_t bits, const std::string& name, bool is_unsigned) {
  // The element type decides how values are counted (signed types count their sign bit): both
  // editions write these variables into fields of the variable's own signedness, so the flag they
  // pass does not change the verdict.
  (void)is_unsigned;
  auto vars = layer.variables();
  if (!vars || !vars->has(name)) return MappingStatus::success();
  std::shared_ptr<const Dense> tensor;
  if (const auto* own = dynamic_cast<const VariablesImpl*>(vars.get()); own && !own->stored(name)) {
    // A variable never set holds zeros of its type, as wide as one zero: its full-size tensor (one
    // value per channel, however many channels a layer the rules will refuse asks for) is not made.
    tensor = Dense::create(own->spec(name)->type, Shape{1});
  } else {
    tensor = vars->get(name);
  }
  if (!tensor) return MappingStatus::success();
  const int32_t needed = evaluate_bitwidth(*tensor);
  if (needed <= static_cast<int64_t>(bits)) return MappingStatus::success();
  return MappingStatus(layer.get_name(),
                       fmt::format("Variable {} needs {} bits, more than the {} allowed.", name, needed, bits));
}

std::unique_ptr<Dense> get_threshold_t16_from_act_steps(const Dense& act_steps) {
  const float* steps = act_steps.data_as<float>();
  auto out = Dense::create(TensorType::int32, act_steps.shape(), act_steps.dense_layout());
  int32_t* p = out->mutable_data_as<int32_t>();
  for (size_t i = 0; i < act_steps.size(); ++i) {
    // Sixteenths of a step, rounded to nearest with halves away from zero.
    const double v = std::round(16.0 * static_cast<double>(steps[i]));
    if (!(v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max())) {
      // Six decimals, as printf's %f gives them.
      throw std::runtime_error(fmt::format("Activation step {:f} at index {} does not fit a 32-bit threshold step.",
                                           static_cast<double>(steps[i]), i));
    }
    p[i] = static_cast<int32_t>(v);
  }
  return out;
}

}  // namespace ovrix
