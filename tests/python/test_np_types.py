import pickle

import pytest

from ovrix import core

NP = core.NP


def test_submodule():
    import sys

    assert NP.__doc__ == "Neural Processor"
    assert NP.__name__ == "ovrix.core.NP"
    assert sys.modules["ovrix.core.NP"] is NP


# ---- Ident -----------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, fields, text",
    [
        ((1, 2, 3), (1, 2, 3, 0), "(1, 2, 3)"),
        ((1, 2, 3, 0), (1, 2, 3, 0), "(1, 2, 3)"),
        ((3, 1, 2, 7), (3, 1, 2, 7), "(3, 1, 2)"),
        ((255, 0, 255, 255), (255, 0, 255, 255), "(255, 0, 255)"),
    ],
)
def test_ident_constructors_and_text(args, fields, text):
    ident = NP.Ident(*args)
    assert (ident.col, ident.row, ident.id, ident.channel) == fields
    assert str(ident) == text
    assert repr(ident) == text


@pytest.mark.parametrize(
    "a, b, equal",
    [
        ((1, 2, 3), (1, 2, 3, 0), True),
        ((1, 2, 3), (1, 2, 3, 4), False),
        ((1, 2, 3), (1, 2, 4), False),
        ((1, 2, 3), (1, 3, 3), False),
        ((1, 2, 3), (2, 2, 3), False),
    ],
)
def test_ident_equality_uses_all_four_bytes(a, b, equal):
    assert (NP.Ident(*a) == NP.Ident(*b)) is equal
    assert (NP.Ident(*a) != NP.Ident(*b)) is not equal


@pytest.mark.parametrize("args", [(), (1, 2), (1, 2, 3, 4, 5), (256, 0, 0), (0, -1, 0), (0, 0, 0, 256), (1.0, 0, 0)])
def test_ident_constructor_refusals(args):
    with pytest.raises(TypeError):
        NP.Ident(*args)


def test_ident_fields_assign_bytes_only():
    ident = NP.Ident(1, 2, 3)
    ident.channel = 9
    ident.col = 255
    assert (ident.col, ident.channel) == (255, 9)
    for field in ["col", "row", "id", "channel"]:
        with pytest.raises(TypeError):
            setattr(ident, field, 256)
        with pytest.raises(TypeError):
            setattr(ident, field, -1)
    assert (ident.col, ident.row, ident.id, ident.channel) == (255, 2, 3, 9)


def test_ident_keywords_other_objects_and_hash():
    with pytest.raises(TypeError):
        NP.Ident(col=1, row=2, id=3)
    assert not (NP.Ident(1, 2, 3) == (1, 2, 3))
    with pytest.raises(TypeError):
        hash(NP.Ident(1, 2, 3))
    with pytest.raises(TypeError):
        {NP.Ident(1, 2, 3): 1}


def test_ident_docstrings():
    assert NP.Ident.__doc__ == (
        "\n    Represents the unique identifier for a Hardware Component.\n\n"
        "    This includes the component position on the mesh (row, column, id) and\n"
        "    the channel index for skip DMAs."
    )
    assert NP.Ident.col.__doc__ == "Hardware Component column number"
    assert NP.Ident.row.__doc__ == "Hardware Component row number"
    assert NP.Ident.id.__doc__ == "Hardware Component id"
    assert NP.Ident.channel.__doc__ == "Component channel"


# ---- Type ------------------------------------------------------------------------------------------

TYPES = [
    ("HRC", 1, "High Resolution Convolution"),
    ("CNP1", 2, "Convolutional Neural Processor Type 1"),
    ("CNP2", 3, "Convolutional Neural Processor Type 2"),
    ("FNP2", 4, "FullyConnected Neural Processor (external memory)"),
    ("FNP3", 5, "FullyConnected Neural Processor (internal memory)"),
    ("TNP_B", 7, "Temporal Neural Processor Buffered"),
    ("TNP_R", 8, "Temporal Neural Processor Recurrent"),
    ("SKIP_DMA_STORE", 6, "Skip DMA store engine"),
    ("SKIP_DMA_LOAD", 9, "Skip DMA load engine"),
]


