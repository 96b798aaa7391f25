"""HardwareDevice and devices() on emulated devices, each set of devices in a process of its own."""

import numpy as np
import pytest

from emulated_devices import (PROGRAM_DATA_ADDRESS, bytes_of, build_program, expected_learning, info_part,
                              learning_memory, with_devices, words_of)
from ovrix import core


# --- devices() ----------------------------------------------------------------------------------

@with_devices(None)
def test_no_device_without_the_variable():
    assert core.devices() == []
    assert core.devices() == []


@with_devices("")
def test_no_device_for_an_empty_list():
    assert core.devices() == []


@with_devices("v2,Tamsel_v1:soc,lumo")
def test_devices_are_the_same_objects_in_discovery_order():
    first, second = core.devices(), core.devices()
    assert first is not second
    assert len(first) == 3
    for a, b in zip(first, second):
        assert a is b
        assert a == b
    assert [d.ip_version for d in first] == [core.IpVersion.v2, core.IpVersion.v1, core.IpVersion.lumo]
    assert [d.version for d in first] == [core.HwVersion.Proteo_v2, core.HwVersion.Tamsel_v1,
                                          core.HwVersion.Lumo_Proteo]
    assert first[0].desc == "Emulated v2 (188.162.1.0)"
    assert first[1].desc == "Emulated Tamsel_v1 (188.161.3.6)"
    assert first[0] != first[1]
    assert all(isinstance(d, core.HardwareDevice) and isinstance(d, core.Device) for d in first)
    assert len(first[0].mesh.nps) == 30


@with_devices("v2")
def test_a_hardware_device_is_accepted_where_a_device_is():
    (device,) = core.devices()
    constraints = core.MapConstraints(device)
    assert constraints.device is device
    assert constraints.cnp_max_width == 64


@with_devices("v2,Tamsel_v1:fail,lumo")
def test_a_driver_that_cannot_be_opened_is_skipped(capfd):
    devices = core.devices()
    assert [d.ip_version for d in devices] == [core.IpVersion.v2, core.IpVersion.lumo]
    assert capfd.readouterr().out == "Cannot open the emulated device Tamsel_v1: it does not answer.\n"
    core.devices()
    assert capfd.readouterr().out == ""  # discovered once


@with_devices("lumo,v2:mismatch")
def test_an_edition_mismatch_fails_discovery_and_the_next_call_tries_again():
    message = ("Incompatible hardware and Ip versions: HW Version is 188.162.1.0 with product id = 162 while IP "
               "version is v1.")
    for _ in range(2):
        with pytest.raises(ValueError) as error:
            core.devices()
        assert str(error.value) == message


@with_devices("v2,v3")
def test_a_device_list_that_does_not_parse_is_refused_at_every_call():
    for _ in range(2):
        with pytest.raises(ValueError, match="OVRIX_EMULATED_DEVICES: unknown device 'v3'"):
            core.devices()


# --- program ------------------------------------------------------------------------------------

@with_devices("v2")
def test_program_is_copied_loaded_and_read_back():
    (device,) = core.devices()
    assert device.program is None
    program = build_program(tag=1)
    device.program = program
    assert device.program == program
    assert device.metrics.names == ["program_clk"]
    assert device.metrics["program_clk"] == 10000 + len(program) // 4
    other = build_program(output_dims=(2, 2, 2), tag=2)
    device.program = other
    assert device.program == other
    assert device.metrics["program_clk"] == 10000 + len(other) // 4
    device.unprogram()
    assert device.program is None


@with_devices("v2")
def test_program_refuses_other_types_and_malformed_bytes():
    (device,) = core.devices()
    program = build_program()
    for value in (bytearray(program), "text", None, 3):
        with pytest.raises(TypeError):
            device.program = value
    device.program = program
    with pytest.raises(RuntimeError, match=r"^Invalid device program: malformed program information\.$"):
        device.program = program[:4] + b"\xff\xff\xff\xff" + program[8:]
    # The device was unprogrammed before the refused load.
    assert device.program is None
    with pytest.raises(RuntimeError, match="the output shape has 0 dimensions"):
        device.program = build_program(output_dims=())


