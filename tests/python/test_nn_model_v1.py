"""Software inference of unmapped v1 convolutions (Convolutional, SeparableConvolutional): forward and
predict against the NumPy reference, bit for bit, and the firing law on hand-computed levels."""
import numpy as np
import pytest

import reference as ref
from ovrix import core


def layer(layer_type, name, **entries):
    return core.Layer(core.LayerParams(layer_type, entries), name)


def randomize(model, seed):
    """Weights the CNP layouts can hold, thresholds around the potentials, steps from 0 to 6."""
    rng = np.random.default_rng(seed)
    for lay in model.layers[1:]:
        bits = lay.parameters.get("weights_bits")
        low, high = {1: (0, 1), 2: (-1, 1), 4: (-7, 7)}[bits]
        for name in lay.variables.names:
            current = lay.variables[name]
            if name in ("weights", "weights_pw"):
                values = rng.integers(low, high + 1, size=current.shape)
            elif name == "threshold":
                values = rng.integers(-20, 60, size=current.shape)
            else:  # act_step, in sixteenths of a level (0 included: straight to the top level)
                values = rng.integers(0, 96, size=current.shape) / 16.0
            lay.variables[name] = np.asarray(values).astype(current.dtype)


def check(model, x):
    """forward, and predict where the last layer has no activation, equal the reference bit for bit."""
    modes = ["forward"] + ([] if model.layers[-1].parameters.get("activation") else ["predict"])
    for mode in modes:
        got, want = getattr(model, mode)(x), ref.run_model(model, x, mode)
        assert (got.dtype, got.shape) == (want.dtype, want.shape), mode
        np.testing.assert_array_equal(got, want, err_msg=mode)


def v1_model(shape, input_bits, *convs):
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=shape[0], input_height=shape[1], input_channels=shape[2],
                input_bits=input_bits, input_signed=0))
    for i, (kind, entries) in enumerate(convs):
        m.add(layer(kind, f"l{i}", **entries))
    return m


def conv(filters, kernel=3, stride=1, padding=1, wb=1, act=1, ab=1, pool=0, pw=2, ps=-1):
    return dict(filters=filters, kernel_width=kernel, kernel_height=kernel, stride_x=stride, stride_y=stride,
                padding=padding, weights_bits=wb, activation=act, act_bits=ab, pool_type=pool, pooling_width=pw,
                pooling_height=pw, pooling_stride_x=ps, pooling_stride_y=ps)


CHAINS = {
    # InputData -> Convolutional (max pooling) -> SeparableConvolutional -> Convolutional without activation
    "chain": ((12, 10, 3), 4, [(core.Convolutional, conv(6, wb=4, ab=4, pool=1)),
                               (core.SeparableConvolutional, conv(8, wb=2, ab=2)),
                               (core.Convolutional, conv(5, kernel=1, padding=0, wb=2, act=0))]),
    "average_pooling": ((9, 7, 2), 2, [(core.Convolutional, conv(4, wb=2, ab=2, pool=2, pw=3, ps=2)),
                                       (core.SeparableConvolutional, conv(6, kernel=5, wb=4, act=0, pool=2, pw=2))]),
    "global_average": ((8, 8, 4), 4, [(core.SeparableConvolutional, conv(7, wb=4, act=0, pool=2, pw=-1))]),
    "stride_2_valid": ((11, 9, 2), 4, [(core.Convolutional, conv(5, kernel=5, stride=2, padding=0, wb=4, ab=1)),
                                       (core.SeparableConvolutional, conv(3, stride=2, wb=2, act=0, pool=1))]),
    "same_upper_7": ((10, 10, 1), 1, [(core.Convolutional, conv(4, kernel=7, padding=2, wb=1, ab=2, pool=1,
                                                                pw=3, ps=2))]),
    "separable_last_fires": ((6, 5, 3), 2, [(core.SeparableConvolutional, conv(9, wb=4, ab=4, pool=1))]),
}


@pytest.mark.parametrize("name", sorted(CHAINS))
@pytest.mark.parametrize("seed", [1, 2])
def test_v1_forward_matches_reference(name, seed):
    shape, input_bits, convs = CHAINS[name]
    m = v1_model(shape, input_bits, *convs)
    randomize(m, seed)
    x = np.random.default_rng(seed).integers(0, 1 << input_bits, size=(3,) + shape).astype(np.uint8)
    check(m, x)


def test_firing_levels():
    # p = input; filter 0: threshold 3, step 1.25 (20 sixteenths): level = ceil(16 (p - 3) / 20), at most 3.
    m = v1_model((16, 1, 1), 4, (core.Convolutional, conv(2, kernel=1, padding=0, wb=2, ab=2)))
    lay = m.layers[1]
    lay.variables["weights"] = np.ones((1, 1, 1, 2), np.int8)  # stored reversed: (F, C, 1, 1)
    lay.variables["threshold"] = np.array([3, -1], np.int32)
    lay.variables["act_step"] = np.array([1.25, 0.0], np.float32)
    x = np.arange(16, dtype=np.uint8).reshape(1, 16, 1, 1)
    out = m.forward(x)
    assert out.dtype == np.uint8
    # filter 1: step 0, the top level as soon as p > -1
    assert out[0, :, 0, 0].tolist() == [0, 0, 0, 0, 1, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3]
    assert out[0, :, 0, 1].tolist() == [3] * 16


def test_potentials_without_activation_are_int32():
    m = v1_model((4, 4, 1), 4, (core.Convolutional, conv(1, kernel=1, padding=0, wb=4, act=0)))
    m.layers[1].variables["weights"] = np.full((1, 1, 1, 1), -7, np.int8)
    x = np.full((1, 4, 4, 1), 15, np.uint8)
    out = m.forward(x)
    assert out.dtype == np.int32
    assert (out == -105).all()
    assert (m.predict(x) == np.float32(-105)).all()


def test_negative_step_is_refused():
    m = v1_model((4, 4, 1), 1, (core.Convolutional, conv(1)))
    m.layers[1].variables["act_step"] = np.array([-1.0], np.float32)
    with pytest.raises(ValueError, match='"act_step" of filter 0 is negative'):
        m.forward(np.zeros((1, 4, 4, 1), np.uint8))
