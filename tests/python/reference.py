"""NumPy reference of the engine's integer arithmetic (engine/README.md, "Integer arithmetic").

Written from the description, independently of the C++ kernels: every nn function and every layer kind
of the software inference is compared bit for bit with these functions. Integers are computed in int64;
32-bit accumulators wrap like the engine's.
"""
import numpy as np

INT32_MIN = -(2 ** 31)
INT32_MAX = 2 ** 31 - 1
LUT_ENTRIES = 2048

# ---------------------------------------------------------------- arithmetic helpers


def signed_range(bits):
    if bits >= 32:
        return INT32_MIN, INT32_MAX
    return -(1 << (bits - 1)), (1 << (bits - 1)) - 1


def unsigned_range(bits):
    if bits >= 31:
        return 0, INT32_MAX
    return 0, (1 << bits) - 1


def output_range(bits, is_signed):
    return signed_range(bits) if is_signed else unsigned_range(bits)


def i64(a):
    return np.asarray(a, dtype=np.int64)


def wrap32(a):
    """Two's-complement 32-bit wrap of int64 values."""
    a = i64(a)
    return ((a + 2 ** 31) % 2 ** 32) - 2 ** 31


def sat(a, lo, hi):
    return np.clip(i64(a), lo, hi)


def sat32(a):
    return sat(a, INT32_MIN, INT32_MAX)


def shift_left_sat(v, s):
    """v * 2**s for s >= 0, saturated to int32."""
    v, s = np.broadcast_arrays(i64(v), i64(s))
    big = (v > INT32_MAX) | (v < INT32_MIN) | (s >= 32)
    shifted = np.where(big, 0, v) << np.minimum(s, 31)
    out = np.where(big, np.where(v > 0, INT32_MAX, INT32_MIN), sat32(shifted))
    return np.where(v == 0, 0, out)


def shift_right_floor(v, k):
    return i64(v) >> np.minimum(i64(k), 63)


def shift_right_round(v, k):
    v, k = np.broadcast_arrays(i64(v), i64(k))
    kk = np.clip(k, 1, 62)
    rounded = (v + (np.int64(1) << (kk - 1))) >> kk
    return np.where(k <= 0, v, rounded)


def shift_floor(v, s):
    v, s = np.broadcast_arrays(i64(v), i64(s))
    return np.where(s >= 0, shift_left_sat(v, np.maximum(s, 0)), shift_right_floor(v, np.maximum(-s, 0)))


def shift_round(v, s):
    v, s = np.broadcast_arrays(i64(v), i64(s))
    return np.where(s >= 0, shift_left_sat(v, np.maximum(s, 0)), shift_right_round(v, np.maximum(-s, 0)))


def scale_shift(p, scale, shift):
    return sat32(shift_round(i64(p) * i64(scale), shift))


def bias_term(bias, bias_shift):
    return shift_left_sat(bias, np.minimum(i64(bias_shift), 32))


def relu_max(max_value, max_value_shift):
    return shift_left_sat(max_value, np.minimum(i64(max_value_shift), 32))


def lut_index(v):
    return np.clip(i64(v), -1024, 1023) + 1024


def average_round(total, count):
    return (2 * i64(total) + count) // (2 * i64(count))


def predict_value(p, scale, shift, count=1):
    v = np.ldexp(i64(p).astype(np.float64) * i64(scale).astype(np.float64), i64(shift))
    if np.any(np.asarray(count) != 1):
        v = v / np.asarray(count, dtype=np.float64)
    return v.astype(np.float32)


def per_channel(b, a_shape):
    """Broadcast of a per-channel operand: 1 value, one per last-axis position, or one per element."""
    b = np.asarray(b).reshape(-1)
    total = int(np.prod(a_shape))
    if b.size == 1:
        return np.full(a_shape, b[0], dtype=np.int64) if b.dtype.kind in "iu" else np.full(a_shape, b[0])
    if b.size == a_shape[-1]:
        return np.broadcast_to(b, a_shape)
    if b.size == total:
        return b.reshape(a_shape)
    raise ValueError("cannot broadcast")


# ---------------------------------------------------------------- geometry


