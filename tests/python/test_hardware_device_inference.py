"""fit, forward and predict on an emulated device that holds a program: inputs, labels, outputs."""

import numpy as np
import pytest

from emulated_devices import (FORCE_TYPE, NO_OUTPUTS, RAGGED_RANK, RAGGED_SIZE, TENSOR_TYPES, build_program,
                              expected_output, learning_memory, with_devices, words_of)
from ovrix import core


def samples(n, shape=(4, 4, 1), seed=1):
    return np.random.default_rng(seed).integers(0, 256, size=(n, *shape), dtype=np.uint8)


def device_with(**program):
    (device,) = core.devices()
    device.program = build_program(**program)
    return device


@with_devices("v2")
@pytest.mark.parametrize("method, program, dtype", [
    ("forward", {}, "int32"),
    ("fit", {}, "int32"),
    ("predict", {}, "float32"),
    ("forward", {"output_flag": True, "output_bits": 4}, "uint8"),
    ("predict", {"output_flag": True, "output_bits": 4}, "float32"),
    ("forward", {"output_type": FORCE_TYPE + TENSOR_TYPES["int8"]}, "int8"),
    ("forward", {"output_type": FORCE_TYPE + TENSOR_TYPES["bit"]}, "bit"),
])
def test_one_output_per_sample_in_order(method, program, dtype):
    device = device_with(output_dims=(2, 1, 5), **program)
    x = samples(6)
    out = getattr(device, method)(x)
    assert out.shape == (6, 2, 1, 5)
    assert out.dtype == np.dtype("uint8" if dtype == "bit" else dtype)
    for i in range(6):
        np.testing.assert_array_equal(out[i], expected_output(x[i], (2, 1, 5), dtype))
    # The same samples reversed give the same outputs reversed: nothing mixed, dropped or reordered.
    np.testing.assert_array_equal(getattr(device, method)(x[::-1]), out[::-1])


@with_devices("v2")
def test_inputs_are_cast_to_uint8_and_may_be_two_dimensional():
    device = device_with(input_dims=(16,), output_dims=(1, 1, 3))
    x = samples(4, shape=(16,))
    expected = device.forward(x)
    np.testing.assert_array_equal(device.forward(x.astype(np.float32) + 0.75), expected)
    np.testing.assert_array_equal(device.forward(x.tolist()), expected)
    assert device.forward(x.reshape(4, 4, 4, 1)).shape == (4, 1, 1, 3)


@with_devices("v2")
@pytest.mark.parametrize("shape, error, message", [
    ((5, 16, 1), RuntimeError, r"^Input dimensions are not correct \(Should be 4 or 2\)\.$"),
    ((16,), RuntimeError, r"^Input dimensions are not correct \(Should be 4 or 2\)\.$"),
    ((0, 16), RuntimeError, r"^Cannot have a shape with dimension 0 set to 0$"),
    ((2, 0, 4, 1), RuntimeError, r"^Cannot have a shape with dimension 1 set to 0$"),
    ((1, 1, 4, 4, 1), ValueError, r"^Cannot instantiate a Dense with 5 dimensions \(min 1, max 4\)\.\n$"),
])
def test_input_shapes_that_are_refused(shape, error, message):
    device = device_with(input_dims=(16,))
    with pytest.raises(error, match=message):
        device.forward(np.ones(shape, dtype=np.uint8))
    assert device.metrics.names == ["program_clk"]


@with_devices("v2")
def test_device_refusals_pass_through_unchanged():
    (device,) = core.devices()
    with pytest.raises(RuntimeError, match=r"^The device holds no program\.$"):
        device.forward(samples(1))
    device.program = build_program(input_dims=(4, 4, 1))
    with pytest.raises(RuntimeError, match=r"^Sample 0 has 9 values where the program expects 16\.$"):
        device.forward(np.ones((2, 3, 3, 1), dtype=np.uint8))
    with pytest.raises(TypeError):
        device.forward(inputs=samples(1))


@with_devices("v1")
@pytest.mark.parametrize("labels", [
    [], [3], [1, 2, 3, 4, 5], 3.0, 7, np.array([1, 2, 3, 4, 5], dtype=np.int64), np.array([2], dtype=np.uint8),
    np.array([1, 2, 3, 4, 5], dtype=np.uint64), np.array([2 ** 31 - 1, -2 ** 31, 0, 1, 2], dtype=np.int64),
])
def test_fit_accepts_none_one_or_one_label_per_sample(labels):
    device = device_with(fnp3=[0, 0, 1, 2, 3, 4])
    x = samples(5)
    np.testing.assert_array_equal(device.fit(x, labels), device.forward(x))
    np.testing.assert_array_equal(device.fit(inputs=x, input_labels=labels), device.forward(x))


