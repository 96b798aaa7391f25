"""Software inference and fit of unmapped v1 FullyConnected layers: forward and predict against the
NumPy reference bit for bit, and fit of a compiled last layer against the reference's learning rule
(each neuron keeps its number of weights; classes that do not divide the units leave the last
neurons out of learning)."""
import numpy as np
import pytest

import reference as ref
from ovrix import core
from test_nn_model_v1 import check, conv, layer, randomize, v1_model


def dense(units, wb=1, act=1, ab=1):
    return dict(units=units, weights_bits=wb, activation=act, act_bits=ab)


CHAINS = {
    "conv_then_dense": ((6, 6, 2), 4, [(core.Convolutional, conv(4, wb=2, ab=2, stride=2)),
                                       (core.FullyConnected, dense(7, wb=2, ab=4))]),
    "dense_without_activation": ((3, 2, 5), 2, [(core.FullyConnected, dense(6, wb=4, act=0))]),
    "dense_then_dense": ((1, 1, 40), 1, [(core.FullyConnected, dense(33, wb=1, ab=2)),
                                         (core.FullyConnected, dense(3, wb=4, ab=1))]),
}


@pytest.mark.parametrize("name", sorted(CHAINS))
@pytest.mark.parametrize("seed", [1, 2])
def test_v1_dense_forward_matches_reference(name, seed):
    shape, input_bits, layers = CHAINS[name]
    m = v1_model(shape, input_bits, *layers)
    randomize(m, seed)
    x = np.random.default_rng(seed).integers(0, 1 << input_bits, size=(3,) + shape).astype(np.uint8)
    check(m, x)


def learning_model(units, classes, num_weights=4, seed=5):
    m = v1_model((4, 4, 2), 2, (core.Convolutional, conv(4, wb=2, ab=2)), (core.FullyConnected, dense(units)))
    randomize(m, seed)
    rng = np.random.default_rng(seed)
    d = m.layers[-1]
    shape = np.asarray(d.variables["weights"]).shape  # (1, 1, inputs, units)
    w = np.zeros(shape, np.int8)
    for k in range(units):
        w[0, 0, rng.choice(shape[2], num_weights, replace=False), k] = 1
    d.variables["weights"] = w
    m.compile(core.OvrixUnsupervised(num_weights=num_weights, num_classes=classes))
    return m


@pytest.mark.parametrize("units, classes, labels", [(6, 3, [0, 1, 2, 1, 0, 2]), (7, 3, [2, 2, 0, 1, 0, 1]),
                                                    (4, 1, [])],
                         ids=["labelled", "units-not-a-multiple", "unsupervised"])
def test_v1_dense_fit_matches_reference(units, classes, labels):
    m = learning_model(units, classes)
    x = np.random.default_rng(9).integers(0, 4, size=(6, 4, 4, 2)).astype(np.uint8)
    want = ref.fit_v1_dense(m, x, labels, classes)
    before = np.asarray(m.layers[-1].variables["weights"]).copy()
    m.fit(x, labels) if labels else m.fit(x)
    got = np.asarray(m.layers[-1].variables["weights"])
    np.testing.assert_array_equal(got, want)
    assert not np.array_equal(got, before)
    # Each neuron keeps its number of connections.
    np.testing.assert_array_equal(got.reshape(-1, units).sum(axis=0), before.reshape(-1, units).sum(axis=0))


def input_conv_model(kernel, stride, padding, pool, pad_value, act):
    m = core.Model()
    m.add(layer(core.InputConvolutional, "hrc", input_width=9, input_height=8, input_channels=3, filters=5,
                kernel_width=kernel, kernel_height=kernel, stride_x=stride, stride_y=stride, padding=padding,
                weights_bits=4, activation=act, act_bits=2, pool_type=pool, pooling_width=2, pooling_height=2,
                padding_value=pad_value))
    m.add(layer(core.FullyConnected, "dense", **dense(4, wb=2, ab=1)))
    rng = np.random.default_rng(kernel + stride)
    hrc = m.layers[0]
    for name in hrc.variables.names:
        current = hrc.variables[name]
        values = {"weights": lambda: rng.integers(-7, 8, size=current.shape),
                  "threshold": lambda: rng.integers(-50, 400, size=current.shape),
                  "act_step": lambda: rng.integers(0, 96, size=current.shape) / 16.0}[name]()
        hrc.variables[name] = np.asarray(values).astype(current.dtype)
    d = m.layers[1]
    d.variables["weights"] = rng.integers(-1, 2, size=np.asarray(d.variables["weights"]).shape).astype(np.int8)
    d.variables["threshold"] = rng.integers(-3, 6, size=4).astype(np.int32)
    d.variables["act_step"] = np.ones(4, np.float32)
    return m


@pytest.mark.parametrize("kernel, stride, padding, pool, pad_value, act",
                         [(3, 1, 1, 0, 0, 1), (5, 2, 0, 0, 9, 1), (3, 1, 1, 1, 200, 1), (7, 1, 1, 0, 17, 0)],
                         ids=["same", "valid-stride-2", "max-pool-padded", "no-activation"])
def test_v1_input_convolution_then_dense_matches_reference(kernel, stride, padding, pool, pad_value, act):
    m = input_conv_model(kernel, stride, padding, pool, pad_value, act)
    x = np.random.default_rng(kernel).integers(0, 256, size=(2, 9, 8, 3)).astype(np.uint8)
    check(m, x)
    alone = input_conv_model(kernel, stride, padding, pool, pad_value, act)
    alone.pop_layer()
    check(alone, x)  # the HRC's own output (and, without activation, its potentials)