@pytest.mark.parametrize("name, number, doc", TYPES)
def test_type_values(name, number, doc):
    member = getattr(NP.Type, name)
    assert getattr(NP, name) is member
    assert int(member) == number
    assert member.value == number
    assert member.__index__() == number
    assert member.name == name
    assert NP.Type(number) == member
    assert hash(member) == hash(NP.Type(number))
    assert pickle.loads(pickle.dumps(member)) == member
    assert f"{name} : {doc}" in NP.Type.__doc__


def test_type_registration_order_and_hidden_values():
    assert list(NP.Type.__members__) == [name for name, _, _ in TYPES]
    assert NP.Type.__doc__.startswith("Harwdare Component type")
    assert not hasattr(NP.Type, "None")
    assert not hasattr(NP.Type, "DMA")


def test_type_is_not_ordered_or_arithmetic():
    with pytest.raises(TypeError):
        NP.CNP1 < NP.CNP2
    with pytest.raises(TypeError):
        NP.CNP1 + 1
    assert NP.CNP1 != 2
    assert {NP.CNP1: "a"}[NP.Type(2)] == "a"


# ---- Info ------------------------------------------------------------------------------------------


def test_info_types_are_an_ordered_set():
    info = NP.Info(NP.Ident(1, 1, 0), [NP.FNP3, NP.CNP1, NP.CNP1])
    assert info.types == [NP.CNP1, NP.FNP3]
    assert info.has_lut is False
    assert NP.Info(NP.Ident(1, 1, 0), (t for t in [NP.TNP_R]), True).has_lut is True
    assert NP.Info(NP.Ident(1, 1, 0), {NP.SKIP_DMA_LOAD, NP.SKIP_DMA_STORE}).types == [
        NP.SKIP_DMA_STORE,
        NP.SKIP_DMA_LOAD,
    ]


def test_info_types_assignment():
    info = NP.Info(NP.Ident(1, 1, 0), [NP.CNP2])
    info.types = (NP.FNP2, NP.CNP1, NP.FNP2)
    assert info.types == [NP.CNP1, NP.FNP2]
    info.types = []
    assert info.types == []
    # A failed conversion leaves the former types.
    info.types = [NP.HRC]
    with pytest.raises(RuntimeError):
        info.types = [NP.CNP1, 2]
    assert info.types == [NP.HRC]
    # The list read is a copy.
    info.types.append(NP.CNP1)
    assert info.types == [NP.HRC]


@pytest.mark.parametrize(
    "types, error", [([1], RuntimeError), ([NP.CNP1, "CNP2"], RuntimeError), ([None], TypeError)]
)
def test_info_constructor_refuses_non_types(types, error):
    with pytest.raises(error):
        NP.Info(NP.Ident(1, 1, 0), types)


def test_info_constructor_argument_types():
    with pytest.raises(TypeError):
        NP.Info(None, [NP.CNP1])
    with pytest.raises(TypeError):
        NP.Info(NP.Ident(1, 1, 0), 5)


def test_info_hrc():
    with_lut = NP.Info.hrc(True)
    assert with_lut == NP.Info(NP.Ident(0, 0, 0, 0), [NP.HRC], True)
    assert NP.Info.hrc(False) != with_lut
    assert NP.Info.hrc(False) == NP.Info(NP.Ident(0, 0, 0), [NP.HRC])
    with pytest.raises(TypeError):
        NP.Info.hrc()


@pytest.mark.parametrize(
    "other, equal",
    [
        (((1, 1, 0), [NP.CNP1, NP.CNP2], True), True),
        (((1, 1, 0, 1), [NP.CNP1, NP.CNP2], True), False),
        (((1, 1, 0), [NP.CNP1], True), False),
        (((1, 1, 0), [NP.CNP1, NP.FNP3], True), False),
        (((1, 1, 0), [NP.CNP1, NP.CNP2], False), False),
    ],
)
def test_info_equality(other, equal):
    base = NP.Info(NP.Ident(1, 1, 0), [NP.CNP2, NP.CNP1], True)
    ident, types, lut = other
    assert (base == NP.Info(NP.Ident(*ident), types, lut)) is equal
    assert not (base == NP.Ident(1, 1, 0))
    with pytest.raises(TypeError):
        hash(base)


