import gc

import pytest

from ovrix import core

NP = core.NP
IpVersion = core.IpVersion
SramSize = NP.SramSize

ROWS = {
    "SramSize_v1": (43008, 44800, 0, 0, 0, 0),
    "SramSize_v2": (65536, 51200, 0, 0, 0, 0),
    "SramSize_lumo": (0, 0, 448, 8192, 892, 256),
}
FIELDS = ["input_bytes", "weight_bytes", "stsram_32b_size", "fsram_64b_size", "tsram_51b_size", "evsram_32b_size"]


def fields(size):
    return tuple(getattr(size, f) for f in FIELDS)


# ---- SramSize --------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, (0, 0, 0, 0, 0, 0)),
        ((1000, 2000), {}, (1000, 2000, 0, 0, 0, 0)),
        ((), {"input_bytes": 3, "weight_bytes": 4}, (3, 4, 0, 0, 0, 0)),
        ((1, 2, 3, 4), {}, (0, 0, 1, 2, 3, 4)),
        (
            (),
            {"stsram_32b_size": 1, "fsram_64b_size": 2, "tsram_51b_size": 3, "evsram_32b_size": 4},
            (0, 0, 1, 2, 3, 4),
        ),
        ((-1, 0), {}, (4294967295, 0, 0, 0, 0, 0)),
        ((2147483647, -2147483648), {}, (2147483647, 2147483648, 0, 0, 0, 0)),
    ],
)
def test_sram_size_constructors(args, kwargs, expected):
    assert fields(SramSize(*args, **kwargs)) == expected


@pytest.mark.parametrize("name, version", [("SramSize_v1", IpVersion.v1), ("SramSize_v2", IpVersion.v2), ("SramSize_lumo", IpVersion.lumo)])
@pytest.mark.parametrize("field", FIELDS)
def test_constant_rows_cannot_be_changed_from_python(name, version, field):
    row = getattr(SramSize, name)
    setattr(row, field, 12345)
    # Whatever was handed to Python, the constant itself and every later mesh keep the standard row.
    assert fields(getattr(SramSize, name)) == ROWS[name]
    assert fields(make_mesh(version).np_sram_size) == ROWS[name]
    assert fields(getattr(SramSize(), name)) == ROWS[name]


# ---- Mesh ------------------------------------------------------------------------------------------

EVENT = NP.Ident(1, 1, 0)
CONF = NP.Ident(1, 1, 1)


def cnp(col, row, id, lut=False):
    return NP.Info(NP.Ident(col, row, id), [NP.CNP1, NP.CNP2], lut)


def skip_dma(col):
    return NP.Info(NP.Ident(col, 1, 3, 4), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD])


def make_mesh(version, hrc=None, nps=None, skip_dmas=None, **kwargs):
    nps = [cnp(1, 1, 2), cnp(1, 1, 3)] if nps is None else nps
    if skip_dmas is None:
        return NP.Mesh(version, EVENT, CONF, hrc, nps, **kwargs)
    return NP.Mesh(version, EVENT, CONF, hrc, nps, skip_dmas, **kwargs)


@pytest.mark.parametrize("version, row", [(IpVersion.v1, "SramSize_v1"), (IpVersion.v2, "SramSize_v2"), (IpVersion.lumo, "SramSize_lumo")])
def test_first_form_takes_the_edition_row(version, row):
    mesh = make_mesh(version, NP.Info.hrc(True), skip_dmas=[skip_dma(2)])
    assert mesh.np_sram_size == getattr(SramSize, row)
    assert mesh.dma_event == EVENT
    assert mesh.dma_conf == CONF
    assert mesh.hrc == NP.Info.hrc(True)
    assert mesh.nps == [cnp(1, 1, 2), cnp(1, 1, 3)]
    assert mesh.skip_dmas == [skip_dma(2)]


