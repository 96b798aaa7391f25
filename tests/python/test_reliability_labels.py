"""fit checks the number of labels (none, one, or one per sample) before converting any of them, on a
model and on a device: a wrong count is refused at once, whatever the labels hold."""
import numpy as np
import pytest

from helpers import dense1d, input_data
from emulated_devices import build_program, with_devices
from ovrix import core

MODEL_COUNT = r"^Expected one label per input \(2\) or one for all; got {}\.$"
DEVICE_COUNT = r"^Number of labels should be the same as number of inputs\.$"
# Broadcast views: many labels in a few bytes, each one beyond what a 32-bit label holds, so that
# converting any of them would fail with another error than the count.
UNCONVERTIBLE = [np.broadcast_to(np.int64(2 ** 40), (3,)), np.broadcast_to(np.uint64(2 ** 63), (2 ** 31,)),
                 np.broadcast_to(np.int64(-2 ** 40), (2 ** 20,))]


def learning_model():
    model = core.Model()
    model.add(input_data(width=2, height=2, channels=1, bits=8))
    model.add(dense1d("dense", units=4, weights_bits=8, activation=0))
    model.compile(core.OvrixUnsupervised(num_weights=2, num_classes=2))
    return model


@pytest.mark.parametrize("labels", UNCONVERTIBLE, ids=["3", "2**31", "2**20"])
def test_model_fit_refuses_a_wrong_count_before_converting(labels):
    x = np.zeros((2, 2, 2, 1), np.uint8)
    with pytest.raises(ValueError, match=MODEL_COUNT.format(len(labels))):
        learning_model().fit(x, labels)


def test_model_fit_list_labels_are_counted_first():
    x = np.zeros((2, 2, 2, 1), np.uint8)
    with pytest.raises(ValueError, match=MODEL_COUNT.format(3)):
        learning_model().fit(x, [1, 2.5, "a"])
    # A right count goes on to the conversion, which refuses as before.
    with pytest.raises(TypeError, match="^fit method expects integers as labels$"):
        learning_model().fit(x, [1, 2.5])
    learning_model().fit(x, [1, 0])


@with_devices("v2")
def test_device_fit_refuses_a_wrong_count_before_converting():
    (device,) = core.devices()
    device.program = build_program()
    x = np.zeros((2, 4, 4, 1), np.uint8)
    for labels in UNCONVERTIBLE + [[1, 2.5, "a"]]:
        with pytest.raises(RuntimeError, match=DEVICE_COUNT):
            device.fit(x, labels)
    # Nothing reached the device.
    assert "inference_frames" not in device.metrics.names
    with pytest.raises(ValueError, match="^fit method expects integers as labels$"):
        device.fit(x, np.broadcast_to(np.int64(2 ** 40), (2,)))
    assert device.fit(x, [0, 1]).shape == (2, 1, 1, 10)
