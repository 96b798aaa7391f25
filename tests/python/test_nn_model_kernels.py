"""The convolution, depthwise and dense kernels of the software inference (the processor's dot products
where it has them; the dense products of Dense1D and of v1 FullyConnected layers) against the NumPy reference, on every weight and activation width, signed and
unsigned, and on edge shapes, and 8-bit weights on both sides of the bound of the 8-bit products without
VNNI (64); the whole file runs again in child interpreters on the lower paths (OVRIX_ISA=generic,
OVRIX_ISA=avx2)."""
import os
import subprocess
import sys

import numpy as np
import pytest

import reference as ref
from ovrix import core
from test_nn_model import bench_like_model, check, input_layer, layer, randomize, reference_fit
from test_nn_model_v1 import randomize as randomize_v1
from test_nn_model_v1 import v1_model


def two_convolutions(bits, signed, shape=(9, 13, 5), filters=(19, 8), kernel=3, weights_bits=None):
    """Input of `bits` bits, then two convolutions whose weights (unless weights_bits) and outputs have
    `bits` bits: the second reads the first's outputs, signed (no activation) or unsigned (ReLU)."""
    m = core.Model()
    m.add(input_layer(*shape, bits=bits, signed=signed))
    activation = 0 if signed else 1
    m.add(layer(core.Conv2D, "c1", filters=filters[0], kernel_size=kernel, kernel_stride=1, padding=int(core.Same),
                activation=activation, weights_bits=weights_bits or bits, output_bits=bits))
    m.add(layer(core.Conv2D, "c2", filters=filters[1], kernel_size=kernel, kernel_stride=2, padding=int(core.Same),
                activation=activation, weights_bits=weights_bits or bits, output_bits=bits))
    return m


def full_range_inputs(model, n, bits, signed, seed):
    lo, hi = (-(1 << (bits - 1)), 1 << (bits - 1)) if signed else (0, 1 << bits)
    rng = np.random.default_rng(seed)
    x = rng.integers(lo, hi, size=[n] + model.input_shape)
    x.flat[::7] = lo  # the extremes of the range, often
    x.flat[3::7] = hi - 1
    return x.astype(np.int8 if signed else np.uint8)


@pytest.mark.parametrize("signed", [0, 1])
@pytest.mark.parametrize("bits", range(1, 9))
def test_every_width(bits, signed):
    m = two_convolutions(bits, signed)
    randomize(m, seed=bits)
    check(m, full_range_inputs(m, 3, bits, signed, seed=bits), ("forward", "predict") if signed else ("forward",))


@pytest.mark.parametrize("bits", range(1, 9))
def test_input_convolution_with_every_weight_width(bits):
    m = core.Model()
    m.add(input_layer(11, 7, 3))
    m.add(layer(core.InputConv2D, "hrc", filters=17, kernel_size=3, kernel_stride=2, padding=int(core.Same),
                activation=1, weights_bits=bits, output_bits=8))
    randomize(m, seed=20 + bits)
    check(m, full_range_inputs(m, 2, 8, 0, seed=bits), ("forward",))


# (input shape, filters, kernel): one position, rows shorter and longer than the kernels' position tiles,
# one channel, odd channel counts, filter counts around the 8- and 16-filter blocks.
EDGES = [((1, 1, 1), (1, 1), 1), ((1, 1, 2), (8, 9), 3), ((2, 31, 1), (16, 17), 3), ((3, 25, 3), (33, 7), 5),
         ((5, 6, 64), (64, 40), 3), ((7, 13, 9), (24, 1), 7)]


@pytest.mark.parametrize("shape, filters, kernel", EDGES)
def test_edge_shapes(shape, filters, kernel):
    m = two_convolutions(8, 0, shape, filters, kernel)
    randomize(m, seed=sum(shape))
    check(m, full_range_inputs(m, 2, 8, 0, seed=3), ("forward",))


