"""Virtual v2 devices and small models for the mapping tests (no tests of its own)."""
from ovrix import core

NP = core.NP
LayerType = core.LayerType

INPUT = {"input_width": 8, "input_height": 8, "input_channels": 4, "input_bits": 4, "input_signed": 0}
CONV = {"kernel_size": 3, "kernel_stride": 1, "padding": 1, "filters": 4, "weights_bits": 4, "activation": 1}


def v2_device():
    """The standard v2 mesh: 4 columns x 2 rows x 4 NPs less the two DMA endpoints of node (1, 1), every
    NP a CNP and a TNP-B with a lookup table, FNP3 on even ids and FNP2 on odd ones, a skip-DMA engine of
    4 channels in each column, and an HRC."""
    nps = []
    for col in range(1, 5):
        for row in (1, 2):
            for i in range(4):
                if (col, row) == (1, 1) and i < 2:
                    continue
                types = [NP.CNP1, NP.CNP2, NP.TNP_B, NP.FNP3 if i % 2 == 0 else NP.FNP2]
                nps.append(NP.Info(NP.Ident(col, row, i), types, True))
    skip_dmas = [NP.Info(NP.Ident(col, 1, 3, 4), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD]) for col in range(1, 5)]
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), NP.Info.hrc(True), nps, skip_dmas)
    return core.Device(core.HwVersion.Proteo_v2, mesh)


def small_v2_device(count=2, skip_dmas=0, has_lut=False):
    """A v2 mesh of `count` CNPs in node (1, 2) and `skip_dmas` skip-DMA engines: a chain longer than
    that takes one pass per `count` layers. `has_lut` gives every CNP a lookup table."""
    nps = [NP.Info(NP.Ident(1, 2, i), [NP.CNP1, NP.CNP2], has_lut) for i in range(count)]
    engines = [NP.Info(NP.Ident(col, 1, 3, 4), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD]) for col in range(1, skip_dmas + 1)]
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, nps, engines)
    return core.Device(core.HwVersion.Proteo_v2, mesh)


def graph(rows):
    """A model from (kind, name, inbound names) rows, with deterministic variables."""
    model = core.Model()
    layers = {}
    for kind, name, inbounds in rows:
        entries = {LayerType.InputData: INPUT, LayerType.Conv2D: CONV}.get(kind, {})
        layer = core.Layer(core.LayerParams(kind, entries), name)
        model.add(layer, [layers[i] for i in inbounds])
        layers[name] = layer
    for index, layer in enumerate(model.layers):
        fill(layer, index)
    return model


def chain(count, prefix="c"):
    rows = [(LayerType.InputData, "input", [])]
    previous = "input"
    for i in range(count):
        rows.append((LayerType.Conv2D, f"{prefix}{i}", [previous]))
        previous = f"{prefix}{i}"
    return graph(rows)


# a stores its output for the Add, which c then loads again through the skip DMA.
RESIDUAL = [
    (LayerType.InputData, "input", []),
    (LayerType.Conv2D, "a", ["input"]),
    (LayerType.Conv2D, "b", ["a"]),
    (LayerType.Add, "add", ["b", "a"]),
    (LayerType.Conv2D, "c", ["add"]),
]


def residual():
    return graph(RESIDUAL)


def fill(layer, seed):
    """Small deterministic values that every variable's type can hold."""
    import numpy as np

    rng = np.random.default_rng(seed)
    for name in layer.variables.names:
        current = layer.variables[name]
        if current.dtype.kind not in "iu":
            continue
        low, high = (-1, 2) if np.iinfo(current.dtype).min < 0 else (0, 2)
        layer.variables[name] = rng.integers(low, high, size=current.shape).astype(current.dtype)


def components(mapping):
    """What a mapping occupies as the model counts it (a layer without a dual output): skip-DMA load,
    store, then its NPs."""
    return mapping.skipdma_loads + mapping.skipdma_stores[:1] + mapping.nps
