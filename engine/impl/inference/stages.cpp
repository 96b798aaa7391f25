// Helpers shared by the runners: variable and parameter access, the output stage and the pooling stage.
#include <fmt/format.h>

#include <atomic>
#include <optional>
#include <string_view>
#include <stdexcept>

#include "engine/impl/inference/runner.h"
#include "engine/impl/layer_core.h"
#include "engine/impl/ops/dense_util.h"
#include "engine/impl/ops/kernels.h"
#include "engine/impl/ops/lanes.h"

namespace ovrix::software {

void Buffer::shape_as(const Shape& dims) {
  d0 = dims[0];
  d1 = dims[1];
  d2 = dims[2];
  if (is_float)
    floats.assign(size(), 0.0f);
  else
    ints.assign(size(), 0);
}

void Buffer::set_frame(const std::optional<ByteFrame>& f, std::shared_ptr<std::vector<uint8_t>> bytes) {
  if (!f) {
    if (!frame) return;
    frame.reset();
    store.reset();
    ints.assign(size(), 0);
    return;
  }
  std::vector<int32_t>().swap(ints);
  frame = f;
  store = std::move(bytes);
}

const int32_t* Buffer::values(std::vector<int32_t>& scratch) const {
  if (!frame) return ints.data();
  scratch.resize(size());
  int32_t* v = scratch.data();
  for (uint32_t i0 = 0; i0 < d0; ++i0)
    for (uint32_t i1 = 0; i1 < d1; ++i1, v += d2) {
      const uint8_t* b = bytes() + frame->at(i0, i1);
      std::copy(b, b + d2, v);
    }
  return scratch.data();
}

void Buffer::put_bytes(const int32_t* v) {
  for (uint32_t i0 = 0; i0 < d0; ++i0)
    for (uint32_t i1 = 0; i1 < d1; ++i1, v += d2) {
      uint8_t* b = bytes() + frame->at(i0, i1);
      for (uint32_t c = 0; c < d2; ++c) b[c] = static_cast<uint8_t>(v[c]);
    }
}

void Runner::unsupported_learning() const {
  throw std::runtime_error(
      fmt::format("Layer '{}' cannot learn: software learning is done by a Dense1D last layer.", layer_.get_name()));
}

void layer_error(const Layer& layer, const std::string& message) {
  throw std::invalid_argument(fmt::format("Layer '{}': {}", layer.get_name(), message));
}

int32_t param(const Layer& layer, const char* key, int32_t fallback) {
  const LayerParams* p = layer.params();
  return p && p->has(key) ? p->get(key) : fallback;
}

namespace {

std::shared_ptr<Dense> variable(const Layer& layer, const char* name) {
  auto vars = layer.variables();
  if (!vars || !vars->has(name)) return nullptr;
  return vars->get(name);
}

void check_count(const Layer& layer, const char* name, size_t got, size_t count) {
  if (count && got != count)
    layer_error(layer, fmt::format("variable \"{}\" holds {} values; {} expected.", name, got, count));
}

template <class T, class Out>
void widen_into(const Dense& t, std::vector<Out>& out) {
  ops::detail::View<T> v(t);
  out.assign(v.data(), v.data() + v.size());
}

std::atomic<uint64_t> weight_reads_{0};

void count_read(const char* name) {
  if (std::string_view(name) == "weights") weight_reads_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void replace_weights(const Layer& layer, const std::vector<int32_t>& values) {
  auto old = layer.variables()->get("weights");
  auto row_major = ops::detail::make(old->type(), old->shape());
  int8_t* dst = row_major->mutable_data_as<int8_t>();
  for (size_t i = 0; i < values.size(); ++i) dst[i] = static_cast<int8_t>(values[i]);
  std::shared_ptr<Dense> fresh = Dense::create(old->type(), old->shape(), static_cast<Dense::Layout>(old->layout()));
  ops::detail::assign_row_major(*fresh, *row_major);
  layer.variables()->set("weights", fresh);
}

uint64_t weight_reads() { return weight_reads_.load(std::memory_order_relaxed); }

namespace {
std::atomic<uint64_t> byte_frames_{0};
}  // namespace

uint64_t byte_frames() { return byte_frames_.load(std::memory_order_relaxed); }
void count_byte_frames(uint64_t n) { byte_frames_.fetch_add(n, std::memory_order_relaxed); }

namespace {

bool small_signed(TensorType type) {
  return type == TensorType::int8 || type == TensorType::int4 || type == TensorType::int2 || type == TensorType::bit;
}

}  // namespace

std::shared_ptr<const Dense> small_stored(const Layer& layer, const char* name) {
  auto t = variable(layer, name);
  if (!t || !small_signed(t->type())) return nullptr;
  count_read(name);
  return t;
}

std::vector<int8_t> small_values(const Layer& layer, const char* name) {
  auto t = variable(layer, name);
  if (!t) return {};
  if (!small_signed(t->type())) return {};
  std::vector<int8_t> out;
  widen_into<int8_t>(*t, out);
  count_read(name);
  return out;
}

std::vector<int32_t> int_values(const Layer& layer, const char* name, size_t count) {
  auto t = variable(layer, name);
  if (!t) return {};
  count_read(name);
  std::vector<int32_t> out;
  switch (t->type()) {
    case TensorType::int32: widen_into<int32_t>(*t, out); break;
    case TensorType::int16: widen_into<int16_t>(*t, out); break;
    case TensorType::uint16: widen_into<uint16_t>(*t, out); break;
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: widen_into<uint8_t>(*t, out); break;
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: widen_into<int8_t>(*t, out); break;
    default:
      layer_error(layer, fmt::format("variable \"{}\" of type {} is not an integer tensor.", name,
                                     Tensor::type_name(t->type())));
  }
  check_count(layer, name, out.size(), count);
  return out;
}

namespace {

// The values an element type holds, for the types shift variables are declared with.
std::optional<arith::Range> stored_range(TensorType type) {
  switch (type) {
    case TensorType::uint8: return arith::Range{0, 255};
    case TensorType::int8: return arith::Range{-128, 127};
    default: return std::nullopt;
  }
}

}  // namespace

std::vector<int32_t> shift_values(const Layer& layer, const char* name, size_t count) {
  std::vector<int32_t> out = int_values(layer, name, count);
  if (out.empty()) return out;
  const detail::LayerCore* core = detail::core_of(&layer);
  const auto* spec = core ? core->variable_set->spec(name) : nullptr;
  const auto stored = core ? core->variable_set->stored(name) : nullptr;
  // A tensor of the declared type holds nothing else; one set with a wider type may.
  if (!spec || !stored || stored->type() == spec->type) return out;
  const std::optional<arith::Range> range = stored_range(spec->type);
  if (!range) return out;
  for (int32_t v : out) {
    if (v < range->lo || v > range->hi)
      layer_error(layer, fmt::format("variable \"{}\" holds the shift {}, outside the {} range {} to {}.", name, v,
                                     Tensor::type_name(spec->type), range->lo, range->hi));
  }
  return out;
}

std::vector<float> float_values(const Layer& layer, const char* name, size_t count) {
  auto t = variable(layer, name);
  if (!t) return {};
  if (t->type() != TensorType::float32)
    layer_error(layer, fmt::format("variable \"{}\" of type {} is not a float32 tensor.", name,
                                   Tensor::type_name(t->type())));
  ops::detail::View<float> v(*t);
  std::vector<float> out(v.data(), v.data() + v.size());
  check_count(layer, name, out.size(), count);
  return out;
}

Shape variable_shape(const Layer& layer, const char* name) {
  auto t = variable(layer, name);
  return t ? t->shape() : Shape{};
}

namespace {
Shape dims3(const Layer& layer, Shape s, const char* what) {
  if (s.size() > 3) layer_error(layer, fmt::format("{} dimensions {} have more than 3 axes.", what, ops::detail::shape_text(s)));
  Shape out{1, 1, 1};
  for (size_t i = 0; i < s.size(); ++i) out[i] = s[i];
  return out;
}
}  // namespace

Shape input_dims3(const Layer& layer) {
  const auto dims = layer.input_dimensions();
  if (dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
  return dims3(layer, dims[0], "input");
}

Shape output_dims3(const Layer& layer) { return dims3(layer, layer.output_dimensions(), "output"); }

// ---- output stage ----

OutputStage::OutputStage(const Layer& layer, uint32_t channels, const Layer* scale_source)
    : channels_(channels),
      activation_(layer.activation()),
      range_(arith::output_range(layer.output_bits(), layer.output_signed())) {
  const auto bias = int_values(layer, "bias", channels);
  const auto bias_shift = shift_values(layer, "bias_shift", channels);
  const auto scales = scale_source ? int_values(*scale_source, "input_scales", channels)
                                   : int_values(layer, "output_scales", channels);
  const auto shifts = scale_source ? shift_values(*scale_source, "input_shift", channels)
                                   : shift_values(layer, "output_shift", channels);
  const auto max_value = int_values(layer, "max_value", channels);
  const auto max_shift = shift_values(layer, "max_value_shift", channels);
  const auto act_scales = int_values(layer, "activation_scales", channels);
  const auto act_shifts = shift_values(layer, "activation_shift", channels);
  bias_.resize(channels);
  scale_.resize(channels);
  shift_.resize(channels);
  relu_max_.resize(channels);
  act_scale_.resize(channels);
  act_shift_.resize(channels);
  for (uint32_t c = 0; c < channels; ++c) {
    // Absent variables are neutral: no bias, scale 1, no shift, no upper clamp.
    bias_[c] = arith::bias_term(bias.empty() ? 0 : bias[c], bias_shift.empty() ? 0 : uint32_t(bias_shift[c]));
    scale_[c] = scales.empty() ? 1u : uint32_t(scales[c]);
    shift_[c] = shifts.empty() ? 0 : shifts[c];
    relu_max_[c] = max_value.empty() ? arith::kInt32Max
                                     : arith::relu_max(uint32_t(max_value[c]),
                                                       max_shift.empty() ? 0u : uint32_t(max_shift[c]));
    act_scale_[c] = act_scales.empty() ? 1u : uint32_t(act_scales[c]);
    act_shift_[c] = act_shifts.empty() ? 0 : act_shifts[c];
  }
  // The fast path of outputs(): right (or no) output shifts, scales that an int32 holds.
  half_.resize(channels);
  right_.resize(channels);
  offset_.resize(channels);
  scale32_.resize(channels);
  max32_.resize(channels);
  all_right_ = true;
  for (uint32_t c = 0; c < channels; ++c) {
    all_right_ = all_right_ && shift_[c] <= 0 && scale_[c] <= uint32_t(arith::kInt32Max);
    const int k = std::min(-std::min(shift_[c], 0), 62);
    right_[c] = uint64_t(k);
    half_[c] = k > 0 ? uint64_t{1} << (k - 1) : 0;
    offset_[c] = int64_t(uint64_t{1} << (62 - k));
    scale32_[c] = int32_t(std::min<uint32_t>(scale_[c], uint32_t(arith::kInt32Max)));
    max32_[c] = int32_t(std::min<int64_t>(relu_max_[c], arith::kInt32Max));
  }
  // The 32-bit path of a ReLU: p = min(max(acc, -bias), max - bias) + bias is the potential clamped to
  // 0 .. max without leaving 32 bits, and p x scale + half stays below 2^31.
  narrow_ = all_right_ && activation_ == ActivationType::ReLU;
  for (uint32_t c = 0; c < channels && narrow_; ++c) {
    const int64_t low = -bias_[c], high = int64_t{max32_[c]} - bias_[c];
    narrow_ = low >= arith::kInt32Min && low <= arith::kInt32Max && high >= arith::kInt32Min &&
              high <= arith::kInt32Max && right_[c] < 32 &&
              int64_t{max32_[c]} * scale32_[c] + int64_t(half_[c]) <= arith::kInt32Max;
  }
  if (narrow_) {
    low32_.resize(channels);
    high32_.resize(channels);
    bias32_.resize(channels);
    half32_.resize(channels);
    right32_.resize(channels);
    for (uint32_t c = 0; c < channels; ++c) {
      low32_[c] = int32_t(-bias_[c]);
      high32_[c] = int32_t(int64_t{max32_[c]} - bias_[c]);
      bias32_[c] = int32_t(bias_[c]);
      half32_[c] = uint32_t(half_[c]);
      right32_[c] = uint32_t(right_[c]);
    }
  }
  if (activation_ == ActivationType::LUT) {
    lut_ = int_values(layer, "lut_values", 0);
    if (lut_.size() != arith::kLutEntries && lut_.size() != arith::kLutEntries + 1)
      layer_error(layer, fmt::format("a lookup-table activation needs \"lut_values\" of {} entries; got {}.",
                                     arith::kLutEntries, lut_.size()));
  }
}

int32_t OutputStage::output(int32_t p, uint32_t c) const {
  int64_t y = 0;
  switch (activation_) {
    case ActivationType::ReLU:
      y = arith::scale_shift(arith::relu(p, relu_max_[c]), scale_[c], shift_[c]);
      break;
    case ActivationType::LUT: {
      const int32_t v = arith::scale_shift(p, scale_[c], shift_[c]);
      y = arith::scale_shift(lut_[arith::lut_index(v)], act_scale_[c], act_shift_[c]);
      break;
    }
    default:
      y = arith::scale_shift(p, scale_[c], shift_[c]);
  }
  return static_cast<int32_t>(arith::clamp(y, range_));
}

namespace {

// outputs() when no output shift is a left shift, for one (positions, C) buffer. The same arithmetic as
// OutputStage::output written for the vector units: the int32 potential, the ReLU clamp, a 32 x 32 -> 64
// bit product, and the rounding right shift done as a logical shift of a value made non-negative by
// adding 2^62 (exact: 2^62 is a multiple of 2^k).
template <bool relu>
inline __attribute__((always_inline)) void outputs_right_shifted(const uint32_t* acc, size_t positions, uint32_t C,
                                                                 const int64_t* bias, const int32_t* max,
                                                                 const int32_t* scale, const uint64_t* half,
                                                                 const uint64_t* k, const int64_t* offset,
                                                                 int64_t lo, int64_t hi, int32_t* out) {
  constexpr uint64_t kOffset = uint64_t{1} << 62;
  for (size_t i = 0; i < positions; ++i, acc += C, out += C)
    for (uint32_t c = 0; c < C; ++c) {
      int64_t p = int64_t{static_cast<int32_t>(acc[c])} + bias[c];
      p = std::min<int64_t>(std::max<int64_t>(p, arith::kInt32Min), arith::kInt32Max);
      int32_t p32 = static_cast<int32_t>(p);
      if constexpr (relu) p32 = std::min(std::max(p32, 0), max[c]);
      const int64_t product = int64_t{p32} * int64_t{scale[c]};
      const int64_t y = static_cast<int64_t>((static_cast<uint64_t>(product) + half[c] + kOffset) >> k[c]) - offset[c];
      out[c] = static_cast<int32_t>(std::min(std::max(y, lo), hi));
    }
}

OVRIX_VECTOR_KERNEL void outputs_fast(bool relu, const uint32_t* acc, size_t positions, uint32_t C,
                                      const int64_t* bias, const int32_t* max, const int32_t* scale,
                                      const uint64_t* half, const uint64_t* k, const int64_t* offset, int64_t lo,
                                      int64_t hi, int32_t* out) {
  if (relu)
    outputs_right_shifted<true>(acc, positions, C, bias, max, scale, half, k, offset, lo, hi, out);
  else
    outputs_right_shifted<false>(acc, positions, C, bias, max, scale, half, k, offset, lo, hi, out);
}

// outputs() of a ReLU whose products stay within 32 bits: the same arithmetic in 32-bit lanes.
struct Narrow {
  const int32_t *low, *high, *bias, *scale;
  const uint32_t *half, *k;
  int32_t lo, hi;
};

// Position i's outputs go to out + i x stride, as int32 or (when they lie in 0 .. 255) as bytes.
template <class T>
OVRIX_VECTOR_KERNEL void outputs_narrow(const uint32_t* acc, size_t positions, uint32_t C, uint32_t c0, uint32_t c1,
                                        const Narrow& q, T* out, size_t stride) {
  for (size_t i = 0; i < positions; ++i, acc += C, out += stride)
    for (uint32_t c = c0; c < c1; ++c) {
      const int32_t p = std::min(std::max(static_cast<int32_t>(acc[c]), q.low[c]), q.high[c]) + q.bias[c];
      const int32_t y = static_cast<int32_t>((static_cast<uint32_t>(p * q.scale[c]) + q.half[c]) >> q.k[c]);
      out[c] = static_cast<T>(std::min(std::max(y, q.lo), q.hi));
    }
}

// The same for channels [c0, c1) in chunks of N lanes, then of fewer: each chunk's parameters stay in
// registers while it runs down the positions.
template <int N, class T>
inline __attribute__((always_inline)) void narrow_lanes(const uint32_t* acc, size_t positions, uint32_t C,
                                                        uint32_t c0, uint32_t c1, const Narrow& q, T* out,
                                                        size_t stride) {
  using V = typename ops::lanes::Of<N>::i32;
  using U = typename ops::lanes::Of<N>::u32;
  using ops::lanes::load, ops::lanes::store, ops::lanes::vmax, ops::lanes::vmin, ops::lanes::splat;
  for (; c0 + N <= c1; c0 += N) {
    const V low = load<V>(q.low + c0), high = load<V>(q.high + c0), bias = load<V>(q.bias + c0);
    const U scale = load<U>(q.scale + c0), half = load<U>(q.half + c0), k = load<U>(q.k + c0);
    const V hi = splat<V>(q.hi);
    const uint32_t* a = acc + c0;
    T* o = out + c0;
    // p is within 0 .. max and p x scale + half within 0 .. 2^31 - 1, so y is never below the range's
    // lowest value (0 or negative): only the top of the range clamps.
    for (size_t i = 0; i < positions; ++i, a += C, o += stride) {
      const V p = vmin(vmax(load<V>(a), low), high) + bias;
      const U y = (U(p) * scale + half) >> k;
      if constexpr (sizeof(T) == 1)
        store(o, __builtin_convertvector(vmin(V(y), hi), typename ops::lanes::Of<N>::u8));
      else
        store(o, vmin(V(y), hi));
    }
  }
  if constexpr (N > 4) narrow_lanes<N / 2>(acc, positions, C, c0, c1, q, out, stride);
  else if (c0 < c1) outputs_narrow(acc, positions, C, c0, c1, q, out, stride);
}

#if OVRIX_LANES
// Positions a block: the chunks of a block run over data still in the first-level cache.
constexpr size_t kNarrowBlock = 64;

template <class T>
OVRIX_LANES_AVX512 void narrow_avx512(const uint32_t* acc, size_t positions, uint32_t C, const Narrow& q, T* out,
                                      size_t stride) {
  for (size_t i = 0; i < positions; i += kNarrowBlock)
    narrow_lanes<16>(acc + i * C, std::min(kNarrowBlock, positions - i), C, 0, C, q, out + i * stride, stride);
}
template <class T>
OVRIX_LANES_AVX2 void narrow_avx2(const uint32_t* acc, size_t positions, uint32_t C, const Narrow& q, T* out,
                                  size_t stride) {
  for (size_t i = 0; i < positions; i += kNarrowBlock)
    narrow_lanes<8>(acc + i * C, std::min(kNarrowBlock, positions - i), C, 0, C, q, out + i * stride, stride);
}
#endif

template <class T>
void narrow_outputs(const uint32_t* acc, size_t positions, uint32_t C, const Narrow& q, T* out, size_t stride) {
  switch (ops::lanes::width()) {
#if OVRIX_LANES
    case ops::lanes::Width::avx512: return narrow_avx512(acc, positions, C, q, out, stride);
    case ops::lanes::Width::avx2: return narrow_avx2(acc, positions, C, q, out, stride);
#endif
    default: outputs_narrow(acc, positions, C, 0, C, q, out, stride);
  }
}

}  // namespace

void OutputStage::outputs(const uint32_t* acc, size_t positions, uint8_t* out, size_t stride) const {
  if (narrow_) {
    const Narrow q{low32_.data(), high32_.data(), bias32_.data(), scale32_.data(), half32_.data(), right32_.data(),
                   int32_t(range_.lo), int32_t(range_.hi)};
    return narrow_outputs(acc, positions, channels_, q, out, stride);
  }
  // The other stages through int32, a few positions at a time.
  const size_t block = std::max<size_t>(1, 4096 / channels_);
  thread_local std::vector<int32_t> wide;
  wide.resize(block * channels_);
  for (size_t i = 0; i < positions; i += block) {
    const size_t n = std::min(block, positions - i);
    outputs(acc + i * channels_, n, wide.data());
    for (size_t j = 0; j < n; ++j)
      for (uint32_t c = 0; c < channels_; ++c)
        out[(i + j) * stride + c] = static_cast<uint8_t>(wide[j * channels_ + c]);
  }
}

void OutputStage::outputs(const uint32_t* acc, size_t positions, int32_t* out) const {
  if (activation_ == ActivationType::LUT || !all_right_) {
    for (size_t i = 0; i < positions; ++i, acc += channels_, out += channels_)
      for (uint32_t c = 0; c < channels_; ++c) out[c] = output(potential(acc[c], c), c);
    return;
  }
  if (narrow_) {
    const Narrow q{low32_.data(), high32_.data(), bias32_.data(), scale32_.data(), half32_.data(), right32_.data(),
                   int32_t(range_.lo), int32_t(range_.hi)};
    return narrow_outputs(acc, positions, channels_, q, out, channels_);
  }
  outputs_fast(activation_ == ActivationType::ReLU, acc, positions, channels_, bias_.data(), max32_.data(),
               scale32_.data(), half_.data(), right_.data(), offset_.data(), range_.lo, range_.hi, out);
}

// ---- pooling stage ----

PoolStage::PoolStage(const Layer& layer, uint32_t in0, uint32_t in1) {
  g_.d0 = g_.out0 = in0;
  g_.d1 = g_.out1 = in1;
  const int32_t type = param(layer, "pool_type", 0);
  if (type == 0) return;
  if (type != 1 && type != 2) layer_error(layer, fmt::format("unknown pool type {}.", type));
  type_ = static_cast<PoolType>(type);
  const int32_t size = param(layer, "pool_size", type_ == PoolType::Average ? -1 : 1);
  if (size == 0) layer_error(layer, "a pool size cannot be 0.");
  if (size < 0) {  // global
    g_.k0 = in0;
    g_.k1 = in1;
    g_.out0 = g_.out1 = 1;
    return;
  }
  g_.k0 = g_.k1 = uint32_t(size);
  if (const auto* pooled = dynamic_cast<const HasPoolParams*>(&layer)) {
    const PoolingCalculatedParams& pc = pooled->pool_calculated_params();
    // Axis 0 is the layer's first dimension (x, the width), axis 1 its second (y, the height).
    g_.s0 = pc.stride_x;
    g_.s1 = pc.stride_y;
    g_.p0 = int32_t(pc.padding.x_before);
    g_.p1 = int32_t(pc.padding.y_before);
    g_.out0 = pc.output_width;
    g_.out1 = pc.output_height;
    try {
      ops::detail::check_sweep("pooling", 0, in0, g_.k0, g_.s0, g_.p0, g_.out0, pc.padding.x_after);
      ops::detail::check_sweep("pooling", 1, in1, g_.k1, g_.s1, g_.p1, g_.out1, pc.padding.y_after);
    } catch (const std::invalid_argument& e) {
      layer_error(layer, e.what());
    }
    return;
  }
  const int32_t stride = param(layer, "pool_stride", size);
  try {
    const ImagePatches ip(size, size, stride > 0 ? stride : size, stride > 0 ? stride : size, Padding::Valid,
                          Shape{in0, in1, 1});
    g_.s0 = uint32_t(ip.stride0);
    g_.s1 = uint32_t(ip.stride1);
    g_.out0 = ip.out0;
    g_.out1 = ip.out1;
  } catch (const std::invalid_argument& e) {
    layer_error(layer, e.what());
  }
}

namespace {

// Per-channel sums of one window over the input positions it covers, N lanes at a time, then fewer.
template <int N>
inline __attribute__((always_inline)) void window_sums(const int32_t* in, size_t C, size_t c, size_t d1,
                                                       const ops::kernel::Taps& t0, const ops::kernel::Taps& t1,
                                                       int64_t* sums) {
  using W = typename ops::lanes::Of<N>::i32;
  using S = typename ops::lanes::Of<N>::i64;
  for (; c + N <= C; c += N) {
    S s{};
    for (int64_t i0 = t0.first; i0 < t0.first + (t0.hi - t0.lo); ++i0)
      for (int64_t i1 = t1.first; i1 < t1.first + (t1.hi - t1.lo); ++i1)
        s += __builtin_convertvector(ops::lanes::load<W>(in + (size_t(i0) * d1 + size_t(i1)) * C + c), S);
    ops::lanes::store(sums + c, s);
  }
  if constexpr (N > 1) window_sums<N / 2>(in, C, c, d1, t0, t1, sums);
}

using WindowSums = void (*)(const int32_t*, size_t, size_t, const ops::kernel::Taps&, const ops::kernel::Taps&,
                            int64_t*);

void window_sums_plain(const int32_t* in, size_t C, size_t d1, const ops::kernel::Taps& t0,
                       const ops::kernel::Taps& t1, int64_t* sums) {
  std::fill(sums, sums + C, 0);
  for (int64_t i0 = t0.first; i0 < t0.first + (t0.hi - t0.lo); ++i0)
    for (int64_t i1 = t1.first; i1 < t1.first + (t1.hi - t1.lo); ++i1) {
      const int32_t* p = in + (size_t(i0) * d1 + size_t(i1)) * C;
      for (size_t c = 0; c < C; ++c) sums[c] += p[c];
    }
}

#if OVRIX_LANES
OVRIX_LANES_AVX512 void window_sums_avx512(const int32_t* in, size_t C, size_t d1, const ops::kernel::Taps& t0,
                                           const ops::kernel::Taps& t1, int64_t* sums) {
  window_sums<8>(in, C, 0, d1, t0, t1, sums);
}
OVRIX_LANES_AVX2 void window_sums_avx2(const int32_t* in, size_t C, size_t d1, const ops::kernel::Taps& t0,
                                       const ops::kernel::Taps& t1, int64_t* sums) {
  window_sums<4>(in, C, 0, d1, t0, t1, sums);
}
#endif

// Sums each pooling window over the input positions it covers (padding is not counted) and hands
// emit the window's index, its per-channel sums and how many positions were summed.
template <class Emit>
void sum_windows(const int32_t* in, uint32_t channels, const ops::kernel::Sweep& g, Emit emit) {
  WindowSums sum = window_sums_plain;
#if OVRIX_LANES
  if (ops::lanes::width() == ops::lanes::Width::avx512) sum = window_sums_avx512;
  if (ops::lanes::width() == ops::lanes::Width::avx2) sum = window_sums_avx2;
#endif
  std::vector<int64_t> sums(channels);
  for (uint32_t o0 = 0; o0 < g.out0; ++o0) {
    const auto t0 = ops::kernel::taps(o0, g.s0, g.p0, g.k0, g.d0);
    for (uint32_t o1 = 0; o1 < g.out1; ++o1) {
      const auto t1 = ops::kernel::taps(o1, g.s1, g.p1, g.k1, g.d1);
      sum(in, channels, g.d1, t0, t1, sums.data());
      emit(size_t(o0) * g.out1 + o1, sums.data(), (t0.hi - t0.lo) * (t1.hi - t1.lo));
    }
  }
}

}  // namespace

void PoolStage::pool(const int32_t* in, uint32_t channels, int32_t* out) const {
  if (type_ == PoolType::Max) {
    ops::kernel::max_pool(in, channels, g_, false, out);
    return;
  }
  // Average over the input positions of each window.
  sum_windows(in, channels, g_, [&](size_t window, const int64_t* sums, int64_t count) {
    int32_t* o = out + window * channels;
    for (uint32_t c = 0; c < channels; ++c) o[c] = static_cast<int32_t>(arith::average_round(sums[c], count));
  });
}

void PoolStage::pool_outputs(const OutputStage& stage, const uint32_t* acc, uint32_t channels, int32_t* scratch,
                             int32_t* out) const {
  const size_t positions = size_t(g_.d0) * g_.d1;
  if (!active()) {
    stage.outputs(acc, positions, out);
    return;
  }
  // Every window holds an input position, and the stage never lowers its output when the accumulator
  // grows: the largest accumulator of a window gives its largest output.
  const size_t pooled = size_t(g_.out0) * g_.out1;
  if (type_ == PoolType::Max && stage.non_decreasing() && pooled <= positions) {
    ops::kernel::max_pool(reinterpret_cast<const int32_t*>(acc), channels, g_, false, scratch);
    stage.outputs(reinterpret_cast<const uint32_t*>(scratch), pooled, out);
    return;
  }
  stage.outputs(acc, positions, scratch);
  pool(scratch, channels, out);
}

void PoolStage::pool_predict(const int32_t* potentials, uint32_t channels, const OutputStage& stage,
                             float* out) const {
  if (!active()) {
    const size_t positions = size_t(g_.d0) * g_.d1;
    for (size_t i = 0; i < positions; ++i)
      for (uint32_t c = 0; c < channels; ++c)
        out[i * channels + c] = stage.predict(potentials[i * channels + c], c);
    return;
  }
  if (type_ == PoolType::Max) {
    std::vector<int32_t> pooled(size_t(g_.out0) * g_.out1 * channels);
    ops::kernel::max_pool(potentials, channels, g_, false, pooled.data());
    for (size_t i = 0; i < pooled.size(); ++i) out[i] = stage.predict(pooled[i], uint32_t(i % channels));
    return;
  }
  sum_windows(potentials, channels, g_, [&](size_t window, const int64_t* sums, int64_t count) {
    float* o = out + window * channels;
    for (uint32_t c = 0; c < channels; ++c) o[c] = stage.predict(sums[c], c, count);
  });
}

}  // namespace ovrix::software