COUNT_MISMATCH = r"^Number of labels should be the same as number of inputs\.$"
NOT_INTEGERS = [2.5, -0.5, 1e10, -3e9, float("inf"), 1e300, -1e300, float("nan"), ["a"] * 5, [1.5] * 5,
                [2 ** 31, 1, 1, 1, 1], np.array([1.0, 2.0, 3.0, 4.0, 5.0], dtype=np.float32)]
# Integer arrays whose elements the binding library's sequence conversion cannot cast to 32-bit labels.
NOT_CAST = [np.array([2 ** 40] * 5, dtype=np.uint64), np.array([2 ** 31, 1, 1, 1, 1], dtype=np.int64),
            np.array([-2 ** 31 - 1, 1, 1, 1, 1], dtype=np.int64), np.array([2 ** 32 - 1] * 5, dtype=np.uint32),
            np.ones((5, 2), dtype=np.int32)]


@with_devices("v1")
@pytest.mark.parametrize("labels, error, message",
                         [([1, 2], RuntimeError, COUNT_MISMATCH), ([1, 2, 3, 4, 5, 6], RuntimeError, COUNT_MISMATCH)]
                         + [(labels, ValueError, r"^fit method expects integers as labels$") for labels in NOT_INTEGERS]
                         + [(labels, RuntimeError, r"^Unable to cast Python instance of type <class 'numpy\.ndarray'> "
                             r"to C\+\+ type ") for labels in NOT_CAST])
def test_fit_refuses_labels(labels, error, message):
    device = device_with()
    with pytest.raises(error, match=message):
        device.fit(samples(5), labels)
    assert "inference_frames" not in device.metrics.names


@with_devices("v1")
def test_a_float_label_is_truncated_only_when_whole():
    # Five neurons of classes 0 to 4 with 8 connections each: label 3 changes neuron 3 only.
    weights = np.zeros((5, 16), dtype=np.int8)
    weights[:, 8:] = 1
    memory = learning_memory(weights, classes=range(5), header=[0, 0])
    device = device_with(fnp3=memory, fnp=(5, 1))
    device.learn_enabled = True
    x = samples(3)
    x[:, 2, 0, 0] = 0  # input 8, connected, gives its connection up
    device.fit(x, 3.0)
    by_float = device.learn_mem
    assert [i for i, (a, b) in enumerate(zip(words_of(by_float), memory)) if a != b] == [2 + 3 * 5 + 4]
    device.program = build_program(fnp3=memory, fnp=(5, 1))
    device.learn_enabled = True
    device.fit(x, [3])
    assert device.learn_mem == by_float
    device.fit(x, -2147483648.0)  # the lowest label a 32-bit integer holds


@with_devices("v2")
def test_outputs_without_tensors_give_an_empty_float64_array():
    device = device_with(output_type=NO_OUTPUTS)
    out = device.forward(samples(3))
    assert out.shape == (0,)
    assert out.dtype == np.float64
    assert device.metrics["inference_frames"] == 3


@with_devices("v2")
@pytest.mark.parametrize("program, message", [
    ({"output_type": FORCE_TYPE + TENSOR_TYPES["int16"]}, r"^Unexpected output type\.$"),
    ({"output_type": FORCE_TYPE + TENSOR_TYPES["uint16"]}, r"^Unexpected output type\.$"),
    ({"output_type": RAGGED_SIZE, "output_dims": (1, 2, 3)},
     r"^Device output 2 has 32 bytes and 3 dimensions where the first output has 24 bytes and 3 dimensions\.$"),
    ({"output_type": RAGGED_RANK, "output_dims": (1, 2, 3)},
     r"^Device output 2 has 24 bytes and 1 dimensions where the first output has 24 bytes and 3 dimensions\.$"),
    ({"output_dims": (2, 3)}, r"^Cannot have a shape with dimension 3 set to 0$"),
    ({"output_dims": (1, 2, 3, 2)},
     r"^The device output has 48 bytes, but its first three dimensions \(1, 2, 3\) give 24 bytes\.$"),
])
def test_outputs_that_do_not_fit_the_result_are_refused_after_the_metrics(program, message):
    device = device_with(**program)
    with pytest.raises(RuntimeError, match=message):
        device.forward(samples(3))
    assert device.metrics["inference_frames"] == 3


@with_devices("v2")
def test_rank_four_outputs_with_a_unit_last_dimension_fit():
    device = device_with(output_dims=(1, 2, 3, 1))
    x = samples(2)
    out = device.forward(x)
    assert out.shape == (2, 1, 2, 3)
    np.testing.assert_array_equal(out[1], expected_output(x[1], (1, 2, 3), "int32"))
