"""Which refusal of fit comes first (tests/data/python/fit_refusal_order.txt), and labels that a wrong
count refuses are never copied."""
import tracemalloc

import numpy as np
import pytest

from emulated_devices import build_program, with_devices
from helpers import dense1d, input_data, read_cases, refusal
from ovrix import core

CASES = read_cases("python/fit_refusal_order.txt", 4)


def refused(call, inputs, labels, error):
    kind, pattern = refusal(error)
    with pytest.raises(kind, match="^" + pattern + "$"):
        call(inputs, labels)


def learning_model():
    model = core.Model()
    model.add(input_data(width=2, height=2, channels=1, bits=8))
    model.add(dense1d("dense", units=4, weights_bits=8, activation=0))
    model.compile(core.OvrixUnsupervised(num_weights=2, num_classes=2))
    return model


@pytest.mark.parametrize("target, inputs, labels, error", [case for case in CASES if case.values[0] != "device"])
def test_model_fit_refusal_order(target, inputs, labels, error):
    model = learning_model() if target == "model" else core.Model()
    refused(model.fit, eval(inputs, {"np": np, "X": lambda n: np.zeros((n, 2, 2, 1), np.uint8)}), eval(labels), error)


@with_devices("v2")
def test_device_fit_refusal_order():
    (device,) = core.devices()
    device.program = build_program()
    names = {"np": np, "X": lambda n: np.zeros((n, 4, 4, 1), np.uint8)}
    for inputs, labels, error in (case.values[1:] for case in CASES if case.values[0] == "device"):
        refused(device.fit, eval(inputs, names), eval(labels), error)
    # None of them reached the device.
    assert "inference_frames" not in device.metrics.names
    assert device.fit(names["X"](2), [0, 1]).shape == (2, 1, 1, 10)


def peak_bytes(call):
    """The most memory that Python and NumPy held at once during the call, above what they held before."""
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        call()
        return tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()


# 2^24 labels in a few bytes: copied, they would take 64 MiB.
MANY = np.broadcast_to(np.int64(1), (2 ** 24,))


def test_model_fit_refuses_a_wrong_count_without_copying_the_labels():
    model = learning_model()
    def fit():
        with pytest.raises(ValueError, match=r"^Expected one label per input \(2\) or one for all; got 16777216\.$"):
            model.fit(np.zeros((2, 2, 2, 1), np.uint8), MANY)
    assert peak_bytes(fit) < 2 ** 20


@with_devices("v2")
def test_device_fit_refuses_a_wrong_count_without_copying_the_labels():
    (device,) = core.devices()
    device.program = build_program()
    def fit():
        with pytest.raises(RuntimeError, match=r"^Number of labels should be the same as number of inputs\.$"):
            device.fit(np.zeros((2, 4, 4, 1), np.uint8), MANY)
    assert peak_bytes(fit) < 2 ** 20
