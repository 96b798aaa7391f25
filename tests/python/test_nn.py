"""The nn submodule: every function against the NumPy reference, argument conversions and refusals."""
import numpy as np
import pytest

import reference as ref
from ovrix import core

nn = core.nn
rng = np.random.default_rng(20240611)


def ints(shape, low=-300, high=300, dtype=np.int32):
    return rng.integers(low, high, size=shape).astype(dtype)


def weights(shape):
    return ints(shape, -128, 128, np.int8)


def same(got, want):
    assert got.dtype == want.dtype, (got.dtype, want.dtype)
    assert got.shape == want.shape, (got.shape, want.shape)
    np.testing.assert_array_equal(got, want)


PADDINGS = [core.Valid, core.Same, core.SameUpper]


# ------------------------------------------------------------------ module surface


def test_submodule_registers_the_21_functions_in_order():
    names = ["lshift", "shift", "shift_out", "matmul", "add", "concatenate", "scale_out", "conv2d", "input_conv2d",
             "conv2d_transpose", "dequantize", "depthwise_conv2d", "relu_activation", "look_up",
             "global_average_pooling", "max_pooling", "fifo_op", "depth_conv_like_op", "stateful_main_op",
             "subsampling_op", "lumopostprocessing_op"]
    public = [n for n in vars(nn) if not n.startswith("_")]
    assert public == names
    assert nn.__doc__ == ("Ovrix Neural Network software internal functions. These are meant for testing, "
                          "debugging and validation only.")
    assert all(getattr(nn, n).__doc__ is None for n in names)


# ------------------------------------------------------------------ element-wise functions


@pytest.mark.parametrize("shape, bshape", [((7,), (1,)), ((3, 5), (5,)), ((2, 3, 4), (2, 3, 4)), ((1, 1, 1, 1), (1,))])
@pytest.mark.parametrize("n", [32, 16, 9, 1])
def test_shifts_match_the_reference(shape, bshape, n):
    a = ints(shape, -(2 ** 31), 2 ** 31 - 1)
    ub = ints(bshape, 0, 40, np.uint8)
    sb = ints(bshape, -40, 40, np.int8)
    same(nn.lshift(a, ub, n), ref.lshift(a, ub, n))
    same(nn.shift(a, sb, n), ref.shift(a, sb, n))
    same(nn.shift_out(a, sb, n), ref.shift_out(a, sb, n))


@pytest.mark.parametrize("value, s, floor, rounded", [(5, -1, 2, 3), (-5, -1, -3, -2), (7, -2, 1, 2), (-6, -2, -2, -1),
                                                       (1, 40, 2 ** 31 - 1, 2 ** 31 - 1), (-1, 31, -(2 ** 31), -(2 ** 31)),
                                                       (3, -100, 0, 0), (-3, -100, -1, 0)])
def test_shift_directions_and_rounding(value, s, floor, rounded):
    a = np.array([value], np.int32)
    b = np.array([s], np.int8)
    assert nn.shift(a, b, 32)[0] == floor
    assert nn.shift_out(a, b, 32)[0] == rounded


def test_saturation_to_n_bits():
    a = np.array([-1000, -8, 7, 1000], np.int32)
    same(nn.add(a, np.zeros(1, np.int32), 4), np.array([-8, -8, 7, 7], np.int32))


@pytest.mark.parametrize("n", [0, 33, -1])
def test_bit_width_out_of_range_is_refused(n):
    with pytest.raises(ValueError, match="bit width"):
        nn.add(np.zeros(3, np.int32), np.zeros(3, np.int32), n)


@pytest.mark.parametrize("ashape, bshape, t", [((4, 6), (6, 3), False), ((6,), (6, 5), False), ((2, 3, 6), (5, 6), True),
                                               ((1, 1), (1, 1), False)])
def test_matmul_matches_the_reference(ashape, bshape, t):
    a = ints(ashape, -(2 ** 31), 2 ** 31 - 1)
    b = ints(bshape, -(2 ** 31), 2 ** 31 - 1)
    for n in (32, 12):
        same(nn.matmul(a, b, n, t), ref.matmul(a, b, n, t))


