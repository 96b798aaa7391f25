"""The engine shares a batch between threads of its own (OVRIX_NUM_THREADS, read at every call; at most
one thread per 2^22 multiply-accumulates of the batch, so the models here are large enough for several):
the results, the refusals and the order of the samples do not depend on the number of threads."""
import numpy as np
import pytest

import reference as ref
from ovrix import core
from test_nn_model import bench_like_model, inputs, input_layer, layer, randomize, residual_model

COUNTS = ["1", "2", "3", "8"]


def per_thread_count(monkeypatch, call):
    """call() under each thread count, in one list."""
    results = []
    for count in COUNTS:
        monkeypatch.setenv("OVRIX_NUM_THREADS", count)
        results.append(call())
    return results


def all_equal(results):
    first = results[0]
    for other in results[1:]:
        if isinstance(first, np.ndarray):
            assert other.dtype == first.dtype and other.shape == first.shape
            np.testing.assert_array_equal(other, first)
        else:
            assert other == first


@pytest.mark.parametrize("samples", [1, 5, 13])
def test_forward_predict_and_evaluate_are_the_same_on_any_number_of_threads(monkeypatch, samples):
    m = bench_like_model(48, 40)  # 2.5 M multiply-accumulates a sample
    randomize(m, seed=41)
    x = inputs(m, samples, seed=samples)
    all_equal(per_thread_count(monkeypatch, lambda: m.forward(x)))
    all_equal(per_thread_count(monkeypatch, lambda: m.predict(x)))
    labels = np.arange(samples, dtype=np.int32) % 10
    all_equal(per_thread_count(monkeypatch, lambda: m.evaluate(x, labels)))
    # Different samples give different outputs, so a sample written to another's row would show.
    if samples > 1:
        out = m.forward(x)
        assert len({out[i].tobytes() for i in range(samples)}) > 1


def test_a_residual_model_on_any_number_of_threads(monkeypatch):
    m = residual_model(20, 8, 16)  # 1.5 M multiply-accumulates a sample
    randomize(m, seed=42)
    x = inputs(m, 9, seed=2)
    all_equal(per_thread_count(monkeypatch, lambda: m.forward(x)))


def test_the_first_bad_sample_is_reported_whatever_the_threads(monkeypatch):
    m = core.Model()
    m.add(input_layer(24, 24, 8))
    m.add(layer(core.Conv2D, "c", filters=32, kernel_size=3, activation=1, weights_bits=8))  # 1.3 M a sample
    x = np.zeros((12, 24, 24, 8), np.float32)
    x[9, 0, 0, 0] = 0.5
    x[4, 1, 1, 0] = 0.25  # the first bad sample, in the second of three chunks
    messages = []
    for count in COUNTS:
        monkeypatch.setenv("OVRIX_NUM_THREADS", count)
        with pytest.raises(ValueError) as e:
            m.forward(x)
        messages.append(str(e.value))
    assert messages == ["Input value 0.25 is not a 32-bit integer."] * len(COUNTS)


def test_temporal_state_carries_from_sample_to_sample_on_any_number_of_threads(monkeypatch):
    # The FIFO makes each sample's output depend on the ones before: such a run stays on one thread.
    m = core.Model()
    m.add(input_layer(16, 16, 16))
    m.add(layer(core.BufferTempConv, "tnp", fifo_size=3, filters=32, activation=0, weights_bits=8, output_bits=32))
    randomize(m, seed=3)
    x = inputs(m, 8, seed=3)
    results = per_thread_count(monkeypatch, lambda: m.forward(x))
    all_equal(results)
    monkeypatch.setenv("OVRIX_NUM_THREADS", "1")
    one_by_one = np.concatenate([m.forward(x[:4]), m.forward(x[4:])])
    assert not np.array_equal(one_by_one, results[0])  # the second call starts with empty FIFOs


@pytest.mark.parametrize("value", ["0", "-3", "two", "", "4x", "100000"])
def test_thread_counts_that_are_not_whole_numbers_in_range_fall_back_to_the_default(monkeypatch, value):
    m = residual_model()
    randomize(m, seed=43)
    x = inputs(m, 4, seed=4)
    monkeypatch.delenv("OVRIX_NUM_THREADS", raising=False)
    want = m.forward(x)
    monkeypatch.setenv("OVRIX_NUM_THREADS", value)
    np.testing.assert_array_equal(m.forward(x), want)


def v1_chain():
    """Convolutional -> SeparableConvolutional -> FullyConnected: 9.5 M multiply-accumulates a sample."""
    from test_nn_model_v1 import conv, randomize as randomize_v1, v1_model
    m = v1_model((40, 40, 4), 4, (core.Convolutional, conv(32, wb=4, ab=4, pool=1)),
                 (core.SeparableConvolutional, conv(48, wb=2, ab=2)),
                 (core.FullyConnected, dict(units=300, weights_bits=4, activation=1, act_bits=2)))
    randomize_v1(m, 7)
    return m


@pytest.mark.parametrize("samples", [1, 3, 9])
def test_v1_kinds_are_the_same_on_any_number_of_threads(monkeypatch, samples):
    # One sample and three have fewer samples than threads: their convolutions split the rows of the image.
    m = v1_chain()
    x = np.random.default_rng(samples).integers(0, 16, size=(samples, 40, 40, 4)).astype(np.uint8)
    results = per_thread_count(monkeypatch, lambda: m.forward(x))
    all_equal(results)
    np.testing.assert_array_equal(results[0], ref.run_model(m, x, "forward"))


def test_a_single_large_image_splits_its_rows_and_matches_the_reference(monkeypatch):
    m = bench_like_model(96, 80)  # 8.6 M multiply-accumulates: every thread count splits the one image
    randomize(m, seed=44)
    x = inputs(m, 1, seed=5)
    results = per_thread_count(monkeypatch, lambda: m.forward(x))
    all_equal(results)
    np.testing.assert_array_equal(results[0], ref.run_model(m, x, "forward"))