@pytest.mark.parametrize("version", [IpVersion.v1, IpVersion.v2, IpVersion.lumo])
def test_second_form_takes_the_given_sram_size(version):
    by_keyword = make_mesh(version, np_sram_size=SramSize(1000, 2000))
    assert fields(by_keyword.np_sram_size) == (1000, 2000, 0, 0, 0, 0)
    by_position = NP.Mesh(version, EVENT, CONF, None, [], [], SramSize(1000, 2000))
    assert by_position.np_sram_size.input_bytes == 1000
    named = NP.Mesh(
        version=version, dma_event=EVENT, dma_conf=CONF, has_hrc=None, nps=[], np_sram_size=SramSize(1, 2)
    )
    assert named.np_sram_size == SramSize(1, 2)


@pytest.mark.parametrize("kwargs", [{}, {"np_sram_size": SramSize(1, 2)}])
def test_mesh_refuses_edition_none(kwargs):
    with pytest.raises(RuntimeError) as info:
        make_mesh(IpVersion.none, **kwargs)
    assert str(info.value) == "The mesh should have a valid IP version."


def test_mesh_equality():
    base = make_mesh(IpVersion.v2, skip_dmas=[skip_dma(2), skip_dma(3)])
    assert base == make_mesh(IpVersion.v2, skip_dmas=[skip_dma(2), skip_dma(3)])
    differing = [
        make_mesh(IpVersion.v1, skip_dmas=[skip_dma(2), skip_dma(3)], np_sram_size=SramSize.SramSize_v2),
        NP.Mesh(IpVersion.v2, NP.Ident(1, 1, 0, 1), CONF, None, base.nps, base.skip_dmas),
        NP.Mesh(IpVersion.v2, EVENT, NP.Ident(1, 1, 2), None, base.nps, base.skip_dmas),
        make_mesh(IpVersion.v2, NP.Info.hrc(False), skip_dmas=[skip_dma(2), skip_dma(3)]),
        make_mesh(IpVersion.v2, nps=[cnp(1, 1, 3), cnp(1, 1, 2)], skip_dmas=[skip_dma(2), skip_dma(3)]),
        make_mesh(IpVersion.v2, nps=[cnp(1, 1, 2)], skip_dmas=[skip_dma(2), skip_dma(3)]),
        make_mesh(IpVersion.v2, nps=[cnp(1, 1, 2), cnp(1, 1, 3, True)], skip_dmas=[skip_dma(2), skip_dma(3)]),
        make_mesh(IpVersion.v2, skip_dmas=[skip_dma(3), skip_dma(2)]),
        make_mesh(IpVersion.v2, skip_dmas=[skip_dma(2), skip_dma(3)], np_sram_size=SramSize(65536, 51201)),
    ]
    for other in differing:
        assert not (base == other)
        assert base != other
    with_hrc = make_mesh(IpVersion.v2, NP.Info.hrc(True))
    assert with_hrc == make_mesh(IpVersion.v2, NP.Info.hrc(True))
    assert with_hrc != make_mesh(IpVersion.v2, NP.Info.hrc(False))
    assert not (base == "mesh")
    with pytest.raises(TypeError):
        hash(base)


def test_member_views_change_the_mesh():
    mesh = make_mesh(IpVersion.v2)
    mesh.np_sram_size.input_bytes = 5
    assert mesh.np_sram_size.input_bytes == 5
    mesh.dma_event.channel = 2
    assert mesh.dma_event == NP.Ident(1, 1, 0, 2)
    sram = mesh.np_sram_size
    event = mesh.dma_event
    del mesh
    gc.collect()
    assert sram.input_bytes == 5
    assert event.channel == 2


def test_list_properties_are_copies():
    mesh = make_mesh(IpVersion.v2, NP.Info.hrc(False), skip_dmas=[skip_dma(2)])
    first = mesh.nps
    assert first is not mesh.nps
    first[0].has_lut = True
    first.append(cnp(9, 9, 9))
    mesh.skip_dmas[0].ident.col = 7
    mesh.hrc.has_lut = True
    assert mesh == make_mesh(IpVersion.v2, NP.Info.hrc(False), skip_dmas=[skip_dma(2)])


