"""A MapConstraints subclass steers a real mapping: its hooks are called by the mesh mapper."""
import pytest

from ovrix import core

NP = core.NP
LayerType = core.LayerType
MapConstraints = core.MapConstraints

INPUT = {"input_width": 8, "input_height": 8, "input_channels": 4, "input_bits": 8, "input_signed": 0}
CONV = {"kernel_size": 3, "kernel_stride": 1, "padding": 1, "filters": 4, "weights_bits": 4, "activation": 1}
CONVS = ["c1", "c2", "c3"]
NPS = [NP.Ident(col, row, i) for col in (1, 2) for row in (1, 2) for i in range(4) if (col, row) != (1, 1) or i >= 2]


def v2_device():
    infos = [NP.Info(ident, [NP.CNP1, NP.CNP2]) for ident in NPS]
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, infos)
    return core.Device(core.HwVersion.Proteo_v2, mesh)


def chain_model():
    model = core.Model()
    model.add(core.Layer(core.LayerParams(LayerType.InputData, INPUT), "input"))
    for name in CONVS:
        model.add(core.Layer(core.LayerParams(LayerType.Conv2D, CONV), name))
    return model


@pytest.fixture(scope="module")
def default_mapping():
    """The chain's mapping with the default constraints."""
    model = chain_model()
    device = v2_device()
    model._map(device, True, MapConstraints(device))
    return {name: [c.ident for c in model.get_layer(name).mapping.nps] for name in CONVS}


class Steering(MapConstraints):
    """Records every hook call and takes the NPs from the end of what is offered."""

    def __init__(self, device):
        super().__init__(device)
        self.names = []
        self.requests = []

    def next_layer_handler(self, layer_name):
        self.names.append(layer_name)

    def select_nps(self, source_nps, num_nps, type):
        self.requests.append((list(source_nps), num_nps, type))
        return list(reversed(source_nps))[:num_nps]


def test_hooks_are_called_by_the_mapper(default_mapping):
    model = chain_model()
    device = v2_device()
    constraints = Steering(device)
    model._map(device, True, constraints)
    assert [n for n in constraints.names if n in CONVS] == CONVS
    assert set(constraints.names) <= {"input", *CONVS}
    assert constraints.requests
    for source, count, type_ in constraints.requests:
        assert count >= 1
        assert isinstance(type_, NP.Type)
        assert all(isinstance(ident, NP.Ident) for ident in source)
    # The NPs each layer received are the ones the override chose, not the default choice.
    steered = {name: [c.ident for c in model.get_layer(name).mapping.nps] for name in CONVS}
    assert steered != default_mapping
    chosen = [ident for source, count, _ in constraints.requests for ident in list(reversed(source))[:count]]
    for idents in steered.values():
        assert all(ident in chosen for ident in idents)


def test_constraints_object_may_be_dropped_by_python(default_mapping):
    model = chain_model()
    device = v2_device()
    names = []

    class Local(MapConstraints):
        def next_layer_handler(self, layer_name):
            names.append(layer_name)

    model._map(device, True, Local(device))
    assert [n for n in names if n in CONVS] == CONVS


@pytest.mark.parametrize(
    "choice",
    [
        lambda source, n: [NP.Ident(9, 9, 9)] * n,  # never offered
        lambda source, n: [source[0]] * n if n > 1 else [NP.Ident(9, 9, 9)],  # the same NP twice
    ],
)
def test_selection_outside_the_offer_is_a_mapping_failure(default_mapping, choice):
    class Wrong(MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return choice(source_nps, num_nps)

    device = v2_device()
    with pytest.raises(RuntimeError, match="Cannot map layer 'c1'"):
        chain_model()._map(device, True, Wrong(device))


def test_unconvertible_selection_fails_the_mapping(default_mapping):
    class Bad(MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return 42

    device = v2_device()
    with pytest.raises(RuntimeError, match="cast"):
        chain_model()._map(device, True, Bad(device))


def test_python_exception_reaches_the_caller(default_mapping):
    class Raising(MapConstraints):
        def next_layer_handler(self, layer_name):
            raise LookupError(f"stop at {layer_name}")

    device = v2_device()
    with pytest.raises(LookupError, match="stop at"):
        chain_model()._map(device, True, Raising(device))


def test_limits_changed_by_the_hook_hold_for_the_next_layer(default_mapping):
    class Narrow(MapConstraints):
        def next_layer_handler(self, layer_name):
            self.cnp_max_filters = 2 if layer_name == "c2" else self.cnp_max_filters_default

    model = chain_model()
    device = v2_device()
    model._map(device, True, Narrow(device))
    counts = {name: len(model.get_layer(name).mapping.nps) for name in CONVS}
    assert counts["c2"] >= 2
    assert counts["c2"] > counts["c1"]


def test_components_of_a_mapped_layer(default_mapping):
    model = chain_model()
    device = v2_device()
    model._map(device, True)
    nps = model.get_layer("c1").mapping.nps
    assert nps
    first = nps[0]
    assert first.type in (NP.CNP1, NP.CNP2)
    assert first.ident in NPS
    assert first == model.get_layer("c1").mapping.nps[0]
    assert first.filters >= 1
    assert first.start_neuron == 0
    assert isinstance(first.spatial_partition, NP.NpSpace)
    ident = first.ident
    mem = first.mem_info
    del first, nps
    assert ident in NPS
    assert mem == mem
