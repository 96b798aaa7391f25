"""Model.forward / predict / fit of a model mapped on an emulated device: the hardware metrics and power
events of the inference methods."""
import re

import numpy as np
import pytest

from emulated_devices import with_devices
from helpers import read_cases
from ovrix import core



def mapped_chain(device, last_activation=1):
    model = core.Model()
    model.add(core.Layer(core.LayerParams(core.InputData, dict(input_width=4, input_height=4, input_channels=1,
                                                               input_bits=8, input_signed=0)), "input"))
    # Without its activation, the last layer keeps 8-bit potentials, which take 8-bit weights.
    for name, activation in (("c1", 1), ("c2", last_activation)):
        model.add(core.Layer(core.LayerParams(core.Conv2D, dict(kernel_size=3, kernel_stride=1, padding=1, filters=4,
                                                                weights_bits=4 if activation else 8,
                                                                activation=activation)), name))
    model._map(device, False, core.MapConstraints(device))
    return model


def samples(n):
    return np.arange(n * 16, dtype=np.uint8).reshape(n, 4, 4, 1)


@with_devices("v2:soc")
def test_hardware_inference_writes_the_clock_metrics_and_copies_power_events():
    (device,) = core.devices()
    model = mapped_chain(device)
    out = model.forward(samples(3))
    assert out.shape == (3, 4, 4, 4)
    metrics = model.metrics
    assert sorted(metrics.names) == ["inference_clk", "inference_end", "inference_frames", "inference_start",
                                     "program_clk"]
    assert metrics["inference_frames"] == 3
    assert metrics["inference_clk"] >= 0 and metrics["program_clk"] >= 0
    assert model.power_events == []  # measurement is off
    device.soc.power_measurement_enabled = True
    model.forward(samples(2))
    events = model.power_events
    assert len(events) >= 1 and all(e.power > 0 for e in events)
    # The list handed out is a copy: a later inference does not change it.
    model.forward(samples(1))
    assert len(events) >= 1


@with_devices("v2:soc+clock=4294967290")
def test_a_wrapping_clock_counter_gives_a_small_inference_clk():
    (device,) = core.devices()
    model = mapped_chain(device)
    model.forward(samples(4))
    assert 0 <= model.metrics["inference_clk"] < 2 ** 20


@with_devices("v2")
def test_software_inference_after_hardware_keeps_the_hardware_metrics():
    (device,) = core.devices()
    model = mapped_chain(device)
    model.forward(samples(2))
    clk, program = model.metrics["inference_clk"], model.metrics["program_clk"]
    software = core.Model(model.layers)  # an unmapped copy
    software.forward(samples(2))
    assert "inference_clk" not in software.metrics.names
    assert model.metrics["inference_clk"] == clk and model.metrics["program_clk"] == program


@with_devices("v2")
def test_learning_is_refused_on_v2_devices():
    (device,) = core.devices()
    model = mapped_chain(device)
    with pytest.raises(RuntimeError, match="^Learning not implemented on v2.$"):
        model.fit(samples(1), [0])


INPUTS = [case.values for case in read_cases("python/device_inputs.txt", 2)]


@with_devices("v2")
def test_inputs_are_checked_against_the_input_layer_before_they_reach_the_device():
    (device,) = core.devices()
    model = mapped_chain(device, last_activation=0)
    runs = {"forward": model.forward, "predict": model.predict, "fit": lambda x: model.fit(x, [0] * len(x))}
    for expression, error in INPUTS:
        x = eval(expression)
        if error:
            kind, message = error.split(": ", 1)
            for name, run in runs.items():
                with pytest.raises({"ValueError": ValueError}[kind], match="^" + re.escape(message) + "$"):
                    run(x)
                assert device.program is None, (expression, name)  # never programmed, nothing ran
                assert model.metrics.names == []
        else:
            # The device reads a byte a value: a wider type gives what the same values in uint8 give.
            same = x.astype(np.uint8)
            np.testing.assert_array_equal(model.forward(x), model.forward(same))
            np.testing.assert_array_equal(model.predict(x), model.predict(same))
    assert model.metrics["inference_frames"] == 2


@with_devices("v1")
def test_an_input_convolution_on_the_device_takes_the_bytes_of_its_input_stage():
    # In software an input convolution takes any whole number; on the device its input stage reads a
    # byte a value: what does not fit is refused before the device sees it, and wider types send the
    # same bytes as uint8.
    (device,) = core.devices()
    model = core.Model()
    model.add(core.Layer(core.LayerParams(core.InputConvolutional, dict(
        input_width=8, input_height=8, input_channels=1, kernel_width=3, kernel_height=3, filters=4,
        padding=int(core.Same), weights_bits=2, activation=1, act_bits=4)), "hrc"))
    model.layers[0].variables["weights"] = np.random.default_rng(2).integers(
        -1, 2, size=model.layers[0].variables["weights"].shape).astype(np.int8)
    model.layers[0].variables["act_step"] = np.ones(4, np.float32)
    model._map(device, False, core.MapConstraints(device))
    assert [sequence.backend for sequence in model.sequences] == [core.Hardware]
    for value, dtype in ((300, np.int16), (-1, np.int8), (-1, np.int16), (256, np.float32), (2**20, np.float32)):
        with pytest.raises(ValueError, match=f"^Layer 'hrc': input value {value} does not fit its 8-bit unsigned "
                                             r"input\.$"):
            model.forward(np.full((2, 8, 8, 1), value, dtype))
        assert device.program is None
    x = np.arange(128, dtype=np.uint8).reshape(2, 8, 8, 1) + 128
    for dtype in (np.int16, np.float32):
        np.testing.assert_array_equal(model.forward(x.astype(dtype)), model.forward(x))
    np.testing.assert_array_equal(model.forward((x - 128).astype(np.int8)), model.forward(x - 128))
