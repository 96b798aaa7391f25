"""The convolution kernels of the software inference (the processor's dot products where it has them)
against the NumPy reference, on every weight and activation width, signed and unsigned, and on edge
shapes; the whole file runs again in a child interpreter on the generic path (OVRIX_ISA=generic)."""
import os
import subprocess
import sys

import numpy as np
import pytest

import reference as ref
from ovrix import core
from test_nn_model import bench_like_model, check, input_layer, layer, randomize


def two_convolutions(bits, signed, shape=(9, 13, 5), filters=(19, 8), kernel=3):
    """Input of `bits` bits, then two convolutions whose weights and outputs have `bits` bits: the
    second reads the first's outputs, signed (no activation) or unsigned (ReLU)."""
    m = core.Model()
    m.add(input_layer(*shape, bits=bits, signed=signed))
    activation = 0 if signed else 1
    m.add(layer(core.Conv2D, "c1", filters=filters[0], kernel_size=kernel, kernel_stride=1, padding=int(core.Same),
                activation=activation, weights_bits=bits, output_bits=bits))
    m.add(layer(core.Conv2D, "c2", filters=filters[1], kernel_size=kernel, kernel_stride=2, padding=int(core.Same),
                activation=activation, weights_bits=bits, output_bits=bits))
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


@pytest.mark.skipif(os.environ.get("OVRIX_ISA") == "generic", reason="already the generic path")
def test_the_generic_path_gives_the_same_results():
    env = dict(os.environ, OVRIX_ISA="generic")
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__],
                            cwd=os.path.dirname(__file__), env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert " passed" in result.stdout and " failed" not in result.stdout
