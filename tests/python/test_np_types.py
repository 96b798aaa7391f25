"""The NP value types: identifiers of four bytes, component descriptions with ordered type sets."""
import pytest

from ovrix import core

NP = core.NP


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


@pytest.mark.parametrize("args", [(256, 0, 0), (0, -1, 0), (0, 0, 0, 256)])
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
