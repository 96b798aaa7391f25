"""Standard and input convolutions run their output stage on each group of output rows as soon as the
kernel has summed it (pooled layers keep the whole image): forward and predict equal the reference on
any number of threads, whether a batch's rows or its samples are split between them."""
import numpy as np
import pytest

import reference as ref
from helpers import read_cases
from ovrix import core
from test_nn_model import input_layer, inputs, layer, randomize


@pytest.mark.parametrize("kind, shape, filters, kernel, pool, activation, samples",
                         read_cases("python/fused_conv_cases.txt", 7))
def test_fused_output_stage_matches_the_reference_on_any_threads(monkeypatch, kind, shape, filters, kernel, pool,
                                                                  activation, samples):
    w, h, c = map(int, shape.split())
    k, s = map(int, kernel.split())
    pool_type, pool_size = map(int, pool.split())
    m = core.Model()
    m.add(input_layer(w, h, c))
    m.add(layer(getattr(core, kind), "conv", filters=int(filters), kernel_size=k, kernel_stride=s,
                padding=int(core.Same), activation=int(activation), weights_bits=8, output_bits=8,
                **(dict(pool_type=pool_type, pool_size=pool_size) if pool_type else {})))
    randomize(m, seed=int(filters) + w)
    x = inputs(m, int(samples), seed=w)
    # Predict is for layers without an activation.
    for mode in ("forward",) if int(activation) else ("forward", "predict"):
        want = ref.run_model(m, x, mode)
        for threads in ("1", "3", "8"):
            monkeypatch.setenv("OVRIX_NUM_THREADS", threads)
            got = getattr(m, mode)(x)
            assert got.dtype == want.dtype and got.shape == want.shape, (mode, threads)
            np.testing.assert_array_equal(got, want, err_msg=f"{mode} on {threads} threads")