def test_values_beyond_sixteen_bits_take_the_plain_kernel():
    # 16-bit signed inputs shifted left by up to 2 bits: most samples no longer fit 16 bits.
    m = core.Model()
    m.add(input_layer(6, 9, 4, bits=16, signed=1))
    m.add(layer(core.Conv2D, "c", filters=12, kernel_size=3, kernel_stride=1, padding=int(core.Same), activation=0,
                weights_bits=8, output_bits=32))
    randomize(m, seed=5)
    m.get_layer("c").variables["input_shift"] = np.full(4, 2, np.uint8)
    x = full_range_inputs(m, 3, 16, 1, seed=4).astype(np.int16)
    x[1] //= 4  # this sample fits 16 bits after its shift
    check(m, x)


def test_a_ten_layer_cnn():
    m = bench_like_model(20, 12)
    randomize(m, seed=31)
    check(m, full_range_inputs(m, 2, 8, 0, seed=31), ("forward",))


@pytest.mark.parametrize("signed", [0, 1])
@pytest.mark.parametrize("bits", range(1, 9))
@pytest.mark.parametrize("bound", [64, 65])
def test_weights_at_the_bound_of_the_eight_bit_products(bound, bits, signed):
    m = two_convolutions(bits, signed, weights_bits=8)
    randomize(m, seed=bits + bound)
    rng = np.random.default_rng(bound)
    for name in ("c1", "c2"):
        v = m.get_layer(name).variables
        w = rng.integers(-bound, bound + 1, size=v["weights"].shape)
        w.flat[::5] = -bound
        w.flat[2::5] = bound
        v["weights"] = w.astype(np.int8)
    check(m, full_range_inputs(m, 2, bits, signed, seed=bits), ("forward",))


def depthwise_then_dense(bits, signed, shape=(7, 9, 18), kernel=3, stride=1, units=11, weights_bits=None):
    """Input of `bits` bits, a depthwise convolution and a dense layer whose weights (unless weights_bits)
    and outputs have `bits` bits: the dense layer reads the depthwise outputs, signed (no activation) or
    unsigned (ReLU)."""
    m = core.Model()
    m.add(input_layer(*shape, bits=bits, signed=signed))
    activation = 0 if signed else 1
    m.add(layer(core.DepthwiseConv2D, "dw", kernel_size=kernel, kernel_stride=stride, padding=int(core.Same),
                activation=activation, weights_bits=weights_bits or bits, output_bits=bits))
    m.add(layer(core.Dense1D, "fc", units=units, activation=activation, weights_bits=weights_bits or bits,
                output_bits=bits))
    return m


@pytest.mark.parametrize("signed", [0, 1])
@pytest.mark.parametrize("bits", range(1, 9))
def test_depthwise_and_dense_at_every_width(bits, signed):
    m = depthwise_then_dense(bits, signed)
    randomize(m, seed=40 + bits)
    check(m, full_range_inputs(m, 3, bits, signed, seed=bits), ("forward", "predict") if signed else ("forward",))


# (input shape, kernel, stride, units): one position and one channel, channel counts around the groups of
# 16, kernels 1 to 7 (odd tap counts), stride 2, unit counts around the vectors of 8 and blocks of 32.
DEPTHWISE_DENSE_EDGES = [((1, 1, 1), 1, 1, 1), ((2, 3, 15), 3, 1, 8), ((5, 4, 17), 5, 2, 9),
                         ((9, 11, 33), 7, 1, 31), ((4, 13, 64), 3, 2, 33), ((3, 5, 70), 1, 1, 70)]


@pytest.mark.parametrize("shape, kernel, stride, units", DEPTHWISE_DENSE_EDGES)
def test_depthwise_and_dense_edge_shapes(shape, kernel, stride, units):
    m = depthwise_then_dense(8, 0, shape, kernel, stride, units)
    randomize(m, seed=sum(shape) + kernel)
    check(m, full_range_inputs(m, 2, 8, 0, seed=kernel), ("forward",))


