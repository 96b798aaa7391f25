"""A model keeps what its software runs prepared (its layers made ready for the kernels, the buffers of every
thread) from one call to the next. Each call still runs the model as it is then: after variables are set, a
fit, another number of threads or batch size, or the other mode, its results are the reference's."""
import numpy as np
import pytest

import reference as ref
from test_nn_model import bench_like_model, inputs, learning_model, randomize


def set_weights(m, name, seed):
    lay = m.get_layer(name)
    w = lay.variables["weights"]
    lay.variables["weights"] = np.random.default_rng(seed).integers(-128, 128, size=w.shape).astype(w.dtype)


def set_shift(m, name, value):
    lay = m.get_layer(name)
    lay.variables["output_shift"] = np.full(lay.variables["output_shift"].shape, value, np.int8)


# (what changes before the call, the mode of the call, OVRIX_NUM_THREADS, samples)
CALLS = [
    (None, "forward", "4", 9),
    (None, "forward", "4", 9),
    (lambda m: set_weights(m, "l3", 1), "forward", "4", 9),
    (lambda m: set_shift(m, "dense", -9), "predict", "1", 9),
    (None, "forward", "8", 2),
    (lambda m: set_weights(m, "dense", 2), "forward", "3", 17),
    (lambda m: set_shift(m, "l0", -12), "predict", "2", 17),
]


def test_every_call_runs_the_model_as_it_is(monkeypatch):
    m = bench_like_model(40, 32)  # 1.7 M multiply-accumulates a sample
    randomize(m, seed=12)
    for change, mode, threads, samples in CALLS:
        x = inputs(m, samples, seed=samples)
        unchanged = ref.run_model(m, x, mode)
        if change:
            change(m)
        monkeypatch.setenv("OVRIX_NUM_THREADS", threads)
        got = getattr(m, mode)(x)
        want = ref.run_model(m, x, mode)
        np.testing.assert_array_equal(got, want, err_msg=f"{mode} on {threads} threads")
        # Each change shows in the outputs, so a call that missed it would differ from the reference.
        assert (change is None) == np.array_equal(want, unchanged)


@pytest.mark.parametrize("labels", [[0, 2, 1, 1, 0, 2, 2, 0], [1]])
def test_a_forward_after_a_fit_reads_the_learnt_weights(labels):
    m = learning_model()
    x = inputs(m, 8, seed=23, high=16)
    before = m.forward(x)
    m.fit(x, labels)
    after = m.forward(x)
    np.testing.assert_array_equal(after, ref.run_model(m, x, "forward"))
    assert not np.array_equal(after, before)
