"""Model._map on a virtual v2 device, and what a mapped model reports: its device, sequences,
component counts and external memory."""
import gc

import pytest

from ovrix import core
from helpers import NP, chain, components, residual, small_v2_device, v2_device


@pytest.fixture(scope="module")
def device():
    return v2_device()


def programs(model):
    return [s.program for s in model.sequences]


def test_a_model_never_mapped_reports_no_mapping():
    model = chain(2)
    assert model.device is None
    assert model.sequences == []
    assert model.component_count == {}
    assert model.external_memory_size == 0
    assert all(layer.mapping is None for layer in model.layers)


def test_map_on_a_virtual_v2_device(device):
    model = chain(3)
    assert model._map(device) is None
    assert model.device is not None
    assert model.device.version == core.HwVersion.Proteo_v2
    assert model.device.desc == device.desc
    assert model.device.ip_version == core.IpVersion.v2
    [sequence] = model.sequences
    assert sequence.backend == core.BackendType.Hardware
    assert sequence.name == "HW/input-c2"
    for name in ["c0", "c1", "c2"]:
        nps = model.get_layer(name).mapping.nps
        assert nps and all(np.type in (NP.CNP1, NP.CNP2) for np in nps)


@pytest.mark.parametrize(
    "call",
    [
        lambda m, d: m._map(d),
        lambda m, d: m._map(d, True),
        lambda m, d: m._map(d, False, None),
        lambda m, d: m._map(d, True, core.MapConstraints(d)),
        lambda m, d: m._map(device=d, hw_only=True, constraints=core.MapConstraints(d)),
        lambda m, d: m._map(d, constraints=None),
    ],
    ids=["device", "hw_only", "no-constraints", "constraints", "keywords", "constraints-none"],
)
def test_every_argument_form_maps_the_same_program(device, call):
    reference = chain(2)
    reference._map(device)
    model = chain(2)
    call(model, device)
    assert programs(model) == programs(reference)


@pytest.mark.parametrize(
    "args",
    [("device",), (None, "yes", None), (None, False, "constraints"), (None, False, object())],
    ids=["device-str", "hw_only-str", "constraints-str", "constraints-object"],
)
def test_arguments_of_other_types_are_refused(device, args):
    model = chain(1)
    args = tuple(device if a is None and i == 0 else a for i, a in enumerate(args))
    with pytest.raises(TypeError):
        model._map(*args)
    assert model.sequences == []


def test_a_missing_device_is_passed_on_and_refused():
    model = chain(1)
    with pytest.raises(ValueError, match=r"^Invalid device passed to MapConstraints\.$"):
        model._map(None)
    assert model.device is None and model.sequences == []


def test_an_empty_model_maps_to_no_sequence(device):
    model = core.Model()
    model._map(device)
    assert model.sequences == []
    assert model.device is not None
    assert model.component_count == {} and model.external_memory_size == 0


def test_constraints_made_for_another_device_are_refused(device):
    model = chain(1)
    with pytest.raises(ValueError, match=r"^The map constraints were made for another device\.$"):
        model._map(device, False, core.MapConstraints(v2_device()))
    assert model.device is None


def test_component_count_of_a_residual_model(device):
    model = residual()
    model._map(device)
    counts = model.component_count
    assert counts == {NP.CNP1: 3, NP.SKIP_DMA_STORE: 1, NP.SKIP_DMA_LOAD: 1}
    assert all(isinstance(key, NP.Type) for key in counts)
    # Ascending by type number: SKIP_DMA_STORE (6) before SKIP_DMA_LOAD (9).
    assert [int(key) for key in counts] == sorted(int(key) for key in counts)
    # The stores and loads are those of the layers' mappings.
    assert [c.type for c in model.get_layer("a").mapping.skipdma_stores] == [NP.SKIP_DMA_STORE]
    assert [c.type for c in model.get_layer("c").mapping.skipdma_loads] == [NP.SKIP_DMA_LOAD]


def test_component_count_is_the_sum_of_the_layer_mappings(device):
    model = chain(4)
    model._map(device)
    expected = {}
    for layer in model.layers:
        for component in components(layer.mapping):
            expected[component.type] = expected.get(component.type, 0) + 1
    assert model.component_count == expected
    assert sum(expected.values()) >= 4


def test_external_memory_size_sums_every_component_of_every_pass(device):
    model = residual()
    model._map(device)
    expected = sum(
        c.mem_info.external_size
        for sequence in model.sequences
        for mapped_pass in sequence.passes
        for layer in mapped_pass.layers
        if layer.mapping is not None
        for c in components(layer.mapping)
    )
    assert model.external_memory_size == expected
    # The skip connection keeps its buffer in external memory.
    assert expected > 0


def test_external_memory_size_of_a_mapping_in_two_passes():
    model = residual()
    model._map(small_v2_device(2, skip_dmas=2))
    [sequence] = model.sequences
    assert [[layer.name for layer in p.layers] for p in sequence.passes] == [["input", "a", "b"], ["add", "c"]]
    per_pass = [sum(c.mem_info.external_size for layer in p.layers for c in components(layer.mapping))
                for p in sequence.passes]
    assert per_pass[0] > 0
    assert model.external_memory_size == sum(per_pass)


def test_mapping_twice_gives_byte_identical_programs(device):
    model = residual()
    model._map(device)
    first = programs(model)
    model._map(device)
    assert programs(model) == first
    other = residual()
    other._map(v2_device())
    assert programs(other) == first


def test_mapping_again_keeps_handed_out_sequences_alive(device):
    model = chain(2)
    model._map(small_v2_device(2))
    old = model.sequences[0]
    old_program = old.program
    model._map(device)
    gc.collect()
    assert model.sequences[0] is not old
    assert old.program == old_program
    assert [layer.name for p in old.passes for layer in p.layers] == ["input", "c0", "c1"]


def test_a_model_too_big_for_the_descriptor_budget_is_refused():
    # Four descriptors per pass, one pass per two layers: 126 layers need 252 descriptors, 127 need 256.
    device = small_v2_device(2)
    fits = chain(126)
    fits._map(device)
    assert len(fits.sequences[0].passes) == 63
    model = chain(127)
    message = (
        "Cannot map layer 'c126'. Model is too big. The maximum number of descriptors is more than allowed. "
        "256 are needed but 254 are available."
    )
    with pytest.raises(RuntimeError) as error:
        model._map(device)
    assert str(error.value) == message


def test_a_failed_mapping_leaves_no_mapping_behind(device):
    model = chain(2)
    model._map(device)
    assert model.component_count
    with pytest.raises(RuntimeError, match=r"^Cannot map layer 'c1'\. "):
        # One NP cannot hold a chain of two layers.
        model._map(small_v2_device(1))
    assert model.sequences == []
    assert model.device is None
    assert model.component_count == {}
    assert model.external_memory_size == 0
    assert all(layer.mapping is None for layer in model.layers)


def test_an_edited_model_forgets_its_mapping(device):
    model = chain(2)
    model._map(device)
    model.pop_layer()
    assert model.sequences == []
    assert model.component_count == {}