def test_depthwise_and_dense_on_sixteen_bit_values_and_beyond():
    # 16-bit signed inputs: the 16-bit products take them as they are; shifted left by 2 bits, most samples
    # no longer fit 16 bits and take the plain kernels.
    for shift in (0, 2):
        m = depthwise_then_dense(16, 1, weights_bits=8)
        randomize(m, seed=9 + shift)
        for name in ("dw", "fc"):
            v = m.get_layer(name).variables
            if "input_shift" in v.names:
                v["input_shift"] = np.full(v["input_shift"].shape, shift, np.uint8)
        x = full_range_inputs(m, 3, 16, 1, seed=shift).astype(np.int16)
        check(m, x, ("forward", "predict"))


def dense_layer(bits, signed, inputs=(3, 5, 7), units=11, weights_bits=8):
    """Input of `bits` bits straight into a Dense1D layer: the product reads the input values as they are."""
    m = core.Model()
    m.add(input_layer(*inputs, bits=bits, signed=signed))
    m.add(layer(core.Dense1D, "fc", units=units, activation=0, weights_bits=weights_bits, output_bits=32))
    return m


def set_weights_at(lay, bound, seed):
    """Weights within -bound .. bound, both ends often."""
    v = lay.variables
    w = np.random.default_rng(seed).integers(-bound, bound + 1, size=v["weights"].shape)
    w.flat[::5] = -bound
    w.flat[2::5] = bound
    v["weights"] = w.astype(np.int8)


@pytest.mark.parametrize("signed", [0, 1])
@pytest.mark.parametrize("bits", range(1, 9))
@pytest.mark.parametrize("bound", [64, 65])
def test_dense_weights_at_the_bound_of_the_eight_bit_products(bound, bits, signed):
    m = dense_layer(bits, signed)
    randomize(m, seed=bits + bound)
    set_weights_at(m.get_layer("fc"), bound, seed=bound + bits)
    check(m, full_range_inputs(m, 3, bits, signed, seed=bits), ("forward", "predict"))


# (inputs, units): rows around the quads of the 8-bit products, columns around their vectors (16, 8) and
# blocks of 64.
DENSE_EDGES = [((1, 1, 1), 1), ((1, 1, 3), 3), ((3, 3, 7), 63), ((5, 13, 1), 65), ((4, 4, 4), 64),
               ((1, 1, 65), 129)]


@pytest.mark.parametrize("inputs, units", DENSE_EDGES)
@pytest.mark.parametrize("signed", [0, 1])
def test_dense_edge_shapes(inputs, units, signed):
    m = dense_layer(8, signed, inputs, units)
    randomize(m, seed=units)
    check(m, full_range_inputs(m, 2, 8, signed, seed=units), ("forward",))


def v1_dense(shape, input_bits, units, weights_bits=4, convolution=False):
    """A v1 FullyConnected layer without activation (its potentials come out), reading the input, or with
    `convolution` the signed potentials of a Convolutional layer without activation."""
    fc = (core.FullyConnected, dict(units=units, weights_bits=weights_bits, activation=0, act_bits=1))
    if not convolution:
        return v1_model(shape, input_bits, fc)
    conv = dict(filters=3, kernel_width=3, kernel_height=3, stride_x=1, stride_y=1, padding=1, weights_bits=2,
                activation=0, act_bits=1, pool_type=0, pooling_width=2, pooling_height=2, pooling_stride_x=-1,
                pooling_stride_y=-1)
    return v1_model(shape, input_bits, (core.Convolutional, conv), fc)


@pytest.mark.parametrize("bits", range(1, 9))
@pytest.mark.parametrize("inputs, units", DENSE_EDGES)
def test_v1_dense_edge_shapes_at_every_input_width(inputs, units, bits):
    m = v1_dense(inputs, bits, units, weights_bits=[1, 2, 4][bits % 3])
    randomize_v1(m, seed=bits + units)
    check(m, full_range_inputs(m, 2, bits, 0, seed=bits + units))


