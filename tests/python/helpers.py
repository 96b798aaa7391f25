"""Builders of layers, models and virtual devices, the decoding of device programs and the reading of the
golden data files under tests/data/, shared by the Python tests (fixtures are in conftest.py)."""

import re
import struct
from pathlib import Path

import numpy as np
import pytest

from ovrix import core

NP = core.NP
LayerType = core.LayerType
DATA = Path(__file__).resolve().parents[1] / "data"


def read_cases(name, fields):
    """The cases of a golden data file as pytest parameters of `fields` fields: one case a line, fields
    separated by `|` and stripped, missing last fields empty; blank lines and `#` lines are left out. The
    C++ drivers read the same files (tests/cpp/support/golden.h)."""
    cases = []
    for number, line in enumerate((DATA / name).read_text().splitlines(), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        row = [field.strip() for field in line.split("|")]
        assert len(row) <= fields, f"{name}:{number} has more than {fields} fields"
        cases.append(pytest.param(*row, *[""] * (fields - len(row)), id=f"{name}:{number}"))
    assert cases, f"{name} holds no case"
    return cases


def refusal(text):
    """A data file's refusal "Type: message" ("..." ending a message known by its start): the exception
    class and a pattern of the whole message."""
    kind, message = text.split(": ", 1)
    pattern = re.escape(message[:-3]) + ".*" if message.endswith("...") else re.escape(message)
    return {"TypeError": TypeError, "ValueError": ValueError, "RuntimeError": RuntimeError}[kind], pattern


def words(field):
    """A field of hexadecimal or decimal words separated by blanks."""
    return [int(word, 0) for word in field.split()]


def params(layer_type, **entries):
    return core.LayerParams(layer_type, entries)


def input_data(name="input", width=8, height=8, channels=3, bits=8, signed=0):
    return core.Layer(params(core.InputData, input_width=width, input_height=height, input_channels=channels,
                             input_bits=bits, input_signed=signed), name)


def conv2d(name, filters=4, kernel=3, stride=1, padding=core.Same, activation=1, pool_type=core.NoPooling,
           pool_size=1, weights_bits=4):
    return core.Layer(params(core.Conv2D, filters=filters, kernel_size=kernel, kernel_stride=stride,
                             padding=int(padding), weights_bits=weights_bits, activation=activation,
                             pool_type=int(pool_type), pool_size=pool_size), name)


def v1_convolutional(name, filters=4, kernel_width=3, kernel_height=5, stride_x=1, stride_y=2):
    return core.Layer(v1_conv_params(filters, kernel_width, kernel_height, stride_x, stride_y), name)


def v1_conv_params(filters=4, kernel_width=3, kernel_height=5, stride_x=1, stride_y=2, layer_type=None):
    return params(layer_type or core.Convolutional, kernel_width=kernel_width, kernel_height=kernel_height,
                  stride_x=stride_x, stride_y=stride_y, padding=int(core.Same), filters=filters, weights_bits=4,
                  activation=1, act_bits=4, pool_type=int(core.Max), pooling_width=2, pooling_height=2,
                  pooling_stride_x=2, pooling_stride_y=2)


def fully_connected(name, units=10, weights_bits=4, activation=1, act_bits=1):
    return core.Layer(params(core.FullyConnected, units=units, weights_bits=weights_bits, activation=activation,
                             act_bits=act_bits), name)


def dense1d(name, units=10, weights_bits=4, activation=1):
    return core.Layer(params(core.Dense1D, units=units, weights_bits=weights_bits, activation=activation), name)


def v1_model(units=10, num_classes=5, compiled=True, width=4, height=4, channels=2, bits=1):
    """InputData -> FullyConnected, the last layer compiled for learning."""
    model = core.Model()
    model.add(input_data(width=width, height=height, channels=channels, bits=bits))
    model.add(fully_connected("fc", units=units))
    if compiled:
        model.compile(core.OvrixUnsupervised(num_weights=8, num_classes=num_classes))
    return model


def v2_model():
    """InputData -> Conv2D -> Conv2D: a small v2 model."""
    model = core.Model()
    model.add(input_data())
    model.add(conv2d("conv_1", filters=4))
    model.add(conv2d("conv_2", filters=8, stride=2))
    return model


def fill_variables(layer, seed=0):
    """Gives every variable of the layer deterministic non-zero values that its type can hold."""
    rng = np.random.default_rng(seed)
    for name in layer.variables.names:
        current = layer.variables[name]
        info = np.iinfo(current.dtype) if current.dtype.kind in "iu" else None
        if info is None:
            values = rng.standard_normal(current.shape).astype(current.dtype)
        else:
            low, high = (-1, 2) if info.min < 0 else (0, 2)
            values = rng.integers(low, high, size=current.shape).astype(current.dtype)
        layer.variables[name] = values


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


def layer(layer_type, name, **entries):
    return core.Layer(params(layer_type, **entries), name)


def v2_kinds():
    m = core.Model()
    m.add(input_data(width=16, height=16, channels=3, bits=8))
    m.add(layer(core.InputConv2D, "input_conv", filters=8, kernel_size=3, kernel_stride=1, weights_bits=8))
    m.add(layer(core.Conv2D, "conv", filters=8, kernel_size=3, weights_bits=4))
    m.add(layer(core.DepthwiseConv2D, "dw_conv", kernel_size=3, weights_bits=4))
    m.add(layer(core.Add, "add"), [m.get_layer("conv"), m.get_layer("dw_conv")])
    m.add(layer(core.Conv2DTranspose, "conv_t", filters=4, kernel_size=3, weights_bits=4))
    m.add(layer(core.DepthwiseConv2DTranspose, "dw_conv_t", kernel_size=3, weights_bits=4))
    m.add(layer(core.Conv2DTranspose, "side", filters=4, kernel_size=1, weights_bits=4), [m.get_layer("conv_t")])
    m.add(layer(core.Concatenate, "concat"), [m.get_layer("dw_conv_t"), m.get_layer("side")])
    m.add(layer(core.BufferTempConv, "btc", fifo_size=2, filters=8, weights_bits=4))
    m.add(layer(core.DepthwiseBufferTempConv, "dw_btc", fifo_size=3, weights_bits=4))
    m.add(layer(core.Dense1D, "dense", units=10, weights_bits=4, activation=0))
    m.add(layer(core.Dequantizer, "dequant"))
    return m


def v1_kinds():
    m = core.Model()
    m.add(layer(core.InputConvolutional, "input_conv", input_width=12, input_height=12, input_channels=1,
                filters=4, kernel_width=3, kernel_height=3, padding=int(core.Same)))
    m.add(layer(core.Convolutional, "conv", filters=8, kernel_width=3, kernel_height=3))
    m.add(layer(core.SeparableConvolutional, "sep_conv", filters=8, kernel_width=3, kernel_height=3,
                pool_type=int(core.Max), pooling_width=2, pooling_height=2))
    m.add(layer(core.FullyConnected, "fc", units=6))
    m.compile(core.OvrixUnsupervised(num_weights=5, num_classes=3))
    return m


def lumo_kinds():
    m = core.Model()
    m.add(input_data(width=1, height=16, channels=4, bits=8))
    m.add(layer(core.Quantizer, "quant"))
    m.add(layer(core.StatefulRecurrent, "rnn", stateful_channels=8, output_channels=1))
    m.add(layer(core.LumoPostProcessing, "post"))
    return m


def every_kind_models():
    return [build() for build in (v2_kinds, v1_kinds, lumo_kinds)]


# ---- Device programs (read with the flatbuffers package through the `reader` fixture)


def u32(buf, offset):
    return struct.unpack_from("<I", buf, offset)[0]


def split(program):
    s1 = u32(program, 0)
    return program[: 4 + s1], program[4 + s1 :]


def roots(reader, program):
    info, data = split(program)
    # A size-prefixed buffer: the root offset follows the 4-byte size.
    return reader["ProgramInfo"].GetRootAs(info, 4), reader["ProgramData"].GetRootAs(data, 4), data


def words_at(data, offset, size):
    assert offset >= 4 and offset % 4 == 0
    assert offset + 4 * size <= len(data)
    assert u32(data, offset - 4) == size, "the vector length just before the span"
    return list(struct.unpack_from(f"<{size}I", data, offset))


def written(table, field):
    """Whether field number `field` of a table is present (its vtable slot is not empty)."""
    return table._tab.Offset(4 + 2 * field) != 0


def header(w0, w1):
    ident = (w0 & 0xFF, (w0 >> 8) & 0xFF, (w0 >> 16) & 0xFF, (w0 >> 24) & 0x7F)
    xl = w0 >> 31
    size = ((w1 >> 16) & 0xFFF) * (16 if xl else 1)
    return ident, w1 >> 28, w1 & 0xFFFF, size


def blocks(words):
    """The DMA blocks of a track: (ident, target, parameter, payload); the track must end on a block."""
    out, pos = [], 0
    while pos < len(words):
        assert pos + 2 <= len(words), "a header cut at the end of its track"
        ident, target, parameter, size = header(words[pos], words[pos + 1])
        assert pos + 2 + size <= len(words), "a block running past its track"
        out.append((ident, target, parameter, words[pos + 2 : pos + 2 + size]))
        pos += 2 + size
    return out


def ident_of(component):
    i = component.ident
    return (i.col, i.row, i.id, i.channel)
