"""On-chip learning on a v1 device: a compiled last dense layer (exactly num_weights non-zero 1-bit
weights a neuron) maps with its learning records, learns with fit on an emulated v1 device, and its
weights, learning thresholds and swap values are then what an independent decode of the device's
learning memory gives; classes can be added and the model mapped and fitted again. FNP3 memories past
the normal DMA block (up to the FNP3 budget) learn and read back; the emulated device learns what the
software fit learns, and the learnt model maps again; a model reloaded after another one ran on the
device goes on from what it had learnt."""
import re

import numpy as np
import pytest

import reference as ref
from emulated_devices import words_of, with_devices
from ovrix import core
from test_v1_map import cnp, layer, v1_device

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
    # The new neurons have no connection yet: give them NUM_WEIGHTS each.
    weights = np.asarray(dense.variables["weights"]).copy()
    weights[..., 6:] = sparse_weights(shape, np.random.default_rng(3))[..., 6:]
    dense.variables["weights"] = weights
    fit_and_check(model, device)


# --- learning memory ------------------------------------------------------------------------------

def direct_model(units, inputs=(32, 32, 1), classes=2, seed=11, compiled=True):
    """InputData -> a learning FullyConnected: the device's samples are the learning layer's inputs."""
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=inputs[0], input_height=inputs[1], input_channels=inputs[2],
                    input_bits=1, input_signed=0))
    dense = layer(core.FullyConnected, "dense", units=units, weights_bits=1, activation=1, act_bits=1)
    model.add(dense)
    shape = np.asarray(dense.variables["weights"]).shape
    dense.variables["weights"] = sparse_weights(shape, np.random.default_rng(seed))
    if compiled:
        model.compile(core.OvrixUnsupervised(num_weights=NUM_WEIGHTS, num_classes=classes))
    return model


def spikes(count, inputs=(32, 32, 1), seed=1):
    """Sparse spikes: a winner seldom has all its connections on active inputs, so most samples move one."""
    return (np.random.default_rng(seed).random((count, *inputs)) < 0.05).astype(np.uint8)


