#pragma once
// Software tensor operations of the engine: the integer kernels from which the software inference of
// every layer is built, exposed one by one (the Python `nn` submodule calls them for testing and
// comparison with the hardware). Their arithmetic is described in engine/README.md ("Integer arithmetic").
//
// Common rules:
// - Arguments are dense tensors of the element type each operation names (a tensor of another type is
//   refused with "Wrong requested type %s for a tensor of type %s"); any layout is accepted. Results are
//   new row-major tensors; int32 unless said otherwise.
// - "Per channel" tensors broadcast over the last dimension of the main operand: they hold one value for
//   all elements, one per position of the last dimension, or one per element.
// - n, where an operation takes it, is the width of the result in bits (1 to 32): results are saturated to
//   the signed n-bit range. 32 leaves them as computed.
// - Image tensors are (d0, d1) with one channel, (d0, d1, C), or (N, d0, d1, C) with samples first; the
//   result has three dimensions, or four for four-dimensional inputs. Axis 0 is d0, the axis of the first
//   kernel size, stride and padding.
// - Shapes and sizes are checked once at the entry; a mismatch is refused with std::invalid_argument.
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/tensor.h"

namespace ovrix::ops {

// a x 2^b (b uint8, per channel), saturated to n bits.
std::unique_ptr<Dense> lshift(const Dense& a, const Dense& b, int32_t n);
// a shifted by b (int8, per channel; positive left, negative right rounding toward minus infinity),
// saturated to n bits.
std::unique_ptr<Dense> shift(const Dense& a, const Dense& b, int32_t n);
// The output shift: as `shift`, but right shifts round half up.
std::unique_ptr<Dense> shift_out(const Dense& a, const Dense& b, int32_t n);

// Matrix product of a (..., K) or (M, K) with b (K, N), or with b given as (N, K) when b_transposed; result
// (..., N), accumulated in a wrapping 32-bit register, then saturated to n bits.
std::unique_ptr<Dense> matmul(const Dense& a, const Dense& b, int32_t n, bool b_transposed);
// a + b (b per channel), saturated to n bits.
std::unique_ptr<Dense> add(const Dense& a, const Dense& b, int32_t n);
// Concatenation along the last dimension; all tensors int32, same leading dimensions.
std::unique_ptr<Dense> concatenate_last_dim(const std::vector<std::shared_ptr<const Dense>>& tensors);

// Output scaling: a x s (uint8 or uint16, per channel), then the output shift c (int8, per channel,
// rounding half up); saturated to the n-bit range, signed when m is non-zero, else unsigned [0, 2^n - 1].
std::unique_ptr<Dense> scale_out(const Dense& a, const Dense& s, const Dense& c, int32_t n, int32_t m);

// Convolution of the image x with w (k0, k1, C, F) int8 (missing trailing dimensions count as 1): output
// position (o0, o1) reads the input from (o0 x stride0 - pad0_before, o1 x stride1 - pad1_before); inputs
// outside the image are 0. Result (out0, out1, F), saturated to n bits.
std::unique_ptr<Dense> conv2d_v2(const Dense& x, int8_t stride0, int8_t stride1, int32_t pad0_before,
                                 int32_t pad1_before, uint32_t out0, uint32_t out1, const Dense& w, int32_t n);
// Depthwise convolution: w (k0, k1, 1, C) or (k0, k1, C) int8, one kernel per channel; result
// (out0, out1, C).
std::unique_ptr<Dense> depthwise_conv2d(const Dense& x, int8_t stride0, int8_t stride1, int32_t pad0_before,
                                        int32_t pad1_before, uint32_t out0, uint32_t out1, const Dense& w);

// Filters (k0, k1, C, F) int8 in the order the input convolution reads them: (F, k0 x k1 x C) int8, tap
// (r0, r1, c) of filter f at column (r0 x k1 + r1) x C + c.
std::unique_ptr<Dense> linearize_filters(const Dense& w);
// Input convolution of the uint8 image x with linearized filters (F, k0 x k1 x C) int8; positions outside
// the image read the channel's padding value t (uint8, per channel). The paddings before and after must
// describe windows inside the padded image. Result (out0, out1, F).
std::unique_ptr<Dense> input_conv2d(const Dense& x, const Dense& t, int8_t stride0, int8_t stride1,
                                    int32_t pad1_before, int32_t pad1_after, int32_t pad0_before,
                                    int32_t pad0_after, uint32_t out0, uint32_t out1, uint32_t k0, uint32_t k1,
                                    const Dense& filters);

// Transposed convolution of the image x with w (k0, k1, C, F) int8: input position i contributes
// x[i] x w[r] to output position i x stride + r - pad along each axis; outputs outside (out0, out1) are
// dropped. Result (out0, out1, F).
std::unique_ptr<Dense> conv2d_transpose(const Dense& x, const Dense& w, int32_t stride, int32_t pad0,
                                        int32_t pad1, uint32_t out0, uint32_t out1);
// Depthwise transposed convolution, w (k0, k1, 1, C) or (k0, k1, C) int8; result (out0, out1, C).
std::unique_ptr<Dense> depthwise_conv2d_transpose(const Dense& x, const Dense& w, int32_t stride, int32_t pad0,
                                                  int32_t pad1, uint32_t out0, uint32_t out1);

// float32(a) x s (float32, per channel), a float32 tensor.
std::unique_ptr<Dense> dequantize(const Dense& a, const Dense& s);
// ReLU with a per-channel maximum b (int32, not negative): min(max(a, 0), b).
std::unique_ptr<Dense> relu_activation(const Dense& a, const Dense& b);
// Lookup table b (int32, 2048 entries, or 2049 whose last is unused): b[clamp(a, -1024, 1023) + 1024].
std::unique_ptr<Dense> look_up(const Dense& a, const Dense& b);

// Average over the spatial positions of an image, rounded half up, saturated to n bits; result
// (1, 1, C) or (N, 1, 1, C).
std::unique_ptr<Dense> global_average_pooling(std::shared_ptr<const Dense> a, int32_t n);
// Max pooling of an image with a k0 x k1 window (a negative size covers the whole axis). Padded positions
// are skipped, or count as 0 when pad_as_zero; every window must hold an element of the image. Result
// (out0, out1, C), saturated to n bits.
std::unique_ptr<Dense> max_pooling(std::shared_ptr<const Dense> x, int8_t k0, int8_t k1, bool pad_as_zero,
                                   uint32_t out0, uint32_t out1, int8_t stride0, int8_t stride1,
                                   int32_t pad1_before, int32_t pad1_after, int32_t pad0_before,
                                   int32_t pad0_after, int32_t n);

// Pushes one frame v into the FIFO q (int8, (T, ...) with v holding one frame of q.size() / T elements):
// every frame moves one place back, the last one drops out, v becomes frame 0 (the newest).
void fifo_op(Dense& q, const Dense& v);
// Temporal depthwise product of a FIFO a (T, ...) int32 with taps b (T x C values, int8, read as (T, C)):
// result[..., c] = sum over t of a[t, ..., c] x b[t, c], accumulated in a wrapping 32-bit register and
// saturated to n bits. The result has a's shape without its first dimension (or (1) for a of one
// dimension).
std::unique_ptr<Dense> depthwise_like_conv(const Dense& a, const Dense& b, int32_t n);

// One step of a diagonal complex recurrence (a state of R values, real part c and imaginary part d,
// int32, updated in place): u = b (R, K) int8 times the input a (K values) int32;
// c' = round((e c - f d) / 2^n) + u x 2^m, d' = round((e d + f c) / 2^n), with e and f (R values, int16)
// the real and imaginary parts of the decay, n from 0 to 62 and m a signed shift (right shifts round half
// up); all saturated to int32. Returns (c', d') as new (R) tensors, also written into c and d.
std::pair<std::unique_ptr<Dense>, std::unique_ptr<Dense>> update_internal_state(const Dense& a, const Dense& b,
                                                                                Dense& c, Dense& d,
                                                                                const Dense& e, const Dense& f,
                                                                                int32_t n, int32_t m);
// Keeps every k-th time step of a (time is the second-to-last dimension, or the only one): steps 0, k,
// 2k, ...; k from 1.
std::unique_ptr<Dense> subsampling(const Dense& a, uint8_t k);
// Post-processing of one channel: v = a x b (int16, per channel) shifted by n (rounding half up) and
// saturated to int16; with binary set the result is 1 where v >= c (uint16, per channel) and 0 elsewhere,
// otherwise v where v >= c and 0 elsewhere. An int16 tensor.
std::unique_ptr<Dense> lumo_post_processing(const Dense& a, const Dense& b, const Dense& c, int32_t n,
                                            bool binary);

}  // namespace ovrix::ops