def test_matmul_refuses_shapes_that_do_not_chain():
    with pytest.raises(ValueError, match="do not chain"):
        nn.matmul(np.zeros((2, 3)), np.zeros((4, 2)), 32, False)


def test_add_and_concatenate():
    a = ints((2, 3, 4), -(2 ** 31), 2 ** 31 - 1)
    b = ints((4,), -(2 ** 31), 2 ** 31 - 1)
    same(nn.add(a, b, 32), ref.add(a, b, 32))
    c = ints((2, 3, 5))
    same(nn.concatenate(a, c), ref.concatenate(a, c))
    with pytest.raises(ValueError, match="differ before the last dimension"):
        nn.concatenate(a, ints((3, 3, 5)))


@pytest.mark.parametrize("sdtype", [np.uint8, np.uint16, np.int32, np.float64])
@pytest.mark.parametrize("n, m", [(32, 1), (8, 0), (8, 1), (4, 0)])
def test_scale_out(sdtype, n, m):
    a = ints((3, 4, 5), -(2 ** 31), 2 ** 31 - 1)
    s = rng.integers(0, 70000 if sdtype == np.uint16 else 255, size=5).astype(sdtype)
    c = ints((5,), -40, 40, np.int8)
    want_s = s if sdtype == np.uint16 else s.astype(np.uint8)
    same(nn.scale_out(a, s, c, n, m), ref.scale_out(a, want_s, c, n, m))


def test_scale_out_casts_other_scales_to_bytes():
    a = np.array([1, 1], np.int32)
    # 300 becomes the byte 44 when cast to uint8; uint16 keeps it.
    assert list(nn.scale_out(a, np.array([300, 300], np.int32), np.zeros(2, np.int8), 32, 1)) == [44, 44]
    assert list(nn.scale_out(a, np.array([300, 300], np.uint16), np.zeros(2, np.int8), 32, 1)) == [300, 300]


def test_dequantize_relu_look_up():
    a = ints((4, 6), -5000, 5000)
    s = rng.standard_normal(6).astype(np.float32)
    same(nn.dequantize(a, s), ref.dequantize(a, s))
    b = ints((6,), 0, 3000)
    same(nn.relu_activation(a, b), ref.relu_activation(a, b))
    for entries in (2048, 2049):
        lut = ints((entries,), -8192, 8192)
        same(nn.look_up(a, lut), ref.look_up(a, lut))


def test_look_up_clamps_its_index():
    lut = np.arange(2048, dtype=np.int32)
    same(nn.look_up(np.array([-5000, -1024, 0, 1023, 5000], np.int32), lut),
         np.array([0, 0, 1024, 2047, 2047], np.int32))


@pytest.mark.parametrize("entries", [2047, 2050, 1])
def test_look_up_refuses_other_table_sizes(entries):
    with pytest.raises(ValueError, match="lookup table"):
        nn.look_up(np.zeros(3, np.int32), np.zeros(entries, np.int32))


def test_relu_refuses_negative_maxima():
    with pytest.raises(ValueError, match="negative"):
        nn.relu_activation(np.zeros((2, 2), np.int32), np.array([1, -1], np.int32))


def test_per_channel_operand_of_the_wrong_size_is_refused():
    with pytest.raises(ValueError, match="one per channel"):
        nn.lshift(np.zeros((2, 3), np.int32), np.zeros(2, np.uint8), 32)


# ------------------------------------------------------------------ convolutions

# (input shape, kernel, stride): 1x1 inputs, kernels as large as the input, odd sizes, stride 2.
CONV_CASES = [((1, 1, 1), 1, 1), ((1, 1, 3), 3, 1), ((5, 5, 2), 5, 1), ((7, 5, 3), 3, 2), ((6, 9, 4), 3, 2),
              ((9, 9, 2), 7, 1), ((4, 4, 1), 4, 2), ((2, 5, 6, 3), 3, 2), ((3, 3), 3, 1), ((8, 8, 8), 1, 2)]