@pytest.mark.parametrize("input_bits", [1, 4, 8])
def test_v1_dense_on_signed_potentials(input_bits):
    # The potentials of a convolution without activation: signed, within 8 bits for narrow inputs (taken plus
    # 128), wider for 8-bit inputs (the 16-bit products).
    m = v1_dense((5, 4, 3), input_bits, 70, convolution=True)
    randomize_v1(m, seed=input_bits)
    check(m, full_range_inputs(m, 3, input_bits, 0, seed=input_bits))


@pytest.mark.parametrize("bound", [64, 65])
def test_v1_dense_weights_at_the_bound_of_the_eight_bit_products(bound):
    m = v1_dense((2, 3, 11), 8, 33)
    randomize_v1(m, seed=bound)
    set_weights_at(m.layers[-1], bound, seed=bound)
    check(m, full_range_inputs(m, 3, 8, 0, seed=bound))


@pytest.mark.parametrize("kind", ["Dense1D", "FullyConnected"])
def test_dense_products_split_between_threads_give_the_same_results(monkeypatch, kind):
    # One sample and a product large enough to split its columns between the threads (a call takes a thread
    # per 2^22 products).
    if kind == "Dense1D":
        m = dense_layer(8, 0, (16, 16, 4), 16400)
        randomize(m, seed=3)
    else:
        m = v1_dense((16, 16, 4), 8, 16400)
        randomize_v1(m, seed=3)
    x = full_range_inputs(m, 1, 8, 0, seed=5)
    outputs = []
    for count in ("1", "4"):
        monkeypatch.setenv("OVRIX_NUM_THREADS", count)
        outputs.append(m.forward(x))
    np.testing.assert_array_equal(outputs[0], outputs[1])
    check(m, x, ("forward",))


@pytest.mark.parametrize("labels", [[0, 2, 1, 1, 0, 2], []])
def test_dense_fit_repacks_the_learnt_weights(labels):
    # Weights start within 64 and learn towards 127: the 8-bit products on row quads read each repacked
    # column, and without VNNI give way to the 16-bit products once a weight passes 64.
    units, classes = 66, 3
    m = core.Model()
    m.add(input_layer(3, 5, 5))
    m.add(layer(core.Dense1D, "dense", units=units, activation=0, output_bits=32, weights_bits=8))
    d = m.get_layer("dense")
    d.variables["output_scales"] = np.ones(units, np.uint8)
    set_weights_at(d, 64, seed=7)
    m.compile(core.OvrixUnsupervised(num_weights=20, num_classes=classes, initial_plasticity=0.9,
                                     min_plasticity=0.5, plasticity_decay=0.1))
    x = full_range_inputs(m, 6, 8, 0, seed=11)
    want_out, want_w = reference_fit(m, x, labels)
    np.testing.assert_array_equal(m.fit(x, labels), want_out)
    np.testing.assert_array_equal(d.variables["weights"], want_w)
    assert np.abs(want_w.astype(np.int64)).max() > 64


@pytest.mark.parametrize("labels", [[0, 2, 1, 1, 0, 2], []])
def test_v1_dense_fit_changes_the_weights_it_reads(labels):
    # 1-bit weights stored by input, read where they lie until fit copies them; inputs around the quads and
    # units around the 32- and 64-unit blocks.
    units, classes = 70, 3
    m = v1_dense((3, 3, 7), 4, units, weights_bits=1)
    randomize_v1(m, seed=12)
    m.compile(core.OvrixUnsupervised(num_weights=8, num_classes=classes))
    x = full_range_inputs(m, 6, 4, 0, seed=12)
    x.flat[::3] = 0  # inputs of 0 for connections to leave
    want = ref.fit_v1_dense(m, x, labels, classes)
    m.fit(x, labels) if labels else m.fit(x)
    np.testing.assert_array_equal(m.layers[-1].variables["weights"], want)
    check(m, x)


