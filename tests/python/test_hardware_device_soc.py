"""SocDriver, clock modes, power measurement and the flash board on emulated devices."""

import numpy as np
import pytest

from emulated_devices import build_program, with_devices
from ovrix import core
from ovrix.core import soc


def run(device, n=4):
    x = np.random.default_rng(n).integers(0, 256, size=(n, 4, 4, 1), dtype=np.uint8)
    return device.forward(x)


@with_devices("v2,v2:soc")
def test_soc_is_none_without_a_soc_driver():
    plain, board = core.devices()
    assert plain.soc is None
    assert isinstance(board.soc, core.SocDriver)
    with pytest.raises(TypeError):
        core.SocDriver()


@with_devices("v2:soc")
def test_clock_modes_read_and_write():
    (device,) = core.devices()
    driver = device.soc
    assert driver.clock_mode == soc.ClockMode.Performance
    for mode in (soc.LowPower, soc.Economy, soc.ClockMode(300000000)):
        driver.clock_mode = mode
        assert driver.clock_mode == mode
        assert device.soc.clock_mode == mode
    with pytest.raises(TypeError):
        driver.clock_mode = 100000000


@with_devices("v2:soc+busy=stuck")
def test_a_clock_change_that_never_applies():
    driver = core.devices()[0].soc
    with pytest.raises(RuntimeError, match=r"^Failed to apply clock mode\.$"):
        driver.clock_mode = soc.Economy
    with pytest.raises(RuntimeError, match=r"^Clock mode is already changing\.$"):
        driver.clock_mode = soc.Economy
    # The dividers stay written.
    assert driver.clock_mode == soc.Economy


@with_devices("lumo:soc+busy=set")
def test_a_clock_change_already_in_progress():
    driver = core.devices()[0].soc
    with pytest.raises(RuntimeError, match=r"^Clock mode is already changing\.$"):
        driver.clock_mode = soc.LowPower
    assert driver.clock_mode == soc.Performance


@with_devices("v2:soc")
def test_power_measurement_and_power_events():
    (device,) = core.devices()
    driver = device.soc
    device.program = build_program()
    assert driver.power_measurement_enabled is False
    assert driver.power_meter is None
    run(device)
    assert device.inference_power_events == []

    driver.power_measurement_enabled = True
    assert driver.power_measurement_enabled is True
    meter = driver.power_meter
    assert isinstance(meter, core.PowerMeter)
    assert meter.events() == [] and meter.floor is None
    run(device, 4)
    events = device.inference_power_events
    assert len(events) == 4
    assert [e.ts for e in events] == sorted({e.ts for e in events})
    for e in events:
        assert 800000 <= e.voltage <= 1000000 and 50 <= e.current <= 500
        assert e.power == e.voltage * e.current // 1000000
    assert [(e.ts, e.voltage, e.current) for e in meter.events()] == [(e.ts, e.voltage, e.current) for e in events]
    assert meter.floor == pytest.approx(min(e.voltage / 1e6 * e.current for e in events), rel=1e-6)
    run(device, 2)
    assert len(meter.events()) == 6  # reading does not consume
    assert len(device.inference_power_events) == 6

    driver.power_measurement_enabled = False
    assert driver.power_meter is None
    run(device, 3)
    assert len(device.inference_power_events) == 6  # kept from the last run that found a meter
    assert len(meter.events()) == 6  # the meter outlives the measurement period
    with pytest.raises(TypeError):
        core.PowerMeter()
    with pytest.raises(TypeError):
        core.PowerEvent()


@with_devices("v2:soc")
def test_the_meter_keeps_the_last_hundred_events():
    (device,) = core.devices()
    device.program = build_program()
    device.soc.power_measurement_enabled = True
    meter = device.soc.power_meter
    timestamps = []
    for _ in range(3):
        run(device, 50)
        timestamps += [e.ts for e in device.inference_power_events[-50:]]
    events = meter.events()
    assert len(events) == 100
    assert [e.ts for e in events] == timestamps[-100:]


# --- the flash board ---------------------------------------------------------------------------------

@with_devices("v2,lumo:soc+flash,Tamsel_v1:flash=null")
def test_get_flash():
    plain, board, empty = core.devices()
    board_module = core.boardZmx2400
    assert board_module.__doc__ == (
        "Spi flash controller for the zmx2400meant for testing, debugging and validation only.")
    with pytest.raises(ValueError) as error:
        board_module.get_flash(plain)
    assert str(error.value) == "The device does not contain an ZMX2400 flash"
    flash = board_module.get_flash(board)
    assert isinstance(flash, board_module.SpiFlashController)
    with pytest.raises(RuntimeError, match=r"^get_id function is not yet implemented$"):
        flash.get_id()
    assert board_module.get_flash(empty) is None
    with pytest.raises(TypeError):
        board_module.get_flash(core.Device(board.version, board.mesh))
    with pytest.raises(TypeError):
        board_module.get_flash(device=board)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        board_module.get_flash(None)  # not a device: refused like any other object, never dereferenced
    with pytest.raises(TypeError):
        board_module.SpiFlashController()