def kernel_fits(shape, k, padding):
    spatial = shape[1:3] if len(shape) == 4 else shape[:2]
    return padding != core.Valid or all(k <= d for d in spatial)


def with_paddings(cases, kernel=lambda case: case[1]):
    """Each case with each padding, but Valid only where the kernel lies inside the input."""
    return [(*case, padding) for case in cases for padding in PADDINGS if kernel_fits(case[0], kernel(case), padding)]


@pytest.mark.parametrize("shape, k, stride, padding", with_paddings(CONV_CASES))
def test_conv2d(shape, k, stride, padding):
    channels = shape[-1] if len(shape) >= 3 else 1
    x = ints(shape, 0, 256)
    w = weights((k, k, channels, 5))
    for n in (32, 10):
        same(nn.conv2d(x, w, stride, padding, n), ref.conv2d(x, w, stride, padding, n))


@pytest.mark.parametrize("shape, k, stride", CONV_CASES)
def test_depthwise_conv2d(shape, k, stride):
    channels = shape[-1] if len(shape) >= 3 else 1
    x = ints(shape, -(2 ** 20), 2 ** 20)
    w = weights((k, k, 1, channels))
    same(nn.depthwise_conv2d(x, w, stride), ref.depthwise_conv2d(x, w, stride))


@pytest.mark.parametrize("shape, k, stride, padding",
                         with_paddings([c for c in CONV_CASES if (c[0][-1] in (1, 3) and len(c[0]) == 3)]
                                       + [((6, 7, 1), 5, 1), ((9, 8, 3), 7, 2)]))
def test_input_conv2d(shape, k, stride, padding):
    x = ints(shape, 0, 256, np.uint8)
    w = weights((k, k, shape[-1], 6))
    t = ints((shape[-1],), 0, 256, np.uint8)
    got = nn.input_conv2d(x, w, stride, padding, t, 0)
    same(got, ref.input_conv2d(x, w, stride, padding, t))
    same(nn.input_conv2d(x, w, stride, padding, t, 4294967295), got)


