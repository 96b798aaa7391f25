"""What forward and predict do with the caller's arrays: a C-contiguous input is read where it lies (never
written, not kept after the call), any other input is converted first, and each result is an array of its
own that later calls neither share nor change."""
import sys

import numpy as np
import pytest

import reference as ref
from ovrix import core
from test_nn_model import input_layer, inputs, layer, randomize


def two_layer_model():
    m = core.Model()
    m.add(input_layer(9, 7, 8))
    m.add(layer(core.Conv2D, "c1", filters=16, kernel_size=3, kernel_stride=1, padding=int(core.Same), activation=1,
                weights_bits=8, output_bits=8))
    m.add(layer(core.Conv2D, "c2", filters=6, kernel_size=3, kernel_stride=1, padding=int(core.Same), activation=1,
                weights_bits=8, output_bits=8))
    randomize(m, seed=3)
    return m


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.float32])
def test_inputs_are_read_in_place_never_written_nor_kept(dtype):
    m = two_layer_model()
    x = inputs(m, 3, seed=1).astype(dtype)
    before = x.copy()
    refs = sys.getrefcount(x)
    got = m.forward(x)
    np.testing.assert_array_equal(x, before)
    assert sys.getrefcount(x) == refs
    assert not np.shares_memory(got, x)
    np.testing.assert_array_equal(got, ref.run_model(m, before.astype(np.uint8), "forward"))


def test_inputs_that_are_not_contiguous_arrays_of_their_type_give_the_same_results():
    m = two_layer_model()
    x = inputs(m, 4, seed=2)
    want = m.forward(x)
    wide = np.zeros((4, 9, 14, 8), dtype=np.uint8)
    wide[:, :, ::2] = x  # every other column: a strided view
    np.testing.assert_array_equal(m.forward(wide[:, :, ::2]), want)
    np.testing.assert_array_equal(m.forward(np.asfortranarray(x)), want)
    np.testing.assert_array_equal(m.forward(x.astype(np.int16)), want)


def test_results_are_arrays_of_their_own():
    m = two_layer_model()
    x = inputs(m, 2, seed=4)
    first = m.forward(x)
    kept = first.copy()
    assert first.flags.writeable and first.flags.c_contiguous
    first[...] = 7  # the caller's to change
    second = m.forward(x)
    np.testing.assert_array_equal(second, kept)
    assert not np.shares_memory(first, second)
    del first
    np.testing.assert_array_equal(second, kept)


def misaligned(x):
    """The values of x in a C-contiguous array that starts one byte past an aligned address."""
    out = np.frombuffer(b"\0" + x.tobytes(), x.dtype, offset=1).reshape(x.shape)
    assert out.flags.c_contiguous and not out.flags.aligned
    return out


@pytest.mark.parametrize("dtype", [np.int16, np.float32])
def test_inputs_not_aligned_for_their_type_give_the_results_of_aligned_ones(dtype):
    # Read in place, their elements would be loaded from misaligned addresses (the sanitizer run reports it).
    from test_fit_labels import SAMPLES, learning_model
    x = SAMPLES.astype(dtype)
    m = learning_model()
    np.testing.assert_array_equal(m.forward(misaligned(x)), m.forward(x))
    np.testing.assert_array_equal(m.predict(misaligned(x)), m.predict(x))
    learnt, want = learning_model(), learning_model()
    np.testing.assert_array_equal(learnt.fit(misaligned(x), [0, 1, 0, 1, 1]), want.fit(x, [0, 1, 0, 1, 1]))
    np.testing.assert_array_equal(learnt.layers[1].variables["weights"], want.layers[1].variables["weights"])