def test_info_ident_is_a_view():
    info = NP.Info(NP.Ident(1, 1, 0), [NP.CNP1])
    ident = info.ident
    ident.id = 3
    assert info.ident == NP.Ident(1, 1, 3)
    del info
    assert ident == NP.Ident(1, 1, 3)
    other = NP.Info(NP.Ident(1, 1, 0), [NP.CNP1])
    other.ident = NP.Ident(4, 4, 4)
    other.has_lut = True
    assert other == NP.Info(NP.Ident(4, 4, 4), [NP.CNP1], True)


def test_info_docstrings():
    assert NP.Info.__doc__ == (
        "\n        Describes a hardware component.\n\n"
        "        Includes its unique identifier and the set of hardware types it supports.\n        "
    )
    assert NP.Info.ident.__doc__ == "Hardware Component identifier"
    assert NP.Info.types.__doc__ == "Hardware Component supported types"
    assert NP.Info.has_lut.__doc__ == "Indicate whether the NP has a lookup table."
    assert "Construct an ovrix.NP.Info for HRC with optional LUT." in NP.Info.hrc.__doc__


# ---- NpSpace, MemoryInfo, Component ------------------------------------------------------------------


def test_np_space():
    space = NP.NpSpace()
    assert (space.x, space.y, space.shape) == (0, 0, [])
    for field in ["x", "y", "shape"]:
        with pytest.raises(AttributeError):
            setattr(space, field, 1)
    # No equality of its own: identity, and hashable by identity.
    assert space != NP.NpSpace()
    assert space == space
    assert hash(space) == hash(space)
    assert NP.NpSpace.__doc__ == (
        "\n      Represents the part of the input used by this Neural Processor if a layer is split over several NPs."
    )
    assert (NP.NpSpace.x.__doc__, NP.NpSpace.y.__doc__, NP.NpSpace.shape.__doc__) == (
        "X index",
        "Y index",
        "Shape of the space",
    )


MEMORY_FIELDS = [
    ("input_size", "Input memory size. (Bytes)"),
    ("weight_size", "Weight memory size. (Bytes)"),
    ("external_size", "External memory size. (Bytes)"),
    ("stsram_32b_size", "Stsram size for Lumo. (Number of 32-bits words)"),
    ("fsram_64b_size", "Fsram Lumo memory size. (Number of 64-bits words)"),
    ("tsram_51b_size", "Tsram Lumo memory size. (Number of 51-bits words)"),
    ("evsram_32b_size", "Evsram Lumo memory size. (Number of 32-bits words)"),
]


@pytest.mark.parametrize("field, doc", MEMORY_FIELDS)
def test_memory_info_fields(field, doc):
    info = NP.MemoryInfo()
    assert getattr(info, field) == 0
    assert getattr(NP.MemoryInfo, field).__doc__ == doc
    with pytest.raises(AttributeError):
        setattr(info, field, 1)


def test_memory_info_equality():
    assert NP.MemoryInfo() == NP.MemoryInfo()
    assert not (NP.MemoryInfo() == 0)
    with pytest.raises(TypeError):
        hash(NP.MemoryInfo())
    assert NP.MemoryInfo.__doc__ == (
        "Represents memory usage information for a Hardware Component.\n\n"
        "      This includes memory used by inputs, weights, and any external buffers.\n"
        "      All sizes are in bytes.\n      "
    )


COMPONENT_DOCS = [
    ("ident", "Hardware Component identifier"),
    ("type", "Hardware Component type"),
    ("mem_info", "Hardware Component memory information"),
    ("filters", "Number of filters processed by the Neural Processor"),
    ("start_neuron", "Index of the first filter processed by the Neural Processor"),
    ("spatial_partition", "Spatial partition processed by the Neural Processor"),
    ("single_buffer", "Neural Processor uses a single or dual input buffer"),
]


@pytest.mark.parametrize("name, doc", COMPONENT_DOCS)
def test_component_surface(name, doc):
    assert getattr(NP.Component, name).__doc__ == doc
    assert getattr(NP.Component, name).fset is None


def test_component_has_no_constructor_and_no_hash():
    assert NP.Component.__doc__ == "\n      An Ovrix component"
    with pytest.raises(TypeError):
        NP.Component()
    assert NP.Component.__hash__ is None
