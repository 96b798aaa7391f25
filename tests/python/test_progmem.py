"""get_program_memory_infos on the programs of mapped models, checked against the program
information read back with Python's flatbuffers package (the reader of the program-format tests)."""
import math
import struct

import pytest

from ovrix import core
from helpers import chain, residual, small_v2_device, v2_device

FIELDS = ["input_memory", "input_descriptor_memory", "output_memory", "program_memory", "extra_program_memory",
          "program_descriptors_memory"]


@pytest.fixture(scope="module")
def info_reader(reader):
    return reader["ProgramInfo"]


def words(bits):
    """Bytes of `bits` bits, rounded up to whole 32-bit words."""
    return math.ceil(math.ceil(bits / 8) / 4) * 4


def expected_memory(program_info, program):
    """The six counts as the engine documents them, from the program-information table."""
    info_size = struct.unpack_from("<I", program, 0)[0]
    info = program_info.GetRootAs(program[: 4 + info_size], 4)
    inputs = math.prod(info.InputDimsAsNumpy()) if info.InputDimsLength() else 0
    outputs = math.prod(info.OutputDimsAsNumpy()) if info.OutputDimsLength() else 0
    output_bits = info.OutputBits() if info.OutputFlag() and info.OutputBits() else 32
    stores = sum(info.Passes(p).SkipdmaStores(s).Size() for p in range(info.PassesLength())
                 for s in range(info.Passes(p).SkipdmaStoresLength()))
    return {
        "input_memory": words(int(inputs) * (info.InputBits() or 8)),
        "input_descriptor_memory": 32,
        "output_memory": words(int(outputs) * output_bits),
        "program_memory": len(program) - 4 - info_size,
        "extra_program_memory": 4 * stores,
        "program_descriptors_memory": info.PassesLength() * info.DescriptorsPerPass() * 32,
    }


def mapped_program(name):
    model, device = {
        "chain": (chain(3), v2_device()),
        "three-passes": (chain(6), small_v2_device(2)),
        "residual": (residual(), v2_device()),
        "residual-two-passes": (residual(), small_v2_device(2, skip_dmas=2)),
    }[name]
    model._map(device)
    return model.sequences[0]


@pytest.mark.parametrize("name", ["chain", "three-passes", "residual", "residual-two-passes"])
def test_memory_of_mapped_programs(info_reader, name):
    sequence = mapped_program(name)
    program = sequence.program
    memory = core.get_program_memory_infos(program)
    assert {field: getattr(memory, field) for field in FIELDS} == expected_memory(info_reader, program)
    assert memory.program_memory == len(sequence.program_parts.program_data)
    assert memory.program_descriptors_memory % (32 * len(sequence.passes)) == 0


def test_the_residual_model_keeps_its_skip_buffer_on_the_host():
    assert core.get_program_memory_infos(mapped_program("residual").program).extra_program_memory > 0
    assert core.get_program_memory_infos(mapped_program("chain").program).extra_program_memory == 0


def test_repr_lists_the_six_counts_in_order():
    memory = core.get_program_memory_infos(mapped_program("residual-two-passes").program)
    counts = [getattr(memory, field) for field in FIELDS]
    assert repr(memory) == (
        "<ovrix.ProgramMemoryRequired(input_memory={}B, input_descriptor_memory={}B, output_memory={}B, "
        "program_memory={}B, extra_program_memory={}B, program_descriptors_memory={}B)>".format(*counts))
    assert " " not in repr(memory).replace(", ", "")
    assert all(isinstance(c, int) and c > 0 for c in counts)


def test_every_call_gives_a_new_record():
    program = mapped_program("chain").program
    assert core.get_program_memory_infos(program) is not core.get_program_memory_infos(program)


def test_the_record_is_read_only_and_not_constructible():
    memory = core.get_program_memory_infos(mapped_program("chain").program)
    with pytest.raises(AttributeError):
        memory.input_memory = 1
    with pytest.raises(TypeError):
        core.ProgramMemoryRequired()


def test_a_bytes_subclass_is_accepted():
    class Program(bytes):
        pass

    program = mapped_program("chain").program
    assert repr(core.get_program_memory_infos(Program(program))) == repr(core.get_program_memory_infos(program))


@pytest.mark.parametrize("convert", [bytearray, memoryview, lambda b: list(b), lambda b: b.hex()],
                         ids=["bytearray", "memoryview", "list", "str"])
def test_other_buffers_are_refused(convert):
    with pytest.raises(TypeError):
        core.get_program_memory_infos(convert(mapped_program("chain").program))


def test_the_program_is_positional_only():
    with pytest.raises(TypeError):
        core.get_program_memory_infos(program=mapped_program("chain").program)


def cut(program, size):
    return program[:size]


def corrupt_first_prefix(program):
    return struct.pack("<I", len(program)) + program[4:]


def corrupt_info(program):
    # The root offset of the information buffer points past its end.
    return program[:4] + struct.pack("<I", 0xFFFFFF00) + program[8:]


@pytest.mark.parametrize(
    "damage",
    [lambda p: b"", lambda p: p[:3], lambda p: p[:-4], lambda p: p + b"\0\0\0\0", corrupt_first_prefix, corrupt_info],
    ids=["empty", "no-prefix", "cut", "trailing-bytes", "first-prefix-too-large", "bad-root"],
)
def test_malformed_programs_are_refused(damage):
    with pytest.raises(RuntimeError, match=r"^Invalid device program: "):
        core.get_program_memory_infos(damage(mapped_program("chain").program))