def sweep(kernel, stride, padding, n):
    """(pad_before, pad_after, out) of one axis; padding 0 Valid, 1 Same, 2 SameUpper."""
    if kernel < 0:
        return 0, 0, 1
    if padding == 0:
        if kernel > n:
            raise ValueError("kernel larger than input")
        return 0, 0, -(-(n - kernel + 1) // stride)
    out = -(-n // stride)
    total = max((out - 1) * stride + kernel - n, 0)
    half = total // 2
    before = half if padding == 1 else total - half
    return before, total - before, out


def image_patches(k0, k1, s0, s1, padding, shape):
    if len(shape) == 4:
        n0, n1 = shape[1], shape[2]
    else:
        n0, n1 = shape[0], (shape[1] if len(shape) >= 2 else 1)
    b0, a0, o0 = sweep(k0, s0, int(padding), n0)
    b1, a1, o1 = sweep(k1, s1, int(padding), n1)
    return dict(pad0_before=b0, pad0_after=a0, pad1_before=b1, pad1_after=a1, out0=o0, out1=o1, stride0=s0, stride1=s1)


def as_images(x):
    """(samples, d0, d1, C) view of an image array and a function giving results their rank back."""
    x = np.asarray(x)
    if x.ndim == 2:
        return x[None, :, :, None], lambda r: r[0]
    if x.ndim == 3:
        return x[None], lambda r: r[0]
    return x, lambda r: r


def padded(x, p0, p1, out0, out1, k0, k1, s0, s1, value=0):
    """x (d0, d1, C) padded so that every window of the sweep is inside."""
    d0, d1 = x.shape[0], x.shape[1]
    after0 = max((out0 - 1) * s0 + k0 - d0 - p0, 0)
    after1 = max((out1 - 1) * s1 + k1 - d1 - p1, 0)
    if np.ndim(value) == 0:
        return np.pad(x, ((p0, after0), (p1, after1), (0, 0)), constant_values=value)
    out = np.empty((d0 + p0 + after0, d1 + p1 + after1, x.shape[2]), dtype=x.dtype)
    out[...] = np.asarray(value, dtype=x.dtype)
    out[p0:p0 + d0, p1:p1 + d1] = x
    return out


def windows(xp, r0, r1, out0, out1, s0, s1):
    return xp[r0:r0 + s0 * (out0 - 1) + 1:s0, r1:r1 + s1 * (out1 - 1) + 1:s1]


def conv_sample(x, w, s0, s1, p0, p1, out0, out1, pad_value=0):
    """Standard convolution of one (d0, d1, C) sample with w (k0, k1, C, F); int64 sums."""
    k0, k1 = w.shape[0], w.shape[1]
    xp = padded(i64(x), p0, p1, out0, out1, k0, k1, s0, s1, pad_value)
    acc = np.zeros((out0, out1, w.shape[3]), dtype=np.int64)
    for r0 in range(k0):
        for r1 in range(k1):
            acc += windows(xp, r0, r1, out0, out1, s0, s1) @ i64(w[r0, r1])
    return acc


def depthwise_sample(x, w, s0, s1, p0, p1, out0, out1):
    """w (k0, k1, C)."""
    k0, k1 = w.shape[0], w.shape[1]
    xp = padded(i64(x), p0, p1, out0, out1, k0, k1, s0, s1)
    acc = np.zeros((out0, out1, x.shape[2]), dtype=np.int64)
    for r0 in range(k0):
        for r1 in range(k1):
            acc += windows(xp, r0, r1, out0, out1, s0, s1) * i64(w[r0, r1])
    return acc


def transpose_sample(x, w, stride, p0, p1, out0, out1, depthwise=False):
    """Input position i adds x[i] w[r] to output i * stride + r - p; w (k0, k1, C, F) or (k0, k1, C)."""
    k0, k1 = w.shape[0], w.shape[1]
    d0, d1 = x.shape[0], x.shape[1]
    F = x.shape[2] if depthwise else w.shape[3]
    big = np.zeros((max(out0 + p0, (d0 - 1) * stride + k0) + 1, max(out1 + p1, (d1 - 1) * stride + k1) + 1, F),
                   dtype=np.int64)
    for r0 in range(k0):
        for r1 in range(k1):
            contrib = i64(x) * i64(w[r0, r1]) if depthwise else i64(x) @ i64(w[r0, r1])
            big[r0:r0 + stride * (d0 - 1) + 1:stride, r1:r1 + stride * (d1 - 1) + 1:stride] += contrib
    return big[p0:p0 + out0, p1:p1 + out1]


def conv_weights4(w):
    w = np.asarray(w)
    while w.ndim < 4:
        w = w[..., None]
    return w


# ---------------------------------------------------------------- the nn functions


def lshift(a, b, n):
    a = i64(a)
    return sat(shift_left_sat(a, per_channel(b, a.shape)), *signed_range(n)).astype(np.int32)


def shift(a, b, n):
    a = i64(a)
    return sat(shift_floor(a, per_channel(b, a.shape)), *signed_range(n)).astype(np.int32)


def shift_out(a, b, n):
    a = i64(a)
    return sat(shift_round(a, per_channel(b, a.shape)), *signed_range(n)).astype(np.int32)


def matmul(a, b, n, transposed):
    b = i64(b)
    if transposed:
        b = b.T
    return sat(wrap32(i64(a) @ b), *signed_range(n)).astype(np.int32)


def add(a, b, n):
    a = i64(a)
    return sat(a + per_channel(b, a.shape), *signed_range(n)).astype(np.int32)


def concatenate(a, b):
    return np.concatenate([np.asarray(a, np.int32), np.asarray(b, np.int32)], axis=-1)


def scale_out(a, s, c, n, m):
    a = i64(a)
    lo, hi = output_range(n, m != 0)
    return sat(scale_shift(a, per_channel(s, a.shape), per_channel(c, a.shape)), lo, hi).astype(np.int32)


def conv2d(x, w, stride, padding, n):
    w = conv_weights4(w)
    xs, back = as_images(x)
    ip = image_patches(w.shape[0], w.shape[1], stride, stride, padding, np.shape(x))
    out = np.stack([conv_sample(s, w, stride, stride, ip["pad0_before"], ip["pad1_before"], ip["out0"], ip["out1"])
                    for s in xs])
    return back(sat(wrap32(out), *signed_range(n)).astype(np.int32))


def depthwise_weights(w):
    w = np.asarray(w)
    return w.reshape(w.shape[0], w.shape[1], -1)


def depthwise_conv2d(x, w, stride):
    w3 = depthwise_weights(w)
    xs, back = as_images(x)
    ip = image_patches(w3.shape[0], w3.shape[1], stride, stride, 1, np.shape(x))
    out = np.stack([depthwise_sample(s, w3, stride, stride, ip["pad0_before"], ip["pad1_before"], ip["out0"],
                                     ip["out1"]) for s in xs])
    return back(wrap32(out).astype(np.int32))


def input_conv2d(x, w, stride, padding, t, _unused=0):
    w = conv_weights4(w)
    xs, back = as_images(x)
    ip = image_patches(w.shape[0], w.shape[1], stride, stride, padding, np.shape(x))
    pads = np.broadcast_to(np.asarray(t, np.int64).reshape(-1), (xs.shape[3],))
    out = np.stack([conv_sample(s, w, stride, stride, ip["pad0_before"], ip["pad1_before"], ip["out0"], ip["out1"],
                                pad_value=pads) for s in xs])
    return back(wrap32(out).astype(np.int32))


def conv2d_transpose(x, w, stride):
    w = conv_weights4(w)
    xs, back = as_images(x)
    k0, k1 = w.shape[0], w.shape[1]
    p0 = 0 if k0 < stride else (k0 - stride) // 2
    p1 = 0 if k1 < stride else (k1 - stride) // 2
    out = np.stack([transpose_sample(s, w, stride, p0, p1, stride * xs.shape[1], stride * xs.shape[2]) for s in xs])
    return back(wrap32(out).astype(np.int32))


def dequantize(a, s):
    a = np.asarray(a, np.int32)
    return (a.astype(np.float32) * per_channel(np.asarray(s, np.float32), a.shape).astype(np.float32)).astype(
        np.float32)


def relu_activation(a, b):
    a = i64(a)
    return np.clip(a, 0, per_channel(b, a.shape)).astype(np.int32)


def look_up(a, b):
    return i64(b)[lut_index(a)].astype(np.int32)


def global_average_pooling(a, n):
    xs, back = as_images(a)
    sums = i64(xs).sum(axis=(1, 2), keepdims=True)
    return back(sat(average_round(sums, xs.shape[1] * xs.shape[2]), *signed_range(n)).astype(np.int32))


def max_pool_sample(x, k0, k1, s0, s1, p0, p1, out0, out1):
    xp = padded(i64(x), p0, p1, out0, out1, k0, k1, s0, s1, value=np.iinfo(np.int64).min)
    best = np.full((out0, out1, x.shape[2]), np.iinfo(np.int64).min, dtype=np.int64)
    for r0 in range(k0):
        for r1 in range(k1):
            best = np.maximum(best, windows(xp, r0, r1, out0, out1, s0, s1))
    return best


def max_pooling(x, k0, k1, s0, s1, padding, n):
    xs, back = as_images(x)
    ip = image_patches(k0, k1, s0, s1, padding, np.shape(x))
    kk0 = np.int8(np.uint8(k0).view(np.int8))  # the kernel sizes travel as signed bytes
    w0 = xs.shape[1] if kk0 < 0 else int(kk0)
    w1 = xs.shape[2] if k1 < 0 else int(k1)
    out = np.stack([max_pool_sample(s, w0, w1, s0, s1, ip["pad0_before"], ip["pad1_before"], ip["out0"], ip["out1"])
                    for s in xs])
    return back(sat(out, *signed_range(n)).astype(np.int32))


def fifo_op(q, v):
    q = np.array(q, dtype=np.int8)
    q[1:] = q[:-1].copy()
    q[0] = np.asarray(v, np.int8).reshape(q.shape[1:])
    return q


def depth_conv_like_op(a, b, n):
    a = i64(a)
    T = a.shape[0]
    C = a.shape[-1] if a.ndim >= 2 else 1
    taps = i64(b).reshape(T, C)
    if a.ndim == 1:
        out = (a * taps[:, 0]).sum(keepdims=True)
    else:
        out = (a * taps.reshape((T,) + (1,) * (a.ndim - 2) + (C,))).sum(axis=0)
    return sat(wrap32(out), *signed_range(n)).astype(np.int32)


STATE_DECAY_SHIFT = 15


def state_update(re, im, a_re, a_im, u, scale, shift, decay_shift):
    """One step of the complex state: A (re, im) / 2**decay_shift plus u * scale * 2**shift."""
    re, im, a_re, a_im = i64(re), i64(im), i64(a_re), i64(a_im)
    new_re = sat32(shift_right_round(a_re * re - a_im * im, decay_shift) + shift_round(i64(u) * i64(scale), shift))
    new_im = sat32(shift_right_round(a_re * im + a_im * re, decay_shift))
    return new_re, new_im


def state_output(re, shift):
    return sat(shift_round(re, shift), -32768, 32767)


def post_process(v, scale, shift, threshold, binary):
    x = sat(shift_round(i64(v) * i64(scale), shift), -32768, 32767)
    return np.where(x >= i64(threshold), 1 if binary else x, 0)


def stateful_main_op(a, b, c, d, e, f, n, m):
    u = wrap32(i64(b) @ i64(a).reshape(-1))
    c, d, e, f = (i64(t).reshape(-1) for t in (c, d, e, f))
    re, im = state_update(c, d, e, f, u, 1, m, n)
    return re.astype(np.int32), im.astype(np.int32)


def subsampling_op(a, k):
    a = np.asarray(a, np.int32)
    axis = a.ndim - 2 if a.ndim >= 2 else 0
    index = [slice(None)] * a.ndim
    index[axis] = slice(None, None, k)
    return a[tuple(index)]


def lumopostprocessing_op(a, b, c, n, binary):
    a = i64(a)
    return post_process(a, per_channel(b, a.shape), n, per_channel(c, a.shape), binary).astype(np.int16)


# ---------------------------------------------------------------- software inference of models
#
# run_model(model, x, mode) mirrors Model.forward / predict / fit layer by layer, reading the layers'
# parameters and variables through the Python API.

INPUT_DATA, ADD, CONCATENATE = 1, 6, 12
CONV2D, INPUT_CONV2D, DEPTHWISE, TRANSPOSE, DEQUANTIZER, DW_TRANSPOSE = 14, 15, 16, 17, 19, 20
BUFFER_TEMP, DW_BUFFER_TEMP, DENSE1D, QUANTIZER = 21, 22, 25, 27
RECURRENT, POST_PROCESSING = 26, 28
NEURON_KINDS = {CONV2D, INPUT_CONV2D, DEPTHWISE, TRANSPOSE, DW_TRANSPOSE, BUFFER_TEMP, DW_BUFFER_TEMP, DENSE1D,
                RECURRENT}
CONVOLUTIONAL, SEPARABLE = 4, 5
V1_CNP_KINDS = {CONVOLUTIONAL, SEPARABLE}
FULLY_CONNECTED, INPUT_CONVOLUTIONAL = 3, 2
V1_KINDS = V1_CNP_KINDS | {FULLY_CONNECTED, INPUT_CONVOLUTIONAL}


def kind(layer):
    return int(layer.parameters.layer_type)


def param(layer, key, default=None):
    p = layer.parameters
    return p.get(key) if p.has(key) else default


def var(layer, name):
    return np.asarray(layer.variables[name]) if name in layer.variables.names else None


def output_bits(layer):
    k = kind(layer)
    if k == INPUT_DATA:
        return param(layer, "input_bits")
    if k == DEQUANTIZER:
        return 32
    if k == CONCATENATE:
        return max(output_bits(i) for i in layer.inbounds)
    if k in V1_KINDS:
        return param(layer, "act_bits") if param(layer, "activation") != 0 else 32
    return param(layer, "output_bits", 8)


def out_range(layer):
    return output_range(output_bits(layer), layer.output_signed)


def activation(layer):
    if kind(layer) in V1_KINDS:
        return 1 if param(layer, "activation") != 0 else 0
    return param(layer, "activation", 0) if kind(layer) in NEURON_KINDS else 0


class Stage:
    """The output stage of a neuron layer, vectorized over a (..., C) array of accumulators."""

    def __init__(self, layer, channels, scales_from=None):
        def get(name, default, source=layer):
            v = var(source, name)
            return i64(v).reshape(-1) if v is not None else np.full(channels, default, dtype=np.int64)
        self.bias = bias_term(get("bias", 0), get("bias_shift", 0))
        # A recurrent layer before a post-processing layer takes that layer's input scales and shift.
        self.scale = get("input_scales", 1, scales_from) if scales_from else get("output_scales", 1)
        self.shift = get("input_shift", 0, scales_from) if scales_from else get("output_shift", 0)
        mv = var(layer, "max_value")
        self.relu_max = relu_max(i64(mv).reshape(-1), get("max_value_shift", 0)) if mv is not None else \
            np.full(channels, INT32_MAX, dtype=np.int64)
        self.act_scale = get("activation_scales", 1)
        self.act_shift = get("activation_shift", 0)
        self.lut = i64(var(layer, "lut_values")).reshape(-1) if activation(layer) == 2 else None
        self.activation = activation(layer)
        self.range = out_range(layer)

    def potential(self, acc):
        return sat32(wrap32(acc) + self.bias)

    def output(self, p):
        if self.activation == 1:
            y = scale_shift(np.clip(p, 0, self.relu_max), self.scale, self.shift)
        elif self.activation == 2:
            v = scale_shift(p, self.scale, self.shift)
            y = scale_shift(self.lut[lut_index(v)], self.act_scale, self.act_shift)
        else:
            y = scale_shift(p, self.scale, self.shift)
        return sat(y, *self.range)

    def predict(self, p, count=1):
        return predict_value(p, self.scale, self.shift, count)


def pool_geometry(layer, d0, d1):
    """None, or (type, k0, k1, s, pad0, pad1, out0, out1) of the layer's pooling."""
    ptype = param(layer, "pool_type", 0)
    if ptype == 0:
        return None
    size = param(layer, "pool_size", -1 if ptype == 2 else 1)
    if size < 0:
        return ptype, d0, d1, 1, 0, 0, 1, 1
    stride = param(layer, "pool_stride", size) or size
    padding = param(layer, "padding", 0) if kind(layer) in (CONV2D, DEPTHWISE, INPUT_CONV2D) else 0
    b0, _, o0 = sweep(size, stride, padding, d0)
    b1, _, o1 = sweep(size, stride, padding, d1)
    return ptype, size, size, stride, b0, b1, o0, o1


def pool_batch(y, geometry, as_sum=False):
    """Pools (N, d0, d1, C): max (padding skipped) or the rounded average; with as_sum, (sums, counts)."""
    ptype, k0, k1, s, p0, p1, out0, out1 = geometry
    s0, s1 = (s, s) if np.isscalar(s) else s
    n, d0, d1, c = y.shape
    if ptype == 1:
        fill = np.iinfo(np.int64).min
        xp = np.full((n, p0 + max(d0, (out0 - 1) * s0 + k0), p1 + max(d1, (out1 - 1) * s1 + k1), c), fill, np.int64)
        xp[:, p0:p0 + d0, p1:p1 + d1] = y
        best = np.full((n, out0, out1, c), fill, np.int64)
        for r0 in range(k0):
            for r1 in range(k1):
                best = np.maximum(best, xp[:, r0:r0 + s0 * (out0 - 1) + 1:s0, r1:r1 + s1 * (out1 - 1) + 1:s1])
        return best
    sums = np.zeros((n, out0, out1, c), np.int64)
    counts = np.zeros((out0, out1, 1), np.int64)
    for o0 in range(out0):
        lo0, hi0 = max(o0 * s0 - p0, 0), min(o0 * s0 - p0 + k0, d0)
        for o1 in range(out1):
            lo1, hi1 = max(o1 * s1 - p1, 0), min(o1 * s1 - p1 + k1, d1)
            sums[:, o0, o1] = i64(y[:, lo0:hi0, lo1:hi1]).sum(axis=(1, 2))
            counts[o0, o1] = (hi0 - lo0) * (hi1 - lo1)
    return (sums, counts) if as_sum else average_round(sums, counts)


def finish(layer, acc, predict, geometry=None, scales_from=None):
    """Output stage then pooling on a (N, d0, d1, C) accumulator array; floats for predict."""
    stage = Stage(layer, acc.shape[-1], scales_from)
    p = stage.potential(acc)
    if predict:
        if geometry is None:
            return stage.predict(p)
        if geometry[0] == 1:
            return stage.predict(pool_batch(p, geometry))
        sums, counts = pool_batch(p, geometry, as_sum=True)
        return stage.predict(sums, counts)
    y = stage.output(p)
    return pool_batch(y, geometry) if geometry is not None else y


def shifted(layer, x, per_value=False):
    s = var(layer, "input_shift")
    if s is None:
        return i64(x)
    s = i64(s).reshape(x.shape[1:] if per_value else (-1,))
    return shift_left_sat(x, s)


def conv_batch(x, w, s, p0, p1, out0, out1, depthwise=False, pad_value=0):
    s0, s1 = (s, s) if np.isscalar(s) else s
    n, d0, d1, c = x.shape
    k0, k1 = w.shape[0], w.shape[1]
    after0 = max((out0 - 1) * s0 + k0 - d0 - p0, 0)
    after1 = max((out1 - 1) * s1 + k1 - d1 - p1, 0)
    xp = np.empty((n, d0 + p0 + after0, d1 + p1 + after1, c), np.int64)
    xp[...] = np.asarray(pad_value, np.int64)
    xp[:, p0:p0 + d0, p1:p1 + d1] = x
    f = c if depthwise else w.shape[3]
    acc = np.zeros((n, out0, out1, f), np.int64)
    for r0 in range(k0):
        for r1 in range(k1):
            win = xp[:, r0:r0 + s0 * (out0 - 1) + 1:s0, r1:r1 + s1 * (out1 - 1) + 1:s1]
            acc += win * i64(w[r0, r1]).reshape(-1) if depthwise else win @ i64(w[r0, r1])
    return acc


def step_sixteenths(steps):
    """16 x act_step, rounded to nearest with halves away from zero."""
    v = 16.0 * np.asarray(steps, np.float32).astype(np.float64)
    return (np.sign(v) * np.floor(np.abs(v) + 0.5)).astype(np.int64)


def v1_fire(p, threshold, step16, bits):
    """The v1 firing law: 0 while p <= t, then ceil(16 (p - t) / s16) levels, at most 2^bits - 1."""
    top = (1 << bits) - 1
    above = 16 * (i64(p) - threshold)
    safe = np.where(step16 > 0, step16, 1)
    levels = np.where(step16 > 0, -(-above // safe), top)
    return np.where(above > 0, np.minimum(levels, top), 0)


def run_v1_cnp(layer, x, predict):
    """Convolutional / SeparableConvolutional: convolution (depthwise then pointwise), pooling of the
    32-bit potentials, then the firing law when the activation is on."""
    k0, k1 = param(layer, "kernel_width"), param(layer, "kernel_height")
    s0, s1 = param(layer, "stride_x"), param(layer, "stride_y")
    padding = param(layer, "padding")
    b0, _, o0 = sweep(k0, s0, padding, x.shape[1])
    b1, _, o1 = sweep(k1, s1, padding, x.shape[2])
    # The v1 weights are stored with their dimensions reversed, so NumPy sees (columns, rows, C, F), the
    # depthwise part as (columns, rows, C, 1) and the pointwise part as (C, F).
    w = i64(var(layer, "weights"))
    if kind(layer) == INPUT_CONVOLUTIONAL:
        # (rows, columns, C, F), row-major; the image is padded with "padding_value".
        p = wrap32(conv_batch(i64(x), w.transpose(1, 0, 2, 3), (s0, s1), b0, b1, o0, o1,
                              pad_value=param(layer, "padding_value", 0)))
    elif kind(layer) == SEPARABLE:
        dw = wrap32(conv_batch(i64(x), w[..., 0], (s0, s1), b0, b1, o0, o1, depthwise=True))
        p = wrap32(dw @ i64(var(layer, "weights_pw")))
    else:
        p = wrap32(conv_batch(i64(x), w, (s0, s1), b0, b1, o0, o1))
    ptype = param(layer, "pool_type")
    if ptype != 0:
        pw, ph = param(layer, "pooling_width"), param(layer, "pooling_height")
        if pw < 0 or ph < 0:
            geometry = (ptype, o0, o1, 1, 0, 0, 1, 1)
        else:
            ps0 = param(layer, "pooling_stride_x")
            ps1 = param(layer, "pooling_stride_y")
            ps0, ps1 = (pw if ps0 < 0 else ps0), (ph if ps1 < 0 else ps1)
            pb0, _, po0 = sweep(pw, ps0, padding, o0)
            pb1, _, po1 = sweep(ph, ps1, padding, o1)
            geometry = (ptype, pw, ph, (ps0, ps1), pb0, pb1, po0, po1)
        p = pool_batch(p, geometry)
    if predict or param(layer, "activation") == 0:
        return p
    t = i64(var(layer, "threshold")).reshape(-1)
    return v1_fire(p, t, step_sixteenths(var(layer, "act_step").reshape(-1)), param(layer, "act_bits"))


def v1_dense_potentials(layer, x):
    """FullyConnected potentials: the inputs in their stored order against each unit's weights. The
    v1 weights are stored reversed, so NumPy sees (1, 1, inputs, units)."""
    w = i64(var(layer, "weights")).reshape(-1, param(layer, "units"))
    return wrap32(i64(x).reshape(x.shape[0], -1) @ w)


def run_v1_dense(layer, x, predict):
    p = v1_dense_potentials(layer, x).reshape(x.shape[0], 1, 1, -1)
    if predict or param(layer, "activation") == 0:
        return p
    t = i64(var(layer, "threshold")).reshape(-1)
    return v1_fire(p, t, step_sixteenths(var(layer, "act_step").reshape(-1)), param(layer, "act_bits"))


def fit_v1_dense(model, x, labels, num_classes):
    """The weights (1, 1, inputs, units) that software fit leaves in a v1 FullyConnected last layer: per
    sample, the winner of the label's class (every unit without labels; neuron k is in class
    k // (units // num_classes), the last ones past num_classes - 1 when the classes do not divide the
    units; a negative label teaches nothing) moves its first connection on a 0 input to its first unconnected
    non-zero input."""
    layers = model.layers
    dense = layers[-1]
    units = param(dense, "units")
    w = np.array(var(dense, "weights"), dtype=np.int64).reshape(-1, units).T.copy()  # (units, inputs)
    per_class = units // num_classes
    for n, sample in enumerate(np.asarray(x)):
        outputs = {}
        for layer in layers[:-1]:
            ins = [outputs[l.name] for l in layer.inbounds] or [i64(sample[None])]
            outputs[layer.name] = run_layer(layer, ins, False, {"outbounds": []})
        xin = i64(outputs[layers[-2].name]).reshape(-1)
        p = wrap32(w @ xin)
        label = -1 if len(labels) == 0 else int(labels[0 if len(labels) == 1 else n])
        if len(labels) and label < 0:
            continue  # no neuron's class
        cls = np.array([k // per_class if per_class else 0 for k in range(units)])
        candidates = np.arange(units) if label < 0 else np.flatnonzero(cls == label)
        if len(candidates) == 0:
            continue
        k = candidates[np.argmax(p[candidates])]
        off = np.flatnonzero((w[k] == 1) & (xin == 0))
        on = np.flatnonzero((w[k] == 0) & (xin != 0))
        if len(off) and len(on):
            w[k, off[0]], w[k, on[0]] = 0, 1
    return w.T.reshape(np.asarray(var(dense, "weights")).shape).astype(np.int8)


def run_layer(layer, inputs, predict, state):
    k = kind(layer)
    x = inputs[0]
    if k == INPUT_DATA:
        if x.dtype.kind == "f" and all(kind(o) == QUANTIZER for o in state["outbounds"]):
            return x
        lo, hi = output_range(param(layer, "input_bits"), param(layer, "input_signed", 0) != 0)
        if np.any((x < lo) | (x > hi)):
            raise ValueError("input out of range")
        return x
    if k in (CONV2D, DEPTHWISE, INPUT_CONV2D):
        kk, s = param(layer, "kernel_size"), param(layer, "kernel_stride", 1)
        d0, d1 = x.shape[1], x.shape[2]
        b0, _, o0 = sweep(kk, s, param(layer, "padding", 0), d0)
        b1, _, o1 = sweep(kk, s, param(layer, "padding", 0), d1)
        w = var(layer, "weights")
        if k == INPUT_CONV2D:
            acc = conv_batch(i64(x), w, s, b0, b1, o0, o1, pad_value=i64(var(layer, "padding_value")).reshape(-1))
        else:
            acc = conv_batch(shifted(layer, x), w, s, b0, b1, o0, o1, depthwise=(k == DEPTHWISE))
        return finish(layer, acc, predict, pool_geometry(layer, o0, o1))
    if k in V1_CNP_KINDS or k == INPUT_CONVOLUTIONAL:
        return run_v1_cnp(layer, x, predict)
    if k == FULLY_CONNECTED:
        return run_v1_dense(layer, x, predict)
    if k in (TRANSPOSE, DW_TRANSPOSE):
        w = var(layer, "weights")
        kk = w.shape[0]
        pad = (kk - 2) // 2 if kk > 2 else 0
        xs = shifted(layer, x)
        acc = np.stack([transpose_sample(s, w if k == TRANSPOSE else w.reshape(kk, kk, -1), 2, pad, pad,
                                         2 * x.shape[1], 2 * x.shape[2], depthwise=(k == DW_TRANSPOSE)) for s in xs])
        return finish(layer, acc, predict)
    if k == DENSE1D:
        xs = shifted(layer, x, per_value=True).reshape(x.shape[0], -1)
        acc = (xs @ i64(var(layer, "weights"))).reshape(x.shape[0], 1, 1, -1)
        return finish(layer, acc, predict)
    if k in (BUFFER_TEMP, DW_BUFFER_TEMP):
        taps = param(layer, "fifo_size")
        w = i64(var(layer, "weights"))
        xs = shifted(layer, x)
        c = x.shape[3]
        fifo = np.zeros((taps,) + x.shape[1:], np.int64)
        accs = []
        for sample in xs:
            fifo = np.concatenate([sample[None], fifo[:-1]])
            if k == DW_BUFFER_TEMP:
                acc = (fifo * w.reshape(taps, 1, 1, c)).sum(axis=0)
            else:
                acc = np.einsum("tijc,tcf->ijf", fifo, w.reshape(taps, c, -1))
            accs.append(acc)
        return finish(layer, np.stack(accs), predict, pool_geometry(layer, x.shape[1], x.shape[2]))
    if k == RECURRENT:
        post = state["outbounds"][0] if state["outbounds"] and kind(state["outbounds"][0]) == POST_PROCESSING \
            else None
        return recurrent_batch(layer, i64(x), predict, post)
    if k == POST_PROCESSING:
        steps = x.shape[2]
        total = sat(i64(x), -32768, 32767).sum(axis=2, keepdims=True)
        threshold = int(i64(var(layer, "threshold")).reshape(-1)[0])
        return post_process(total, 1, -int(np.trunc(np.log2(steps))), threshold, False)
    if k == ADD:
        a, b = i64(inputs[0]), i64(inputs[1])
        sa, sb, so = (i64(var(layer, n)).reshape(-1) for n in ("a_shift", "b_shift", "output_shift"))
        t = np.where(sa <= sb, shift_right_floor(a, np.maximum(sb - sa, 0)) + b,
                     a + shift_right_floor(b, np.maximum(sa - sb, 0)))
        return sat(shift_round(t, np.maximum(sa, sb) + so), *out_range(layer))
    if k == CONCATENATE:
        return np.concatenate([i64(inputs[0]), i64(inputs[1])], axis=-1)
    if k == DEQUANTIZER:
        scales = np.asarray(var(layer, "scales"), np.float32).reshape(-1)
        return np.asarray(x, np.int64).astype(np.float32) * scales
    if k == QUANTIZER:
        scales = np.asarray(var(layer, "scales"), np.float32).reshape(-1)
        zp = i64(var(layer, "zero_points")).reshape(-1)
        shape = (-1, 1, 1) if param(layer, "channels_first", 0) else (-1,)
        q = np.round((np.asarray(x, np.float32) / scales.reshape(shape)).astype(np.float32)).astype(np.float64)
        lo, hi = out_range(layer)
        return np.clip(q + zp.reshape(shape), lo, hi).astype(np.int64)
    raise NotImplementedError(f"layer kind {k}")


def recurrent_batch(layer, x, predict, post):
    """StatefulRecurrent on (N, d0, T, C): every (sample, d0) row is a sequence starting from a zero state."""
    steps = x.shape[2]
    k = max(param(layer, "subsample", 1), 1)
    u = wrap32(shifted(layer, x) @ i64(var(layer, "in_proj")).T)  # (N, d0, T, S)
    a_re, a_im = i64(var(layer, "A_real")), i64(var(layer, "A_imag"))
    scale, shift = i64(var(layer, "new_state_scale")), i64(var(layer, "new_state_shift"))
    out_shift = i64(var(layer, "internal_state_outputs_shift"))
    out_proj = i64(var(layer, "out_proj"))
    re = np.zeros(u.shape[:2] + u.shape[3:], np.int64)
    im = np.zeros_like(re)
    accs = []
    for t in range(steps):
        re, im = state_update(re, im, a_re, a_im, u[:, :, t], scale, shift, STATE_DECAY_SHIFT)
        if t % k == 0:
            accs.append(wrap32(state_output(re, out_shift) @ out_proj.T))
    return finish(layer, np.stack(accs, axis=2), predict, scales_from=post)


def run_model(model, x, mode="forward"):
    """Outputs of model.forward (mode "forward") or model.predict (mode "predict")."""
    layers = model.layers
    outputs = {}
    for i, layer in enumerate(layers):
        ins = [outputs[l.name] for l in layer.inbounds] or [np.asarray(x) if np.asarray(x).dtype == np.float32
                                                            else i64(x)]
        last = i == len(layers) - 1
        state = {"outbounds": [l for l in layers if layer.name in [i.name for i in l.inbounds]]}
        outputs[layer.name] = run_layer(layer, ins, mode == "predict" and last, state)
    out = outputs[layers[-1].name]
    last = layers[-1]
    if mode == "predict" or out.dtype.kind == "f":
        return np.asarray(out).astype(np.float32)
    if activation(last) != 0 and output_bits(last) <= 8:
        return out.astype(np.int8 if last.output_signed else np.uint8)
    return out.astype(np.int32)