def test_v1_dense_fit_names_the_first_weight_it_cannot_learn():
    m = v1_dense((1, 1, 5), 1, 3, weights_bits=1)
    fc = m.layers[-1]
    w = np.zeros(fc.variables["weights"].shape, np.int8)  # (1, 1, inputs, units)
    w[0, 0, 4, 0] = -1  # unit 0, input 4: the first by unit
    w[0, 0, 0, 1] = 2  # unit 1, input 0: the first by input
    fc.variables["weights"] = w
    m.compile(core.OvrixUnsupervised(num_weights=1, num_classes=1))
    with pytest.raises(ValueError, match=r"cannot learn the weight -1: 0 or 1 expected\.$"):
        m.fit(np.ones((1, 1, 1, 5), np.uint8))


# (max_value, output_shift, bias): the ReLU's top times the scale 255 plus the rounding half just below 2^31
# (outputs in 32-bit lanes) and just above (in 64 bits); biases whose clamp bounds leave 32 bits.
OUTPUT_STAGES = [(128, -8, 127), (129, -8, 127), (128, -8, -128), (128, -1, 127), (255, -16, 100), (1, 0, 0)]


@pytest.mark.parametrize("max_value, shift, bias", OUTPUT_STAGES)
def test_relu_output_stage_near_the_32_bit_bound(max_value, shift, bias):
    m = core.Model()
    m.add(input_layer(4, 5, 64))
    m.add(layer(core.Conv2D, "c", filters=16, kernel_size=1, kernel_stride=1, padding=int(core.Same), activation=1,
                weights_bits=8, output_bits=32))
    randomize(m, seed=7)
    v = m.get_layer("c").variables
    rng = np.random.default_rng(max_value)
    v["weights"] = rng.integers(-128, 128, size=v["weights"].shape).astype(np.int8)
    v["output_scales"] = np.full(16, 255, np.uint8)
    v["output_shift"] = np.full(16, shift, np.int8)
    v["max_value"] = np.full(16, max_value, np.uint8)
    v["max_value_shift"] = np.full(16, 16, np.uint8)
    # Potentials around the top (2^23 for 128 << 16), and for some channels bias shifts of 24 and more,
    # whose bias terms leave 32 bits.
    v["bias"] = np.full(16, bias, np.int8)
    v["bias_shift"] = np.array([16] * 12 + [24, 25, 31, 40], np.uint8)
    check(m, full_range_inputs(m, 2, 8, 0, seed=max_value), ("forward",))


# Pooling after the output stage: max pooling of plain, ReLU and lookup-table outputs (the first two pooled
# as accumulators, the table as outputs) and average pooling, on odd sizes, channel counts around the lanes.
@pytest.mark.parametrize("pool_type, pool_size", [(1, 2), (1, 3), (2, 2), (2, -1)])
@pytest.mark.parametrize("activation", [0, 1, 2])
@pytest.mark.parametrize("filters", [5, 16, 23])
def test_pooled_outputs(pool_type, pool_size, activation, filters):
    m = core.Model()
    m.add(input_layer(7, 9, 6))
    m.add(layer(core.Conv2D, "c", filters=filters, kernel_size=3, kernel_stride=1, padding=int(core.Same),
                activation=activation, weights_bits=8, output_bits=8, pool_type=pool_type, pool_size=pool_size))
    randomize(m, seed=filters + activation)
    check(m, full_range_inputs(m, 2, 8, 0, seed=pool_size + 5), ("forward",))


@pytest.mark.parametrize("isa", ["generic", "avx2"])
def test_the_lower_paths_give_the_same_results(isa):
    if os.environ.get("OVRIX_ISA"):
        pytest.skip("already a lower path")
    env = dict(os.environ, OVRIX_ISA=isa)
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__],
                            cwd=os.path.dirname(__file__), env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert " passed" in result.stdout and " failed" not in result.stdout
