"""The label values of Model.fit and HardwareDevice.fit (tests/data/python/fit_labels.txt): what each
amounts to, checked against fit with the equivalent list, and what is refused, with which error."""
import re

import numpy as np
import pytest

from emulated_devices import build_program, expected_learning, learning_memory, with_devices, words_of
from helpers import dense1d, input_data, read_cases, refusal
from ovrix import core

CASES = read_cases("python/fit_labels.txt", 4)
SAMPLES = np.random.default_rng(7).integers(0, 256, size=(5, 4, 4, 1), dtype=np.uint8)
SAMPLES[SAMPLES < 100] = 0  # inputs that are 0 give connections up
# Eight neurons of classes 0..7 over the 16 values of a sample, so that each label moves other weights.
NEURONS = 8
FNP3 = learning_memory(np.random.default_rng(5).integers(0, 2, size=(NEURONS, 16)), classes=list(range(NEURONS)),
                       header=[0xAAAA0001, 0x60000030])


# Older NumPy turns an array of one value into an integer (with a warning in some versions, which an
# error filter turns into a refusal); newer NumPy refuses.
try:
    int(np.array([1]))
    ONE_VALUE_ARRAYS_ARE_INTEGERS = True
except (TypeError, DeprecationWarning):
    ONE_VALUE_ARRAYS_ARE_INTEGERS = False


def outcome(same_as, error):
    """A row that gives both a label list and a refusal: the list where NumPy takes an array of one value
    as an integer, the refusal elsewhere."""
    if same_as and error:
        return (same_as, "") if ONE_VALUE_ARRAYS_ARE_INTEGERS else ("", error)
    return same_as, error


def rows(target):
    return [(case.values[1], *outcome(*case.values[2:])) for case in CASES if case.values[0] == target]


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


@pytest.mark.parametrize("target, labels, same_as, error", [case for case in CASES if case.values[0] == "model"])
def test_model_fit_labels(target, labels, same_as, error):
    same_as, error = outcome(same_as, error)
    if error:
        kind, pattern = refusal(error)
        with pytest.raises(kind) as raised:
            learning_model().fit(SAMPLES, eval(labels))
        # The binding library's refusal of the arguments begins with the method's name.
        text = str(raised.value)
        assert re.fullmatch(pattern, text, re.S) or text.startswith("fit(): " + error.split(": ", 1)[1]), text
    else:
        np.testing.assert_array_equal(learnt_weights(eval(labels)), learnt_weights(eval(same_as)))


@with_devices("v1")
def test_device_fit_labels():
    (device,) = core.devices()
    def program():
        return build_program(fnp3=FNP3, fnp=(NEURONS, 1))

    def learnt(memory, labels):
        return expected_learning(memory, SAMPLES, labels, True, NEURONS, 1)

    assert learnt(FNP3, [1, 2, 3, 4, 5]) != learnt(FNP3, [3]) != FNP3
    for labels, same_as, error in rows("device"):
        device.program = program()
        device.learn_enabled = True
        before = words_of(device.learn_mem)
        if error:
            kind, pattern = refusal(error)
            with pytest.raises(kind, match="^" + pattern + "$"):
                device.fit(SAMPLES, eval(labels))
            assert words_of(device.learn_mem) == before, labels
        else:
            device.fit(SAMPLES, eval(labels))
            assert words_of(device.learn_mem) == learnt(before, eval(same_as)), labels
    # Inputs of another dtype match no overload before conversions are allowed: a list still takes the
    # list overload then (through NumPy an empty list would be a float array, and refused).
    device.program = program()
    device.learn_enabled = True
    before = words_of(device.learn_mem)
    device.fit(SAMPLES.astype(np.int32), [])
    assert words_of(device.learn_mem) == learnt(before, [])
