"""Sequence, Pass and ProgramParts of a model mapped on a virtual v2 device."""
import gc
import struct

import pytest

from ovrix import core
from helpers import chain, residual, small_v2_device, v2_device


def u32(buffer, offset=0):
    return struct.unpack_from("<I", buffer, offset)[0]


@pytest.fixture(scope="module")
def mapped():
    model = residual()
    model._map(v2_device())
    return model


@pytest.fixture(scope="module")
def three_passes():
    model = chain(6)
    model._map(small_v2_device(2))
    return model


@pytest.mark.parametrize("cls", [core.Sequence, core.Pass, core.ProgramParts])
def test_python_cannot_make_them(cls):
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize("name", ["passes", "backend", "program", "program_parts", "name"])
def test_sequence_properties_are_read_only(mapped, name):
    with pytest.raises(AttributeError):
        setattr(mapped.sequences[0], name, None)


def test_a_hardware_sequence(mapped):
    [sequence] = mapped.sequences
    assert isinstance(sequence, core.Sequence)
    assert sequence.backend == core.BackendType.Hardware
    assert sequence.name == "HW/input-c"
    assert isinstance(sequence.program, bytes)


def test_program_is_its_two_parts(mapped):
    sequence = mapped.sequences[0]
    parts = sequence.program_parts
    assert isinstance(parts, core.ProgramParts)
    info, data = parts.program_info, parts.program_data
    assert isinstance(info, bytes) and isinstance(data, bytes)
    assert info + data == sequence.program
    # Each part starts with the size of the buffer that follows its prefix.
    assert u32(info) == len(info) - 4
    assert u32(data) == len(data) - 4


def test_passes_list_the_layers_in_order(three_passes):
    [sequence] = three_passes.sequences
    passes = sequence.passes
    assert all(isinstance(p, core.Pass) for p in passes)
    assert [[layer.name for layer in p.layers] for p in passes] == [["input", "c0", "c1"], ["c2", "c3"], ["c4", "c5"]]
    # Layers of a pass are the model's own layers.
    assert passes[1].layers[0].mapping is not None
    assert passes[1].layers[0].name == three_passes.get_layer("c2").name
    assert sequence.name == "HW/input-c5"


def test_every_access_gives_new_lists(three_passes):
    sequence = three_passes.sequences[0]
    assert sequence.passes is not sequence.passes
    first = sequence.passes[0]
    assert first.layers is not first.layers
    assert three_passes.sequences is not three_passes.sequences


def test_program_parts_outlive_their_sequence():
    model = chain(3)
    model._map(v2_device())
    sequence = model.sequences[0]
    parts = sequence.program_parts
    program = sequence.program
    # Mapping again on another device releases the old sequence and its program bytes.
    del sequence
    model._map(small_v2_device(2))
    del model
    gc.collect()
    filler = [bytes(len(program)) for _ in range(64)]
    assert parts.program_info + parts.program_data == program
    del filler


def test_a_sequence_keeps_its_passes_and_layers():
    model = chain(2)
    model._map(v2_device())
    sequence = model.sequences[0]
    layers = sequence.passes[0].layers
    del model
    gc.collect()
    assert [layer.name for layer in sequence.passes[0].layers] == ["input", "c0", "c1"]
    assert [layer.name for layer in layers] == ["input", "c0", "c1"]
    assert sequence.name == "HW/input-c1"