@with_devices("v2")
def test_program_external_uses_the_data_already_on_the_device():
    (device,) = core.devices()
    program = build_program(output_dims=(3, 1, 2), tag=5)
    with pytest.raises(RuntimeError, match=r"^No program data at address 0x20000000\.$"):
        device.program_external(info_part(program), PROGRAM_DATA_ADDRESS)
    device.program = program  # copies its data part to the device's program memory
    device.unprogram()
    assert device.program is None
    device.program_external(info_part(program), PROGRAM_DATA_ADDRESS)
    assert device.program == program
    assert device.metrics["program_clk"] == 10000 + len(program) // 4
    with pytest.raises(TypeError):
        device.program_external(info_part(program), -1)
    with pytest.raises(TypeError):
        device.program_external(info_part(program), 1 << 32)
    with pytest.raises(TypeError):
        device.program_external(program_info=info_part(program), address=PROGRAM_DATA_ADDRESS)


# --- learning -----------------------------------------------------------------------------------

@with_devices("v1")
def test_learn_enabled_converts_truth_values():
    (device,) = core.devices()
    device.program = build_program()
    assert device.learn_enabled is False
    for value, expected in ((True, True), (np.bool_(False), False), (1, True), (None, False)):
        device.learn_enabled = value
        assert device.learn_enabled is expected
    device.learn_enabled = True
    device.program = build_program()
    assert device.learn_enabled is False  # a new program starts with learning off


FNP3_MEMORY = [0xAAAA0001, 0x00000006, 1, 2, 3, 4, 5, 6]


@with_devices("v1")
def test_learn_mem_round_trip_and_size_checks():
    (device,) = core.devices()
    device.program = build_program()
    assert device.learn_mem is None
    device.learn_mem = b""  # zero words expected, zero given
    with pytest.raises(RuntimeError, match=r"^Unexpected input buffer size\.$"):
        device.learn_mem = b"\0\0\0\0"

    device.program = build_program(fnp3=FNP3_MEMORY)
    assert words_of(device.learn_mem) == FNP3_MEMORY
    new = [10, 20, 30, 40, 50, 60, 70, 80]
    device.learn_mem = bytes_of(new) + b"\1\2\3"  # trailing bytes beyond whole words are ignored
    assert words_of(device.learn_mem) == new
    with pytest.raises(RuntimeError, match=r"^Unexpected input buffer size\.$"):
        device.learn_mem = bytes_of(new)[:-1]
    with pytest.raises(RuntimeError, match=r"^Unexpected input buffer size\.$"):
        device.learn_mem = bytes_of(new + [1])
    assert words_of(device.learn_mem) == new
    with pytest.raises(TypeError):
        device.learn_mem = bytearray(bytes_of(new))

    device.program = build_program(fnp2=[5, 6, 7])
    assert words_of(device.learn_mem) == [5, 6, 7]


def samples(n, shape=(4, 4, 1), seed=0):
    return np.random.default_rng(seed).integers(0, 256, size=(n, *shape), dtype=np.uint8)


LEARN_WEIGHTS = np.random.default_rng(5).integers(0, 2, size=(6, 16))
LEARN_MEMORY = learning_memory(LEARN_WEIGHTS, classes=[0, 0, 1, 1, 2, 2], header=[0xAAAA0001, 0x60000030])


@with_devices("v1")
@pytest.mark.parametrize("input_dims, input_words", [((4, 4, 1), 1), ((4, 4, 1), 2), ((4, 4, 3), 2)],
                         ids=["sample-is-the-input", "hashed-inputs", "sample-fills-the-input-words"])