@with_devices("v1:soc")
@pytest.mark.parametrize("units", [114, 298], ids=["past-4095-words", "fills-the-fnp3-budget"])
def test_an_fnp3_memory_past_the_normal_dma_block_learns_and_reads_back(units):
    (device,) = core.devices()
    model = direct_model(units)
    model._map(device, True, core.MapConstraints(device))
    [np_] = model.layers[-1].mapping.nps
    assert np_.type == core.NP.FNP3
    words = units * (1024 // 32 + 4)
    assert words > 4095 and len(device.learn_mem or b"") == 0
    before = np.asarray(model.layers[-1].variables["weights"]).copy()
    x = spikes(8)
    model.fit(x, np.arange(8, dtype=np.int32) % 2)
    assert len(device.learn_mem) == 4 * (2 + -(-words // 16) * 16)  # the DMA header, the block padded to 16 words
    learnt = fit_and_check_read_back(model, device)
    assert not np.array_equal(learnt, before)
    assert model._map(device, True, core.MapConstraints(device)) is None  # the learnt weights map again
    if units == 298:  # one unit more no longer fits an FNP3
        bigger = direct_model(units + 1)
        bigger._map(device, True, core.MapConstraints(device))
        assert [np_.type for np_ in bigger.layers[-1].mapping.nps] == [core.NP.FNP2]


def fit_and_check_read_back(model, device):
    dense = model.layers[-1]
    inputs, units = np.asarray(dense.variables["weights"]).shape[2:]
    weights, thresholds, swaps = decode(words_of(device.learn_mem), inputs, units, True)
    np.testing.assert_array_equal(np.asarray(dense.variables["weights"]), weights)
    np.testing.assert_array_equal(np.asarray(dense.variables["threshold_learning"]), thresholds)
    np.testing.assert_array_equal(np.asarray(dense.variables["thswap"]), swaps)
    return weights


# --- the emulated device's learning ---------------------------------------------------------------

@with_devices("v1:soc")
@pytest.mark.parametrize("labels", [[0, 1, 1, 0, 1, 0, 0, 1, 1, 1], [1], []], ids=["per-sample", "one", "none"])
def test_device_fit_learns_what_software_fit_learns_and_maps_again(labels):
    (device,) = core.devices()
    software, mapped = direct_model(12), direct_model(12)
    mapped._map(device, True, core.MapConstraints(device))
    x = spikes(10)
    labels = np.array(labels, dtype=np.int32)
    for _ in range(2):
        software.fit(x, labels)
        mapped.fit(x, labels)
    learnt = np.asarray(mapped.layers[-1].variables["weights"])
    np.testing.assert_array_equal(learnt, np.asarray(software.layers[-1].variables["weights"]))
    assert not np.array_equal(learnt, np.asarray(direct_model(12).layers[-1].variables["weights"]))
    assert (learnt.sum(axis=2) == NUM_WEIGHTS).all()
    assert mapped._map(device, True, core.MapConstraints(device)) is None


@with_devices("v1:soc")
@pytest.mark.parametrize("labels", [[3], [3, 3, 0, 3, 1, 3, 2, 3, 3, 3], [4], [-1], [0, -5, 3, 4, 2, 7, 1, 3, -1, 3]])
def test_labels_select_the_classes_the_neuron_headers_give_on_the_device_and_in_software(labels):
    # 7 units in 3 classes: two units a class, and unit 6 in class 3, which only the label 3 selects;
    # a label of no unit's class (4, 7, negative) teaches nothing.
    (device,) = core.devices()
    software, mapped = direct_model(7, classes=3), direct_model(7, classes=3)
    mapped._map(device, True, core.MapConstraints(device))
    x, labels = spikes(10), np.array(labels, dtype=np.int32)
    before = np.asarray(software.layers[-1].variables["weights"]).copy()
    want = ref.fit_v1_dense(software, x, labels, 3)
    software.fit(x, labels)
    mapped.fit(x, labels)
    np.testing.assert_array_equal(np.asarray(software.layers[-1].variables["weights"]), want)
    np.testing.assert_array_equal(np.asarray(mapped.layers[-1].variables["weights"]), want)
    changed = set(np.flatnonzero((want != before).any(axis=2)[0, 0]))
    taught = {k for k in range(7) if k // 2 in set(labels.tolist())}
    assert changed <= taught and (6 in changed) == (3 in labels)


# --- what reaches the device ---

def device_state(device):
    return device.program, device.learn_mem, device.learn_enabled


def seven_connections(w):
    w[0, 0, :, 0] = np.arange(w.shape[2]) < NUM_WEIGHTS + 2


def a_weight_of_two(w):
    w[0, 0, np.flatnonzero(w[0, 0, :, 3])[0], 3] = 2


@with_devices("v1:soc")
@pytest.mark.parametrize("weights, message", [
    (seven_connections, "Cannot map layer 'dense'. The number of weights per neuron should match the num_weights "
                        "OvrixUnsupervised parameter."),
    (a_weight_of_two, "Cannot map layer 'dense'. Weights contain values out of range (-1, 1) (e.g.: 2)."),
], ids=["seven-connections", "a-weight-of-two"])
def test_weights_changed_after_mapping_are_refused_as_mapping_refuses_them_before_the_device_is_touched(
        weights, message):
    (device,) = core.devices()
    model, other = direct_model(12), direct_model(16, seed=5)
    model._map(device, True, core.MapConstraints(device))
    other._map(device, True, core.MapConstraints(device))
    x, y = spikes(4), np.array([0, 1, 0, 1], dtype=np.int32)
    model.fit(x, y)
    other.fit(x, y)  # the device now holds the other model's program and memory
    dense = model.layers[-1]
    changed = np.asarray(dense.variables["weights"]).copy()
    weights(changed)
    dense.variables["weights"] = changed
    held = device_state(device)
    for run in (lambda: model.fit(x, y), lambda: model.forward(x)):
        with pytest.raises(RuntimeError) as refused:
            run()
        assert str(refused.value) == message
        assert device_state(device) == held
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        model._map(device, True, core.MapConstraints(device))


@with_devices("v1:soc")
def test_fit_of_an_uncompiled_mapped_model_is_refused_before_the_device_is_touched():
    (device,) = core.devices()
    model, other = direct_model(12, compiled=False), direct_model(16, seed=5)
    model._map(device, True, core.MapConstraints(device))
    other._map(device, True, core.MapConstraints(device))
    other.fit(spikes(4), [1])
    held, weights = device_state(device), np.asarray(model.layers[-1].variables["weights"]).copy()
    with pytest.raises(ValueError) as refused:
        model.fit(spikes(4), [1])
    assert str(refused.value) == "Cannot fit: the last layer 'dense' has no learning parameters (compile the model first)."
    assert device_state(device) == held
    np.testing.assert_array_equal(np.asarray(model.layers[-1].variables["weights"]), weights)
    assert model.forward(spikes(4)).shape[0] == 4  # inference runs as before
    # A device without hardware refuses first, whatever the model.
    model._map(v1_device(core.HwVersion.Tamsel_v1), True)
    with pytest.raises(RuntimeError, match=r"^An actual hardware device is required\.$"):
        model.fit(spikes(4), [1])


# --- reprogramming --------------------------------------------------------------------------------

@with_devices("v1:soc")
def test_a_model_reloaded_after_another_learns_on_from_what_it_learnt():
    (device,) = core.devices()
    alone, interrupted = direct_model(12), direct_model(12)
    other = direct_model(16, seed=5)
    for model in (alone, interrupted, other):
        model._map(device, True, core.MapConstraints(device))
    x, y = spikes(10), np.arange(10, dtype=np.int32) % 2
    alone.fit(x, y)
    alone.fit(x[::-1], y[::-1])
    other.forward(x)  # the two models' programs are the same bytes: one is loaded in between
    interrupted.fit(x, y)
    other.fit(spikes(4, seed=3), np.array([1], dtype=np.int32))  # reprograms the device
    other.forward(x)
    interrupted.fit(x[::-1], y[::-1])
    np.testing.assert_array_equal(np.asarray(interrupted.layers[-1].variables["weights"]),
                                  np.asarray(alone.layers[-1].variables["weights"]))
    # Inference after a reload runs on the learnt weights too: the device holds them.
    other.forward(x)
    interrupted.forward(x)
    weights, _, _ = decode(words_of(device.learn_mem), 1024, 12, True)
    np.testing.assert_array_equal(weights, np.asarray(alone.layers[-1].variables["weights"]))


@with_devices("v1:soc")
def test_a_copy_with_the_same_program_learns_from_its_own_weights():
    # The copy's program is byte for byte the first one's: the device is not reprogrammed between them,
    # yet each learns on from what it has learnt itself.
    (device,) = core.devices()
    alone, first, copy = direct_model(12), direct_model(12), direct_model(12)
    for model in (alone, first, copy):
        model._map(device, True, core.MapConstraints(device))
    x, y = spikes(10), np.arange(10, dtype=np.int32) % 2
    alone.fit(x, y)
    first.fit(x, y)
    copy.fit(x, y)
    for model in (first, copy):
        np.testing.assert_array_equal(np.asarray(model.layers[-1].variables["weights"]),
                                      np.asarray(alone.layers[-1].variables["weights"]))
    # And inference runs on the weights of the model that runs it.
    first.fit(x[::-1], y[::-1])
    copy.forward(x)
    weights, _, _ = decode(words_of(device.learn_mem), 1024, 12, True)
    np.testing.assert_array_equal(weights, np.asarray(copy.layers[-1].variables["weights"]))
