"""The label values of Model.fit and HardwareDevice.fit (tests/data/python/fit_labels.txt): what each
amounts to, checked against fit with the equivalent list, and what is refused, with which error."""
import re

import numpy as np
import pytest

from emulated_devices import build_program, expected_learning, with_devices, words_of
from helpers import dense1d, input_data, read_cases
from ovrix import core

CASES = read_cases("python/fit_labels.txt", 4)
SAMPLES = np.random.default_rng(7).integers(0, 256, size=(5, 4, 4, 1), dtype=np.uint8)


def rows(target):
    return [case.values[1:] for case in CASES if case.values[0] == target]


def refusal(text):
    kind, message = text.split(": ", 1)
    return {"TypeError": TypeError, "ValueError": ValueError}[kind], message


def learning_model():
    model = core.Model()
    model.add(input_data(width=4, height=4, channels=1, bits=8))
    model.add(dense1d("dense", units=4, weights_bits=8, activation=0))
    model.layers[1].variables["weights"] = np.random.default_rng(3).integers(-8, 8, size=(16, 4), dtype=np.int8)
    model.compile(core.OvrixUnsupervised(num_weights=4, num_classes=2))
    return model


def learnt_weights(labels):
    model = learning_model()
    model.fit(SAMPLES, labels)
    return model.layers[1].variables["weights"]


def test_the_model_learns_by_label():
    # Otherwise the comparisons below could not tell one label list from another.
    assert not np.array_equal(learnt_weights([0]), learnt_weights([1]))


@pytest.mark.parametrize("labels, same_as, error", rows("model"))
def test_model_fit_labels(labels, same_as, error):
    if error:
        kind, message = refusal(error)
        with pytest.raises(kind) as raised:
            learning_model().fit(SAMPLES, eval(labels))
        # The binding library's refusal begins with the method's name.
        assert str(raised.value) == message or str(raised.value).startswith("fit(): " + message)
    else:
        np.testing.assert_array_equal(learnt_weights(eval(labels)), learnt_weights(eval(same_as)))


@with_devices("v1")
def test_device_fit_labels():
    (device,) = core.devices()
    fnp3 = [0, 0, 1, 2, 3, 4, 5, 6, 7, 8]
    for labels, same_as, error in rows("device"):
        device.program = build_program(fnp3=fnp3)
        device.learn_enabled = True
        before = words_of(device.learn_mem)
        if error:
            kind, message = refusal(error)
            with pytest.raises(kind, match="^" + re.escape(message) + "$"):
                device.fit(SAMPLES, eval(labels))
            assert words_of(device.learn_mem) == before, labels
        else:
            device.fit(SAMPLES, eval(labels))
            assert words_of(device.learn_mem) == expected_learning(before, SAMPLES, eval(same_as), fnp3=True), labels
    # Inputs of another dtype match no overload before conversions are allowed: a list still takes the
    # list overload then (through NumPy an empty list would be a float array, and refused).
    device.program = build_program(fnp3=fnp3)
    device.learn_enabled = True
    before = words_of(device.learn_mem)
    device.fit(SAMPLES.astype(np.int32), [])
    assert words_of(device.learn_mem) == expected_learning(before, SAMPLES, [], fnp3=True)