def test_fit_with_learning_on_learns_by_the_software_rule(input_dims, input_words):
    (device,) = core.devices()
    weights = np.random.default_rng(5).integers(0, 2, size=(6, 32 * input_words - 8))
    memory = learning_memory(weights, classes=[0, 0, 1, 1, 2, 2], header=[0xAAAA0001, 0x60000030])
    device.program = build_program(input_dims=input_dims, fnp3=memory, fnp=(6, input_words))
    x = samples(5, input_dims)
    x[x < 100] = 0  # inputs that are 0 give connections up
    device.fit(x, [1, 2, 0, 1, 2])
    assert words_of(device.learn_mem) == memory  # learning off: nothing learnt
    device.learn_enabled = True
    device.fit(x, [1, 2, 0, 1, 2])
    expected = expected_learning(memory, x, [1, 2, 0, 1, 2], True, 6, input_words)
    assert words_of(device.learn_mem) == expected != memory
    assert expected[:2] == memory[:2]
    device.fit(x, np.array([9], dtype=np.uint8))  # no neuron has class 9
    assert words_of(device.learn_mem) == expected
    device.fit(x)
    assert words_of(device.learn_mem) == expected_learning(expected, x, [], True, 6, input_words)


@with_devices("v1")
def test_fit_learns_nothing_in_a_memory_its_registers_do_not_describe():
    (device,) = core.devices()
    for fnp in (None, (7, 1), (6, 3), (0, 1)):  # no registers, more neurons or words than the memory holds
        device.program = build_program(fnp3=LEARN_MEMORY, fnp=fnp)
        device.learn_enabled = True
        device.fit(samples(5))
        assert words_of(device.learn_mem) == LEARN_MEMORY, fnp


@with_devices("v1")
def test_the_learning_memory_is_the_track_that_holds_the_block():
    (device,) = core.devices()
    # A block that needs the long DMA header starts a track of its own after an empty first track.
    device.program = build_program(fnp3_tracks=[[], LEARN_MEMORY], fnp=(6, 1))
    assert words_of(device.learn_mem) == LEARN_MEMORY
    device.learn_enabled = True
    x = samples(3)
    x[x < 100] = 0
    device.fit(x, [0])
    assert words_of(device.learn_mem) == expected_learning(LEARN_MEMORY, x, [0], True, 6, 1) != LEARN_MEMORY


# --- metrics ------------------------------------------------------------------------------------

@with_devices("v2")
def test_metrics_are_a_live_view():
    (device,) = core.devices()
    metrics = device.metrics
    assert metrics.names == []
    for name in ("inference_clk", ""):
        with pytest.raises(ValueError) as error:
            metrics[name]
        assert str(error.value) == name + " : no such metrics"
    with pytest.raises(TypeError):
        metrics[3]
    with pytest.raises(TypeError):
        core.Metrics()
    device.program = build_program()
    device.forward(samples(3))
    assert sorted(metrics.names) == sorted(
        ["program_clk", "inference_frames", "inference_clk", "inference_start", "inference_end"])
    assert metrics["inference_frames"] == 3
    assert metrics["inference_clk"] == 3 * (1000 + 16)
    assert 0 <= metrics["inference_end"] - metrics["inference_start"] < 60000


@with_devices("v2:clock=4294967280")
def test_inference_clk_across_a_counter_wrap():
    (device,) = core.devices()
    device.program = build_program()
    device.forward(samples(1))
    assert device.metrics["inference_clk"] == 1016
    device.forward(samples(2))
    assert device.metrics["inference_clk"] == 2032


@with_devices("v2")
def test_memory_usage_and_top():
    (device,) = core.devices()
    assert device.memory == (0, 0)
    program = build_program(output_dims=(1, 1, 10))
    device.program = program
    device.forward(samples(4))
    usage, top = device.memory
    assert usage == len(program) + 4 * (16 + 40)
    assert top == usage
    device.forward(samples(1))
    assert device.memory == (len(program) + 16 + 40, usage)
    device.reset_top_memory()
    assert device.memory == (len(program) + 16 + 40,) * 2
