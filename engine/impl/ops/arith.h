#pragma once
// The integer arithmetic of the engine, defined once. Every kernel (engine/impl/ops) and every layer of
// the software inference (engine/impl/inference) computes through these helpers, so the NumPy reference
// of the tests (tests/python/reference.py) mirrors exactly this file. engine/README.md describes it.
//
// Conventions:
// - Activations and potentials are 32-bit signed values. Products and sums that may leave that range are
//   taken in 64 bits and saturated once, except the multiply-accumulate of a convolution or a matrix
//   product, which is a 32-bit two's-complement accumulator that wraps (order-independent, like the
//   hardware's adder).
// - A shift amount s > 0 shifts left (saturating), s < 0 shifts right by -s. The plain shift rounds toward
//   minus infinity; the output shift rounds half up (adds 2^(k-1) before shifting right by k).
// - "n bits" saturation clamps to the signed n-bit range [-2^(n-1), 2^(n-1) - 1], n from 1 to 32.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace ovrix::arith {

inline constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
inline constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

// Closed interval of representable outputs.
struct Range {
  int64_t lo = kInt32Min;
  int64_t hi = kInt32Max;
};

// Signed n-bit range, n in 1..32 (callers validate n; anything above 32 is the 32-bit range).
inline Range signed_range(int bits) {
  if (bits >= 32) return {kInt32Min, kInt32Max};
  return {-(int64_t{1} << (bits - 1)), (int64_t{1} << (bits - 1)) - 1};
}

// Unsigned n-bit range, capped to what an int32 holds.
inline Range unsigned_range(int bits) {
  if (bits >= 31) return {0, kInt32Max};
  return {0, (int64_t{1} << bits) - 1};
}

inline Range output_range(int bits, bool is_signed) {
  return is_signed ? signed_range(bits) : unsigned_range(bits);
}

inline int64_t clamp(int64_t v, Range r) { return v < r.lo ? r.lo : (v > r.hi ? r.hi : v); }
inline int32_t clamp32(int64_t v) { return static_cast<int32_t>(clamp(v, Range{})); }

// v x 2^s for s >= 0, saturated to the int32 range (v is any int64 below 2^62 in magnitude).
inline int64_t shift_left_sat(int64_t v, int s) {
  if (v == 0) return 0;
  if (v > kInt32Max || v < kInt32Min || s >= 32) return v > 0 ? kInt32Max : kInt32Min;
  return clamp32(v * (int64_t{1} << s));
}

// Right shift by k >= 0 toward minus infinity.
inline int64_t shift_right_floor(int64_t v, int k) { return v >> std::min(k, 63); }

// Right shift by k >= 0, rounding half up. |v| stays below 2^60 in every caller, so adding the half never
// overflows; shifts of 62 and more give the same result as 62 (0 or -1 never occur: the rounded value
// of anything below 2^60 in magnitude shifted by 62 is 0).
inline int64_t shift_right_round(int64_t v, int k) {
  if (k <= 0) return v;
  k = std::min(k, 62);
  return (v + (int64_t{1} << (k - 1))) >> k;
}

// Signed shift toward minus infinity (s > 0 left, saturating to int32; s < 0 right).
inline int64_t shift_floor(int64_t v, int s) { return s >= 0 ? shift_left_sat(v, s) : shift_right_floor(v, -s); }

// Signed shift rounding half up (the output shift).
inline int64_t shift_round(int64_t v, int s) { return s >= 0 ? shift_left_sat(v, s) : shift_right_round(v, -s); }

// Output scaling: p x scale, then the output shift; saturated to int32.
inline int32_t scale_shift(int32_t p, uint32_t scale, int shift) {
  return clamp32(shift_round(int64_t{p} * int64_t{scale}, shift));
}

// Bias term added to an accumulator: bias x 2^bias_shift, saturated to int32.
inline int64_t bias_term(int32_t bias, uint32_t bias_shift) {
  return shift_left_sat(bias, static_cast<int>(std::min<uint32_t>(bias_shift, 32)));
}

// Potential of an output: the wrapped 32-bit accumulator plus the bias term, saturated to int32.
inline int32_t add_bias(int32_t acc, int64_t bias) { return clamp32(int64_t{acc} + bias); }

// Upper clamp of a ReLU: max_value x 2^max_value_shift, saturated to int32.
inline int64_t relu_max(uint32_t max_value, uint32_t max_value_shift) {
  return shift_left_sat(max_value, static_cast<int>(std::min<uint32_t>(max_value_shift, 32)));
}

