"""Device programs that would be read at misaligned addresses, or that announce more input or output
than a device holds, are refused with a clear error by every reader."""
import struct

import pytest

from emulated_devices import PROGRAM_DATA_ADDRESS, build_program, info_part, with_devices
from ovrix import core

MISALIGNED = r"^Invalid device program: the program information takes {} bytes, not a whole number of 32-bit words\.$"
TOO_LARGE = (r"^Invalid device program: one sample's input \({} elements\) and output \({} elements\) do not fit "
             r"the 268435456 bytes of device memory beside the program\.$")


def padded(program, extra):
    """The program with `extra` zero bytes after its information part, whose size prefix grows to match."""
    info = info_part(program)
    grown = struct.pack("<I", len(info) - 4 + extra) + info[4:] + bytes(extra)
    return grown + program[len(info):]


@pytest.mark.parametrize("extra", [1, 2, 3])
def test_memory_infos_refuse_an_information_part_of_partial_words(extra):
    program = build_program()
    with pytest.raises(RuntimeError, match=MISALIGNED.format(len(info_part(program)) + extra)):
        core.get_program_memory_infos(padded(program, extra))
    # Whole words of padding are read as before.
    assert core.get_program_memory_infos(padded(program, 4)).output_memory == 40


@with_devices("v2")
def test_devices_refuse_misaligned_and_oversized_programs():
    (device,) = core.devices()
    good = build_program()
    device.program = good
    size = len(info_part(good)) + 2
    with pytest.raises(RuntimeError, match=MISALIGNED.format(size)):
        device.program = padded(good, 2)
    with pytest.raises(RuntimeError, match=MISALIGNED.format(size)):
        device.program_external(info_part(padded(good, 2)), PROGRAM_DATA_ADDRESS)
    for program, counts in [(build_program(output_dims=(2 ** 32 - 1,)), (16, 4294967295)),
                            (build_program(input_dims=(2 ** 16, 2 ** 16, 1)), (4294967296, 10))]:
        with pytest.raises(RuntimeError, match=TOO_LARGE.format(*counts)):
            device.program = program
    # Setting the program unprograms the device first; a refused program leaves it without one.
    assert device.program is None
    device.program = good
    assert device.program == good
