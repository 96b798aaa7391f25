"""On-chip learning on a v1 device: a compiled last dense layer (exactly num_weights non-zero 1-bit
weights a neuron) maps with its learning records, learns with fit on an emulated v1 device, and its
weights, learning thresholds and swap values are then what an independent decode of the device's
learning memory gives; classes can be added and the model mapped and fitted again."""
import numpy as np
import pytest

from emulated_devices import words_of, with_devices
from ovrix import core
from test_v1_map import cnp, layer

if not hasattr(core.Model, "_map"):
    pytest.skip("this build cannot map models yet", allow_module_level=True)

NUM_WEIGHTS = 5


def sparse_weights(shape, rng):
    """NUM_WEIGHTS weights of 1 in each neuron, at random inputs."""
    weights = np.zeros(shape, dtype=np.int8)
    for k in range(shape[3]):
        weights[0, 0, rng.choice(shape[2], NUM_WEIGHTS, replace=False), k] = 1
    return weights


def learning_model(units=6, classes=3):
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=8, input_height=8, input_channels=3, input_bits=4,
                    input_signed=0))
    conv = cnp(core.Convolutional, "conv", 8, stride_x=2, stride_y=2, act_bits=1)
    model.add(conv)
    dense = layer(core.FullyConnected, "dense", units=units, weights_bits=1, activation=1, act_bits=1)
    model.add(dense)
    rng = np.random.default_rng(7)
    w = np.asarray(conv.variables["weights"])
    conv.variables["weights"] = rng.integers(-7, 8, size=w.shape).astype(w.dtype)
    shape = np.asarray(dense.variables["weights"]).shape  # (1, 1, inputs, units)
    dense.variables["weights"] = sparse_weights(shape, rng)
    model.compile(core.OvrixUnsupervised(num_weights=NUM_WEIGHTS, num_classes=classes))
    return model


def decode(words, inputs, units, fnp3):
    """The weights (1, 1, inputs, units), learning thresholds and swap values of a learning memory copy."""
    if fnp3 and len(words) > 2:
        words = words[2:]
    block = -(-inputs // 32) + 4
    weights = np.zeros((1, 1, inputs, units), dtype=np.int8)
    thresholds, swaps = np.zeros(units, dtype=np.int32), np.zeros(units, dtype=np.int32)
    for k in range(units):
        h = words[k * block:(k + 1) * block]
        for i in range(inputs):
            weights[0, 0, i, k] = (h[4 + i // 32] >> (i % 32)) & 1
        thresholds[k] = (h[2] & 0xF0000) | (h[3] >> 16)
        swaps[k] = h[3] & 0xFFFF
    return weights, thresholds, swaps


def fit_and_check(model, device):
    model._map(device, True, core.MapConstraints(device))
    dense = model.layers[-1]
    [np_] = dense.mapping.nps
    samples = (np.arange(4 * 8 * 8 * 3, dtype=np.uint32).reshape(4, 8, 8, 3) % 16).astype(np.uint8)
    model.fit(samples, np.array([0, 1, 2, 0], dtype=np.int32))
    inputs = np.asarray(dense.variables["weights"]).shape[2]
    units = np.asarray(dense.variables["weights"]).shape[3]
    weights, thresholds, swaps = decode(words_of(device.learn_mem), inputs, units, np_.type == core.NP.FNP3)
    np.testing.assert_array_equal(np.asarray(dense.variables["weights"]), weights)
    np.testing.assert_array_equal(np.asarray(dense.variables["threshold_learning"]), thresholds)
    np.testing.assert_array_equal(np.asarray(dense.variables["thswap"]), swaps)
    return weights


@with_devices("v1:soc")
def test_fit_reads_back_what_the_device_learnt():
    (device,) = core.devices()
    model = learning_model()
    before = np.asarray(model.layers[-1].variables["weights"]).copy()
    learnt = fit_and_check(model, device)
    assert not np.array_equal(learnt, before)  # the emulated device changed its memory


@with_devices("v1:soc")
def test_classes_added_then_mapped_and_fitted_again():
    (device,) = core.devices()
    model = learning_model()
    fit_and_check(model, device)
    model.add_classes(2)
    dense = model.layers[-1]
    shape = np.asarray(dense.variables["weights"]).shape
    assert shape[3] == 6 + 2 * 2
    # The emulated device's learning does not keep NUM_WEIGHTS a neuron: start again from such weights.
    dense.variables["weights"] = sparse_weights(shape, np.random.default_rng(3))
    fit_and_check(model, device)