// ReLU on a potential: clamp to [0, max].
inline int32_t relu(int32_t p, int64_t max) { return static_cast<int32_t>(std::clamp<int64_t>(p, 0, max)); }

// Lookup-table index of a value: the value clamped to [-1024, 1023], offset by 1024 (2048 entries).
inline constexpr int kLutEntries = 2048;
inline int lut_index(int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, -1024, 1023) + 1024); }

// Average of `count` values whose sum is `sum`, rounded half up: floor((2 sum + count) / (2 count)).
inline int64_t average_round(int64_t sum, int64_t count) {
  const int64_t num = 2 * sum + count;
  const int64_t den = 2 * count;
  int64_t q = num / den;
  if ((num % den != 0) && ((num < 0) != (den < 0))) --q;  // floor division
  return q;
}

// The v1 firing law of a CNP neuron: the potential p against the filter's threshold t and its activation
// step s16 in sixteenths (16 x act_step). Levels 0 .. 2^bits - 1: 0 while p <= t, then one level per
// started step above the threshold, ceil(16 (p - t) / s16), capped at the top level; a step of 0 jumps
// straight to the top level. Computed in 64 bits, so no potential or threshold wraps.
inline int32_t v1_fire(int64_t p, int64_t t, int64_t s16, uint32_t bits) {
  const int64_t top = bits >= 31 ? INT32_MAX : (int64_t{1} << bits) - 1;
  if (p <= t) return 0;
  if (s16 <= 0) return static_cast<int32_t>(top);
  const int64_t above = 16 * (p - t);  // |p - t| < 2^33: no overflow
  return static_cast<int32_t>(std::min<int64_t>(top, (above + s16 - 1) / s16));
}

// Wrapping 32-bit multiply-accumulate: the accumulator is computed in unsigned arithmetic (defined
// overflow) and read back as two's complement.
inline uint32_t mac(uint32_t acc, int32_t a, int32_t b) {
  return acc + static_cast<uint32_t>(a) * static_cast<uint32_t>(b);
}
inline int32_t as_signed(uint32_t v) { return static_cast<int32_t>(v); }

// Floating outputs of `predict`: p x scale x 2^shift (then divided by a pooling count), computed in double
// with one rounding to float32 at the end.
inline float predict_value(int64_t p, uint32_t scale, int shift, int64_t count = 1) {
  double v = std::ldexp(static_cast<double>(p) * static_cast<double>(scale), shift);
  if (count != 1) v /= static_cast<double>(count);
  return static_cast<float>(v);
}

// ---- The TNP-R recurrence and its post-processing ----

// A stateful recurrent layer keeps, per state channel, a complex state (re, im) that decays by the
// channel's complex coefficient A = (A_real + i A_imag) / 2^decay_shift and takes in the projected
// input u scaled by the channel's scale and shift. Both parts are saturated to int32; the decay
// products round half up.
struct ComplexState {
  int32_t re = 0;
  int32_t im = 0;
};

// The fixed point of the layers' 16-bit decay coefficients (A_real, A_imag in units of 2^-15).
inline constexpr int kStateDecayShift = 15;

inline ComplexState state_update(ComplexState s, int32_t a_re, int32_t a_im, int32_t u, uint32_t scale, int shift,
                                 int decay_shift) {
  const int64_t re = shift_right_round(int64_t{a_re} * s.re - int64_t{a_im} * s.im, decay_shift);
  const int64_t im = shift_right_round(int64_t{a_re} * s.im + int64_t{a_im} * s.re, decay_shift);
  return {clamp32(re + shift_round(int64_t{u} * int64_t{scale}, shift)), clamp32(im)};
}

// What a state channel hands to the output projection: its real part shifted by the channel's
// internal_state_outputs_shift (half up), saturated to 16 bits.
inline int32_t state_output(int32_t re, int shift) {
  return static_cast<int32_t>(clamp(shift_round(re, shift), signed_range(16)));
}

// Post-processing of a value v: v x scale, shifted (half up), saturated to 16 bits; kept when it
// reaches the threshold (1 instead in binary mode), 0 otherwise.
inline int32_t post_process(int64_t v, int32_t scale, int shift, uint32_t threshold, bool binary) {
  const int64_t x = clamp(shift_round(v * scale, shift), signed_range(16));
  if (x < int64_t{threshold}) return 0;
  return binary ? 1 : static_cast<int32_t>(x);
}

}  // namespace ovrix::arith
