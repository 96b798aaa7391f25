"""Layer.Mapping: the NPs and skip-DMA engines a mapped layer occupies, handed out as copies."""
import pytest

from ovrix import core
from helpers import NP, chain, residual, v2_device


@pytest.fixture(scope="module")
def mapped_residual():
    model = residual()
    model._map(v2_device())
    return model


def test_a_chain_layer_has_nps_and_no_skip_dma():
    model = chain(2)
    model._map(v2_device())
    mapping = model.get_layer("c0").mapping
    assert isinstance(mapping, core.Layer.Mapping)
    [np] = mapping.nps
    assert isinstance(np, NP.Component)
    assert np.type == NP.CNP1
    assert np.filters == 4 and np.start_neuron == 0
    assert mapping.skipdma_loads == [] and mapping.skipdma_stores == []


def test_the_input_layer_occupies_no_component(mapped_residual):
    mapping = mapped_residual.get_layer("input").mapping
    assert mapping is not None
    assert (mapping.nps, mapping.skipdma_loads, mapping.skipdma_stores) == ([], [], [])


@pytest.mark.parametrize(
    "name, loads, stores",
    [("a", [], [NP.SKIP_DMA_STORE]), ("b", [], []), ("add", [], []), ("c", [NP.SKIP_DMA_LOAD], [])],
)
def test_skip_dma_engines_of_a_residual_block(mapped_residual, name, loads, stores):
    mapping = mapped_residual.get_layer(name).mapping
    assert [c.type for c in mapping.skipdma_loads] == loads
    assert [c.type for c in mapping.skipdma_stores] == stores
    # Engines are not NPs: they have no NP assignment.
    for engine in mapping.skipdma_loads + mapping.skipdma_stores:
        assert (engine.filters, engine.start_neuron, engine.single_buffer) == (0, 0, True)


def test_the_store_and_the_load_of_one_connection_use_the_same_engine(mapped_residual):
    [store] = mapped_residual.get_layer("a").mapping.skipdma_stores
    [load] = mapped_residual.get_layer("c").mapping.skipdma_loads
    assert (store.ident.col, store.ident.row, store.ident.id) == (load.ident.col, load.ident.row, load.ident.id)


def test_every_read_makes_new_copies(mapped_residual):
    mapping = mapped_residual.get_layer("a").mapping
    first, second = mapping.nps, mapping.nps
    assert first is not second
    assert first[0] is not second[0]
    assert first == second
    assert mapping.skipdma_stores[0] is not mapping.skipdma_stores[0]
    assert mapping.skipdma_stores == mapping.skipdma_stores


def test_a_mapping_held_by_python_outlives_a_new_mapping():
    model = chain(2)
    device = v2_device()
    model._map(device)
    held = model.get_layer("c1").mapping
    before = [c.ident for c in held.nps]
    model._map(device)
    assert [c.ident for c in held.nps] == before
    model.pop_layer()
    del model
    assert [c.ident for c in held.nps] == before


def test_every_filter_is_processed_once():
    # A layer too wide for one NP is split over several; together they cover each filter once.
    model = core.Model()
    model.add(core.Layer(core.LayerParams(core.LayerType.InputData, {
        "input_width": 16, "input_height": 16, "input_channels": 64, "input_bits": 4, "input_signed": 0}), "input"))
    model.add(core.Layer(core.LayerParams(core.LayerType.Conv2D, {
        "kernel_size": 3, "kernel_stride": 1, "padding": 1, "filters": 512, "weights_bits": 4, "activation": 1}),
        "wide"))
    model._map(v2_device())
    nps = model.get_layer("wide").mapping.nps
    covered = sorted(
        (np.spatial_partition.x, np.spatial_partition.y, n)
        for np in nps
        for n in range(np.start_neuron, np.start_neuron + np.filters)
    )
    assert len(nps) > 1
    assert len(covered) == len(set(covered))
    assert {n for _, _, n in covered} == set(range(512))