@pytest.mark.parametrize("channels, values", [(1, [7]), (3, [7]), (3, [7, 1, 2])])
def test_input_conv2d_reads_padding_values_outside_the_image(channels, values):
    # One padding value serves every channel.
    x = np.zeros((1, 1, channels), np.uint8)
    w = np.ones((3, 3, channels, 1), np.int8)
    got = nn.input_conv2d(x, w, 1, core.Same, np.array(values, np.uint8), 0)[0, 0, 0]
    assert got == 8 * sum(values) * (channels // len(values))


@pytest.mark.parametrize("shape, k, stride", [((1, 1, 1), 1, 2), ((3, 3, 2), 3, 2), ((4, 5, 3), 4, 2),
                                              ((2, 2, 1), 1, 1), ((3, 4, 2), 5, 3), ((2, 3, 3, 2), 3, 2)])
def test_conv2d_transpose(shape, k, stride):
    x = ints(shape, -1000, 1000)
    w = weights((k, k, shape[-1], 4))
    same(nn.conv2d_transpose(x, w, stride), ref.conv2d_transpose(x, w, stride))


def test_conv2d_transpose_doubles_the_size_with_stride_2():
    x = ints((3, 5, 2))
    assert nn.conv2d_transpose(x, weights((3, 3, 2, 4)), 2).shape == (6, 10, 4)
    assert nn.conv2d_transpose(x, weights((1, 1, 2, 4)), 2).shape == (6, 10, 4)


def test_one_dimensional_weights_are_refused():
    x = ints((4, 4, 1))
    for call in (lambda w: nn.conv2d(x, w, 1, core.Same, 32),
                 lambda w: nn.input_conv2d(x.astype(np.uint8), w, 1, core.Same, np.zeros(1, np.uint8), 0),
                 lambda w: nn.conv2d_transpose(x, w, 2),
                 lambda w: nn.depthwise_conv2d(x, w, 1)):
        with pytest.raises(ValueError, match="at least 2 dimensions"):
            call(np.ones(9, np.int8))
    with pytest.raises(ValueError, match="at least 2 dimensions"):
        nn.conv2d_transpose(np.ones(4, np.int32), np.ones((3, 3, 1, 1), np.int8), 2)


def test_weights_of_other_channel_counts_are_refused():
    with pytest.raises(ValueError, match="channels"):
        nn.conv2d(ints((4, 4, 3)), weights((3, 3, 2, 1)), 1, core.Same, 32)


def test_valid_kernel_larger_than_the_input_is_refused():
    with pytest.raises(ValueError, match="larger than the input"):
        nn.conv2d(ints((2, 2, 1)), weights((3, 3, 1, 1)), 1, core.Valid, 32)


@pytest.mark.parametrize("stride", [0, 128, 255])
def test_strides_outside_1_to_127_are_refused(stride):
    with pytest.raises(ValueError, match="Stride"):
        nn.conv2d(ints((4, 4, 1)), weights((3, 3, 1, 1)), stride, core.Same, 32)


# ------------------------------------------------------------------ pooling


@pytest.mark.parametrize("shape", [(1, 1, 1), (5, 7, 3), (2, 4, 4, 2), (6, 6)])
def test_global_average_pooling(shape):
    a = ints(shape, -(2 ** 31), 2 ** 31 - 1)
    for n in (32, 8):
        same(nn.global_average_pooling(a, n), ref.global_average_pooling(a, n))


def test_global_average_rounds_half_up():
    assert nn.global_average_pooling(np.array([[[1], [2]]], np.int32), 32).ravel()[0] == 2
    assert nn.global_average_pooling(np.array([[[-1], [-2]]], np.int32), 32).ravel()[0] == -1


@pytest.mark.parametrize("shape, k0, k1, s0, s1, padding",
                         with_paddings([((1, 1, 1), 1, 1, 1, 1), ((5, 7, 3), 2, 2, 2, 2), ((5, 5, 2), 3, 3, 1, 1),
                                        ((7, 6, 2), 3, 2, 2, 1), ((4, 6, 2), 4, 6, 1, 1), ((2, 5, 5, 2), 2, 3, 2, 2),
                                        ((5, 6, 3), 2, -1, 2, 1)], kernel=lambda case: max(case[1], case[2])))
def test_max_pooling(shape, k0, k1, s0, s1, padding):
    x = ints(shape, -(2 ** 31), 2 ** 31 - 1)
    for n in (32, 8):
        same(nn.max_pooling(x, k0, k1, s0, s1, padding, n), ref.max_pooling(x, k0, k1, s0, s1, padding, n))


def test_max_pooling_accepts_a_global_second_window():
    x = ints((4, 5, 2))
    got = nn.max_pooling(x, 2, -1, 2, 1, core.Valid, 32)
    same(got, x.reshape(2, 2, 5, 2).max(axis=(1, 2))[:, None, :])


# ------------------------------------------------------------------ temporal and recurrent functions


def test_fifo_op_pushes_a_frame_and_leaves_its_input_alone():
    q = ints((4, 3, 2), -128, 128, np.int8)
    before = q.copy()
    v = ints((3, 2), -128, 128, np.int8)
    got = nn.fifo_op(q, v)
    same(got, ref.fifo_op(q, v))
    same(q, before)
    same(got[0], v)
    same(got[1:], before[:-1])


def test_fifo_op_refuses_a_frame_of_another_size():
    with pytest.raises(ValueError, match="frame"):
        nn.fifo_op(np.zeros((3, 4), np.int8), np.zeros(5, np.int8))


@pytest.mark.parametrize("shape", [(5,), (3, 4), (4, 2, 3), (2, 3, 3, 5)])
def test_depth_conv_like_op(shape):
    a = ints(shape, -(2 ** 31), 2 ** 31 - 1)
    c = shape[-1] if len(shape) >= 2 else 1
    b = ints((shape[0], c), -128, 128, np.int8)
    for n in (32, 16):
        same(nn.depth_conv_like_op(a, b, n), ref.depth_conv_like_op(a, b, n))


@pytest.mark.parametrize("n, m", [(15, 0), (0, 3), (8, -2), (62, 63), (1, -63)])
def test_stateful_main_op_and_its_inputs_stay_unchanged(n, m):
    r, k = 6, 4
    args = [ints((k,), -(2 ** 20), 2 ** 20), ints((r, k), -128, 128, np.int8), ints((r,), -(2 ** 31), 2 ** 31 - 1),
            ints((r,), -(2 ** 31), 2 ** 31 - 1), ints((r,), -32768, 32768, np.int16),
            ints((r,), -32768, 32768, np.int16)]
    copies = [x.copy() for x in args]
    got = nn.stateful_main_op(*args, n, m)
    want = ref.stateful_main_op(*args, n, m)
    assert isinstance(got, tuple) and len(got) == 2
    same(got[0], want[0])
    same(got[1], want[1])
    for x, c in zip(args, copies):
        same(x, c)


@pytest.mark.parametrize("n, m", [(63, 0), (-1, 0), (0, 64), (0, -64)])
def test_stateful_main_op_refuses_shifts_out_of_range(n, m):
    with pytest.raises(ValueError, match="shift"):
        nn.stateful_main_op(np.zeros(1), np.zeros((1, 1)), np.zeros(1), np.zeros(1), np.zeros(1), np.zeros(1), n, m)


@pytest.mark.parametrize("shape, k", [((7,), 2), ((5, 3), 1), ((2, 9, 4), 4), ((3, 2, 10, 1), 3), ((4, 4), 255)])
def test_subsampling_op(shape, k):
    a = ints(shape)
    same(nn.subsampling_op(a, k), ref.subsampling_op(a, k))


def test_subsampling_by_zero_is_refused():
    with pytest.raises(ValueError, match="positive"):
        nn.subsampling_op(np.zeros(4, np.int32), 0)


@pytest.mark.parametrize("binary", [False, True])
@pytest.mark.parametrize("n", [0, -3, 5])
def test_lumopostprocessing_op(binary, n):
    a = ints((10, 3), -32768, 32768, np.int16)
    b = ints((3,), -300, 300, np.int16)
    c = ints((3,), 0, 4000, np.uint16)
    same(nn.lumopostprocessing_op(a, b, c, n, binary), ref.lumopostprocessing_op(a, b, c, n, binary))


# ------------------------------------------------------------------ argument conversions


def test_arrays_are_cast_to_the_declared_element_types():
    # float64 and lists become int32; values are truncated as NumPy's cast does.
    same(nn.add(np.array([1.9, -2.9]), [3, 4], 32), np.array([4, 2], np.int32))
    # int64 weights become int8 (wrapping as NumPy's cast does).
    x = np.ones((3, 3, 1))
    w = np.full((1, 1, 1, 1), 257, np.int64)
    same(nn.conv2d(x, w, 1, core.Same, 32), np.ones((3, 3, 1), np.int32))
    # Results carry the dtype of their tensor type.
    assert nn.dequantize([1, 2], [0.5]).dtype == np.float32
    assert nn.fifo_op([[1], [2]], [3]).dtype == np.int8
    assert nn.lumopostprocessing_op([1], [1], [0], 0, False).dtype == np.int16


def test_arrays_of_no_dimension_or_too_many_are_refused():
    with pytest.raises(ValueError, match="dimensions"):
        nn.add(np.int32(3), np.ones(1), 32)
    with pytest.raises(ValueError, match="dimensions"):
        nn.add(np.ones((1, 1, 1, 1, 1)), np.ones(1), 32)
    with pytest.raises(RuntimeError, match="dimension 1 set to 0"):
        nn.add(np.ones((2, 0)), np.ones(1), 32)
