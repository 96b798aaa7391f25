"""v2 convolutional models mapped end to end on virtual v2 devices: chains with max and global average
pooling, depthwise-separable blocks, residual Adds, Concatenates, both transposed convolutions, layers
split over several NPs and models over several passes, at 4 and 8 bits with ReLU or lookup-table
activations wherever the rules allow them.

Each model maps into one hardware sequence that holds every layer; its program decodes, every span
locates the words of its track, and the record of each layer holds, for each of its NPs and nothing
else, the register, weight, input-shift and variable blocks (plus the lookup table and merge shifts
when the layer has them), the weights sized for exactly the NP's filters and the input shifts those of
its channels. Models that break a rule are refused with the exact text of the mapping failure."""
import math

import numpy as np
import pytest

from ovrix import core
from helpers import NP, blocks, fill, ident_of, roots, small_v2_device, v2_device, words_at, written


T = core.LayerType
DEPTHWISE = (T.DepthwiseConv2D, T.DepthwiseConv2DTranspose)
TRANSPOSED = (T.Conv2DTranspose, T.DepthwiseConv2DTranspose)
CONVOLUTIONS = (T.Conv2D, T.DepthwiseConv2D) + TRANSPOSED
MERGES = (T.Add, T.Concatenate)

# DMA targets of a CNP's blocks; weights travel three 32-bit words per 100-bit word or four.
WEIGHTS_IN_4, WEIGHTS_IN_3, INPUT_SHIFT, VARIABLES, NP_REGISTERS = 0, 1, 2, 5, 7
MERGE_SHIFTS, SKIP_DMA, LOOKUP_TABLE = 10, 11, 12

RELU, LUT = 1, 2
PRECISIONS = [
    pytest.param((8, RELU), id="8bit-relu"),
    pytest.param((4, RELU), id="4bit-relu"),
    pytest.param((8, LUT), id="8bit-lut"),
    pytest.param((4, LUT), id="4bit-lut"),
]


# ---- Models


def precision_entries(precision, kind, max_pool=False):
    """Weights, output width and activation of a layer at a (bits, activation) precision, within the
    rules: transposed layers are 8-bit throughout; a lookup table is refused with max pooling, and its
    8-bit outputs are refused to a depthwise layer with 4-bit weights, which keep ReLU."""
    bits, activation = precision
    if kind in TRANSPOSED:
        bits = 8
    if activation == LUT and (max_pool or (bits == 4 and kind == T.DepthwiseConv2D)):
        activation = RELU
    output_bits = 8 if bits == 8 or activation == LUT else 4
    return {"weights_bits": bits, "output_bits": output_bits, "activation": activation}


def layer(kind, name, **params):
    return core.Layer(core.LayerParams(kind, params), name)


def input_data(width, height, channels, bits):
    return layer(T.InputData, "input", input_width=width, input_height=height, input_channels=channels, input_bits=bits)


def conv(p, name, filters, kernel=3, **params):
    entries = precision_entries(p, T.Conv2D, params.get("pool_type") == 1)
    return layer(T.Conv2D, name, filters=filters, kernel_size=kernel, **{**entries, **params})


def dwconv(p, name, kernel=3, **params):
    return layer(T.DepthwiseConv2D, name, kernel_size=kernel, **{**precision_entries(p, T.DepthwiseConv2D), **params})


def tconv(p, name, filters, kernel=4, **params):
    entries = precision_entries(p, T.Conv2DTranspose)
    return layer(T.Conv2DTranspose, name, filters=filters, kernel_size=kernel, **{**entries, **params})


def tdwconv(p, name, kernel=3, **params):
    entries = precision_entries(p, T.DepthwiseConv2DTranspose)
    return layer(T.DepthwiseConv2DTranspose, name, kernel_size=kernel, **{**entries, **params})


def model_of(rows):
    """A model from (layer, inbound names) rows, with small deterministic variables."""
    model = core.Model()
    added = {}
    for current, inbounds in rows:
        model.add(current, [added[name] for name in inbounds])
        added[current.name] = current
    for index, current in enumerate(model.layers):
        fill(current, index)
    return model


def pooling_chain(p):
    # 48 -> 24 -> 12 by max pooling; the global average pooling reads 12 x 12, the largest area allowed.
    return [
        (input_data(48, 48, 3, p[0]), []),
        (conv(p, "conv1", 16, pool_type=1, pool_size=2), ["input"]),
        (conv(p, "conv2", 24, kernel=5, pool_type=1, pool_size=2), ["conv1"]),
        (conv(p, "conv3", 32, kernel=7), ["conv2"]),
        (conv(p, "conv4", 40, kernel=1, pool_type=2, pool_size=-1), ["conv3"]),
    ]


def separable(p):
    return [
        (input_data(32, 32, 8, p[0]), []),
        (conv(p, "stem", 16, kernel_stride=2), ["input"]),
        (dwconv(p, "dw3", 3), ["stem"]),
        (conv(p, "pw3", 32, kernel=1), ["dw3"]),
        (dwconv(p, "dw5", 5), ["pw3"]),
        (conv(p, "pw5", 24, kernel=1), ["dw5"]),
        (dwconv(p, "dw7", 7), ["pw5"]),
        (conv(p, "pw7", 16, kernel=1), ["dw7"]),
    ]


def residual(p):
    # Two blocks: c merges the first Add and is the skip source of the second.
    return [
        (input_data(16, 16, 8, p[0]), []),
        (conv(p, "a", 16), ["input"]),
        (conv(p, "b", 16), ["a"]),
        (layer(T.Add, "add1"), ["b", "a"]),
        (conv(p, "c", 16), ["add1"]),
        (conv(p, "d", 16, kernel=5), ["c"]),
        (layer(T.Add, "add2"), ["d", "c"]),
        (conv(p, "e", 8), ["add2"]),
    ]


def identity_shortcuts(p):
    # The first Add feeds the second one directly: the merge layer c stores it for the second Add as a
    # dual output.
    return [
        (input_data(16, 16, 8, p[0]), []),
        (conv(p, "a", 16), ["input"]),
        (conv(p, "b", 16), ["a"]),
        (layer(T.Add, "add1"), ["b", "a"]),
        (conv(p, "c", 16), ["add1"]),
        (conv(p, "d", 16), ["c"]),
        (layer(T.Add, "add2"), ["d", "add1"]),
        (conv(p, "e", 8), ["add2"]),
    ]


def concatenation_of_an_add(p):
    return identity_shortcuts(p)[:6] + [(layer(T.Concatenate, "cat"), ["d", "add1"]), (conv(p, "e", 8), ["cat"])]


def concatenation(p):
    return [
        (input_data(16, 16, 8, p[0]), []),
        (conv(p, "a", 16), ["input"]),
        (conv(p, "b1", 8), ["a"]),
        (conv(p, "b2", 16, kernel=1), ["a"]),
        (layer(T.Concatenate, "cat"), ["b1", "b2"]),
        (conv(p, "c", 16), ["cat"]),
    ]


# SameUpper padding takes stride 2, 8-bit weights and 8-bit activations (so 8-bit inputs).
SAME_UPPER = {"padding": 2, "kernel_stride": 2, "weights_bits": 8, "output_bits": 8, "activation": RELU}


def transposed(p):
    # 16 x 16 halved, then doubled twice; 8-bit activations lead to the SameUpper and transposed layers.
    return [
        (input_data(16, 16, 8, p[0]), []),
        (conv(p, "stem", 16, output_bits=8, activation=RELU), ["input"]),
        (conv(p, "a", 16, **SAME_UPPER), ["stem"]),
        (tconv(p, "up4", 16, kernel=4), ["a"]),
        (tdwconv(p, "dwup3", kernel=3), ["up4"]),
        (conv(p, "c", 8), ["dwup3"]),
    ]


# ---- What a mapping must be


def outbounds(model, current):
    return [other for other in model.layers if current.name in [i.name for i in other.inbounds]]


def check_split_covers(current):
    """The NPs of a layer tile its input, and on each tile their filter ranges (channel ranges for
    depthwise layers) cover the layer's filters once, in order."""
    width, height, channels = current.input_dims
    kind = current.parameters.layer_type
    total = channels if kind in DEPTHWISE else current.parameters.filters
    tiles = {}
    for np_ in current.mapping.nps:
        assert np_.type in (NP.CNP1, NP.CNP2), current.name
        part = np_.spatial_partition
        assert part.shape[2] == (np_.filters if kind in DEPTHWISE else channels)
        tiles.setdefault((part.x, part.y, part.shape[0], part.shape[1]), []).append((np_.start_neuron, np_.filters))
    covered = np.zeros((height, width), dtype=int)
    for x, y, w, h in tiles:
        assert x + w <= width and y + h <= height
        covered[y : y + h, x : x + w] += 1
    assert (covered == 1).all(), f"{current.name}: the partitions do not tile the input once"
    for ranges in tiles.values():
        first = 0
        for start, count in sorted(ranges):
            assert start == first and count > 0, current.name
            first += count
        assert first == total, current.name


def dma_payload(words):
    """Words of a block as it travels: a block past 4095 words takes the long header, whose payload is
    counted in units of 16 words."""
    return words if words <= 4095 else math.ceil(words / 16) * 16


def weight_words(current, np_):
    """Words of the weights of the NP's filters (its channels for depthwise layers)."""
    params = current.parameters
    k, bits, n = params.kernel_size, params.weights_bits, np_.filters
    channels = current.input_dims[2]
    if params.layer_type in DEPTHWISE:
        words = n * {3: 1, 4: 2, 5: 3, 7: 7}[k] * 3 if bits == 8 else n * {3: 2, 5: 6, 7: 14}[k]
    elif bits == 8:
        f8 = math.ceil(n / 8) * 8
        per_channel = math.ceil(f8 / 24) * 2 if k == 1 else f8 * {3: 6, 4: 12, 5: 20, 7: 56}[k] // 8
        words = per_channel * (4 if k == 7 else 3) * channels
    else:
        per_channel = math.ceil(n / 24) if k == 1 else math.ceil(n / 8) * {3: 3, 5: 8, 7: 21}[k]
        words = per_channel * 4 * channels
    return dma_payload(words)


def weight_target(current):
    params = current.parameters
    if params.weights_bits == 4:
        return WEIGHTS_IN_4
    if params.layer_type in DEPTHWISE:
        return WEIGHTS_IN_3
    return WEIGHTS_IN_4 if params.kernel_size == 7 else WEIGHTS_IN_3


def decode(reader, sequence):
    """Per pass, per record, the DMA blocks of the record's tracks, each track checked against the
    words its span locates in the data part."""
    parts = sequence.program_parts
    assert parts.program_info + parts.program_data == sequence.program
    info, data_root, data = roots(reader, sequence.program)
    assert info.PassesLength() == data_root.PassesLength() == len(sequence.passes)
    passes = []
    for p in range(data_root.PassesLength()):
        spans, pass_data = info.Passes(p), data_root.Passes(p)
        records = []
        for r in range(pass_data.RecordsLength()):
            record = pass_data.Records(r)
            assert not written(record, 1), "a convolutional model has no FNP2 filters"
            found = []
            for t in range(record.TracksLength()):
                track = record.Tracks(t)
                words = [track.Words(i) for i in range(track.WordsLength())]
                span = spans.Records(r).Tracks(t)
                assert words_at(data, span.Offset(), span.Size()) == words
                found += blocks(words)
            records.append(found)
        passes.append(records)
    return passes


def check_record(current, record):
    kind = current.parameters.layer_type
    if kind == T.InputData or kind in MERGES:
        assert record == [], current.name
        return
    mapping = current.mapping
    skip = [b for b in record if b[1] == SKIP_DMA]
    engines = {ident_of(c) for c in mapping.skipdma_loads + mapping.skipdma_stores}
    assert {b[0] for b in skip} == engines, current.name
    np_blocks = [b for b in record if b[1] != SKIP_DMA]
    order = [ident_of(np_) for np_ in mapping.nps]
    # Each NP's blocks come together, the NPs in mapping order, and no other NP is written.
    assert np_blocks == [b for ident in order for b in np_blocks if b[0] == ident], current.name
    assert {b[0] for b in np_blocks} == set(order), current.name

    after_add = current.inbounds[0].parameters.layer_type == T.Add
    lut = current.parameters.activation == LUT
    expected = [NP_REGISTERS, weight_target(current), INPUT_SHIFT, VARIABLES]
    expected += [LOOKUP_TABLE] * lut + [MERGE_SHIFTS] * after_add
    shifts = current.variables["input_shift"]
    for np_ in mapping.nps:
        own = [b for b in np_blocks if b[0] == ident_of(np_)]
        assert [b[1] for b in own] == expected, (current.name, np_.ident)
        assert len(own[1][3]) == weight_words(current, np_), (current.name, np_.ident)
        # Standard convolutions read every input channel; a depthwise NP only its own.
        first, count = (np_.start_neuron, np_.filters) if kind in DEPTHWISE else (0, len(shifts))
        shift_bytes = np.array(own[2][3], dtype="<u4").view(np.uint8)
        assert len(shift_bytes) == 8 * math.ceil(count / 8)
        assert list(shift_bytes[:count]) == list(shifts[first : first + count]), (current.name, np_.ident)
        assert not shift_bytes[count:].any()


def map_and_check(model, device, reader):
    """Maps the model and checks the mapping and the program; returns the hardware sequence."""
    assert model._map(device) is None
    [sequence] = model.sequences
    assert sequence.backend == core.BackendType.Hardware
    # Every layer is in the hardware sequence, in model order: none is left unmapped.
    assert [current.name for p in sequence.passes for current in p.layers] == [current.name for current in model.layers]

    merges = 0
    for current in model.layers[1:]:
        mapping = current.mapping
        assert mapping is not None, current.name
        kind = current.parameters.layer_type
        if kind in MERGES:
            # A merge takes no NP: the CNP layer after it loads the skip branch back and merges.
            merges += 1
            assert mapping.nps == [] and mapping.skipdma_loads == [] and mapping.skipdma_stores == []
            [merger] = [o for o in outbounds(model, current) if o.parameters.layer_type not in MERGES]
            assert len(merger.mapping.skipdma_loads) == 1, merger.name
        else:
            assert kind in CONVOLUTIONS
            assert mapping.nps, current.name
            check_split_covers(current)
    # One store per skip connection and one load to take it back.
    assert sum(len(c.mapping.skipdma_stores) for c in model.layers[1:]) == merges
    assert sum(len(c.mapping.skipdma_loads) for c in model.layers[1:]) == merges

    passes = decode(reader, sequence)
    for k, (records, hw_pass) in enumerate(zip(passes, sequence.passes)):
        # The input/output record opens the program; a record of the NPs left idle closes each pass but
        # the last.
        opening = 1 if k == 0 else 0
        closing = 1 if k + 1 < len(passes) else 0
        assert len(records) == opening + len(hw_pass.layers) + closing
        for current, record in zip(hw_pass.layers, records[opening:]):
            check_record(current, record)
    return sequence


@pytest.fixture(scope="module")
def device():
    return v2_device()


# ---- Models that map


@pytest.mark.parametrize("precision", PRECISIONS)
@pytest.mark.parametrize(
    "build",
    [pooling_chain, separable, residual, identity_shortcuts, concatenation, concatenation_of_an_add, transposed],
    ids=["pooling", "depthwise-separable", "residual", "identity-shortcuts", "concatenate", "concatenate-an-add",
         "transposed"],
)
def test_convolutional_models_map_into_one_sequence(device, reader, build, precision):
    model = model_of(build(precision))
    sequence = map_and_check(model, device, reader)
    assert len(sequence.passes) == 1
    # The lookup table is used wherever the rules allow it, and only where the model asks for it.
    activations = [c.parameters.activation for c in model.layers if c.parameters.layer_type in CONVOLUTIONS]
    assert (LUT in activations) == (precision[1] == LUT)


SPLITS = {
    # name: (rows, split layer, what the NPs differ by)
    "width": (lambda p: [(input_data(128, 16, 8, p[0]), []), (conv(p, "wide", 16), ["input"]),
                         (conv(p, "c", 8), ["wide"])], "wide", "x"),
    "height": (lambda p: [(input_data(16, 300, 8, p[0]), []), (conv(p, "tall", 8), ["input"]),
                          (conv(p, "c", 8), ["tall"])], "tall", "y"),
    "input-memory": (lambda p: [(input_data(64, 200, 64, p[0]), []), (conv(p, "big", 8), ["input"]),
                                (conv(p, "c", 8), ["big"])], "big", "y"),
    "filters": (lambda p: [(input_data(8, 8, 8, p[0]), []), (conv(p, "many", 1024, kernel=1), ["input"]),
                           (conv(p, "c", 8, kernel=1), ["many"])], "many", "filters"),
    # 682 channels is the most whose kernels fit a CNP; each NP takes as many filters as fit.
    "weights": (lambda p: [(input_data(8, 8, 682, p[0]), []), (conv(p, "heavy", 24), ["input"]),
                           (conv(p, "c", 8), ["heavy"])], "heavy", "filters"),
    "depthwise-channels": (lambda p: [(input_data(32, 32, 256, p[0]), []), (dwconv(p, "dw"), ["input"]),
                                      (conv(p, "c", 8, kernel=1), ["dw"])], "dw", "filters"),
    "transposed-width": (lambda p: [(input_data(48, 16, 8, p[0]), []),
                                    (conv(p, "a", 16, output_bits=8, activation=RELU), ["input"]),
                                    (tconv(p, "up", 16), ["a"]), (conv(p, "c", 8, kernel=1), ["up"])], "up", "x"),
    "strided-width": (lambda p: [(input_data(255, 16, 8, 8), []), (conv(p, "strided", 16, **SAME_UPPER), ["input"]),
                                 (conv(p, "c", 8), ["strided"])], "strided", "x"),
    "max-pooled-width": (lambda p: [(input_data(129, 33, 8, p[0]), []),
                                    (conv(p, "pooled", 16, pool_type=1, pool_size=2), ["input"]),
                                    (conv(p, "c", 16), ["pooled"])], "pooled", "x"),
}


@pytest.mark.parametrize("precision", PRECISIONS)
@pytest.mark.parametrize("name", list(SPLITS))
def test_a_large_layer_is_split_over_several_nps(device, reader, name, precision):
    rows, split, axis = SPLITS[name]
    model = model_of(rows(precision))
    sequence = map_and_check(model, device, reader)
    assert len(sequence.passes) == 1
    nps = model.get_layer(split).mapping.nps
    assert len(nps) > 1
    assert len({ident_of(np_) for np_ in nps}) == len(nps), "an NP given twice"
    key = {"x": lambda n: n.spatial_partition.x, "y": lambda n: n.spatial_partition.y,
           "filters": lambda n: n.start_neuron}[axis]
    assert len({key(np_) for np_ in nps}) > 1
    if axis == "filters":
        assert max(np_.filters for np_ in nps) <= 512


def wide_chain(p):
    rows = [(input_data(256, 64, 8, p[0]), [])]
    for i in range(8):
        rows.append((conv(p, f"c{i}", 16), [rows[-1][0].name]))
    return rows


def wide_residual(p):
    # Every layer takes 4 or 5 NPs, so the shortcut from a crosses into the second pass.
    rows = wide_chain(p)[:8]
    return rows + [(layer(T.Add, "add"), ["c6", "c0"]), (conv(p, "out", 16), ["add"])]


def residual_over_passes(p):
    return [
        (input_data(16, 16, 8, p[0]), []),
        (conv(p, "x", 16), ["input"]),
        (conv(p, "a", 16), ["x"]),
        (conv(p, "b", 16), ["a"]),
        (layer(T.Add, "add"), ["b", "a"]),
        (conv(p, "c", 16), ["add"]),
    ]


def concatenation_over_passes(p):
    return [
        (input_data(16, 16, 8, p[0]), []),
        (conv(p, "x", 16), ["input"]),
        (conv(p, "y", 16), ["x"]),
        (conv(p, "z", 16), ["y"]),
        (conv(p, "a", 16), ["z"]),
        (conv(p, "b1", 8), ["a"]),
        (conv(p, "b2", 8, kernel=1), ["a"]),
        (layer(T.Concatenate, "cat"), ["b1", "b2"]),
        (conv(p, "out", 16), ["cat"]),
    ]


MULTI_PASS = {
    # name: (rows, device, layers of each pass or None when only their number matters)
    "wide-chain": (wide_chain, v2_device, None),
    "wide-residual": (wide_residual, v2_device, None),
    # The skip branch is stored in the first pass and loaded back in the second.
    "residual": (residual_over_passes, lambda: small_v2_device(2, skip_dmas=2, has_lut=True),
                 [["input", "x", "a"], ["b", "add", "c"]]),
    # Both branches run in the second pass, their merge in the third.
    "concatenate": (concatenation_over_passes, lambda: small_v2_device(3, skip_dmas=2, has_lut=True),
                    [["input", "x", "y", "z"], ["a", "b1", "b2"], ["cat", "out"]]),
    "depthwise-separable": (lambda p: separable(p)[:6], lambda: small_v2_device(2, has_lut=True),
                            [["input", "stem", "dw3"], ["pw3", "dw5"], ["pw5"]]),
}


@pytest.mark.parametrize("precision", PRECISIONS)
@pytest.mark.parametrize("name", list(MULTI_PASS))
def test_a_model_needing_several_passes(reader, name, precision):
    rows, make_device, layout = MULTI_PASS[name]
    model = model_of(rows(precision))
    sequence = map_and_check(model, make_device(), reader)
    assert len(sequence.passes) > 1
    if layout is not None:
        assert [[current.name for current in p.layers] for p in sequence.passes] == layout


# ---- Models that break a rule


def shifts_out_of_range(model):
    # Channel 3: inputs 16 apart (at most 15) and a sum shift of 16; channel 5: a sum shift of 4 (at most 3).
    add = model.get_layer("add")
    a_shift = np.zeros(16, np.uint8)
    a_shift[3] = 16
    output_shift = np.zeros(16, np.int8)
    output_shift[5] = 4
    add.variables["a_shift"] = a_shift
    add.variables["b_shift"] = np.zeros(16, np.uint8)
    add.variables["output_shift"] = output_shift


P8, P4 = (8, RELU), (4, RELU)


def around(*middle, inputs=(16, 16, 8, 8)):
    """The input, a 16-filter convolution "a", the given rows, and a closing convolution after the last."""
    rows = [(input_data(*inputs), []), (conv(P8, "a", 16), ["input"])]
    rows += list(middle)
    rows.append((conv(P8, "out", 8), [rows[-1][0].name]))
    return rows


# A merge layer that breaks a rule stops the walk there; the layers before it cannot end a sequence,
# since their skip branch leaves it, and that is reported first, without a layer name.
SEVERAL_BRANCHES = "Cannot map layer '':\n  * Bad mapping on skip connection. Several branches.\n  * Layer '{}': {}"

RULES = [
    pytest.param(lambda: around((conv(P8, "c", 16, padding=0), ["a"])), None,
                 "Cannot map layer 'c'. Only padding 'Same' and 'SameUpper' are supported.", id="valid-padding"),
    pytest.param(lambda: around((conv(P4, "c", 16, padding=2), ["a"])), None,
                 "Cannot map layer 'c'. With SameUpper padding only stride 2 is supported. With SameUpper padding "
                 "only 8-bit activations are supported. With SameUpper padding only 8-bit weights are supported.",
                 id="same-upper-padding"),
    pytest.param(lambda: around((conv(P8, "c", 16, kernel=2, padding=0, weights_bits=3), ["a"])), None,
                 "Cannot map layer 'c'. Only padding 'Same' and 'SameUpper' are supported. Kernel size must be 1, 3, 5 "
                 "or 7. Weights bitwidth should be 4-bit or 8-bit.", id="kernel-padding-weights"),
    pytest.param(lambda: around((dwconv(P8, "c", kernel=1), ["a"])), None,
                 "Cannot map layer 'c'. Kernel size must be 3, 5 or 7.", id="depthwise-kernel"),
    pytest.param(lambda: around((conv(P8, "c", 16, activation=0, weights_bits=4), ["a"])), None,
                 "Cannot map layer 'c'. 4-bit weights and 8-bit potential is not allowed.", id="4bit-weights-potentials"),
    pytest.param(lambda: around((dwconv(P8, "c", weights_bits=4), ["a"])), None,
                 "Cannot map layer 'c'. 4-bit weights and 8-bit activation is not allowed.",
                 id="depthwise-4bit-weights-8bit-activation"),
    pytest.param(lambda: [(input_data(16, 16, 8, 2), []), (conv(P8, "c", 16), ["input"]), (conv(P8, "out", 8), ["c"])],
                 None, "Cannot map layer 'c'. Input bits should be >= weights bits. Input should be 4-bit or 8-bit.",
                 id="2bit-input"),
    pytest.param(lambda: around((conv(P8, "c", 16, pool_type=1, kernel_stride=2), ["a"])), None,
                 "Cannot map layer 'c'. The CNP cannot support both pooling and stride.", id="pooling-and-stride"),
    pytest.param(lambda: around((conv(P8, "c", 16, pool_type=1, pool_size=3), ["a"])), None,
                 "Cannot map layer 'c'. Pooling size must be 1 or 2.", id="max-pooling-size"),
    pytest.param(lambda: around((conv((8, LUT), "c", 16, pool_type=1, activation=LUT), ["a"])), None,
                 "Cannot map layer 'c'. Max pooling is not supported with activation LUT.", id="max-pooling-lut"),
    pytest.param(lambda: around((conv(P8, "c", 16, pool_type=2, pool_size=-1), ["a"]), inputs=(13, 12, 8, 8)), None,
                 "Cannot map layer 'c'. When using Global Average Pooling, input dimensions width * height cannot "
                 "exceed 144.", id="global-average-area"),
    pytest.param(lambda: around((conv((8, LUT), "c", 16, output_bits=4), ["a"])), None,
                 "Cannot map layer 'c'. 4-bit activation is not supported with LUT.", id="4bit-lut"),
    pytest.param(lambda: [(input_data(8, 8, 683, 8), []), (conv(P8, "c", 8), ["input"]), (conv(P8, "out", 8), ["c"])],
                 None, "Cannot map layer 'c'. Filter size is too big to fit in a CNP: try decreasing the input channels "
                 "or the bitwidth.", id="filter-size"),
    pytest.param(lambda: around((tconv(P8, "c", 8, weights_bits=4), ["a"])), None,
                 "Cannot map layer 'c'. Weights should be 8-bit.", id="transposed-weights"),
    pytest.param(lambda: around((tconv(P8, "c", 8, kernel=5), ["a"])), None,
                 "Cannot map layer 'c'. Kernel size must be 3 or 4.", id="transposed-kernel"),
    pytest.param(lambda: around((tdwconv(P8, "c", output_bits=4), ["a"])), None,
                 "Cannot map layer 'c'. With activation output bitwidth should be 8.", id="transposed-4bit-output"),
    pytest.param(lambda: around((conv(P8, "b", 16), ["a"]), (layer(T.Add, "add", output_bits=4), ["b", "a"])), None,
                 SEVERAL_BRANCHES.format("add", "Output must be 8-bit."), id="add-output-bits"),
    pytest.param(lambda: around((conv(P8, "b", 16), ["a"]), (layer(T.Add, "add"), ["b", "a"])), shifts_out_of_range,
                 SEVERAL_BRANCHES.format(
                     "add", "This model cannot be mapped in hardware, Add input shift is out of range. The maximum is 15. "
                     "This model cannot be mapped in hardware, Add output shift is out of range. Should be in [-4, 3]. "
                     "This model cannot be mapped in hardware, Add output shift is out of range. Should be in [-4, 3]."),
                 id="add-shifts"),
    pytest.param(lambda: [(input_data(16, 16, 8, 8), []), (conv(P8, "a", 16), ["input"]), (conv(P8, "b", 16), ["a"]),
                          (layer(T.Add, "add"), ["b", "a"]), (layer(T.Dense1D, "dense", units=4), ["add"])], None,
                 SEVERAL_BRANCHES.format("add", "Must be followed by a merge layer."), id="add-then-dense"),
    pytest.param(lambda: around((layer(T.Concatenate, "cat"), ["a", "input"])), None,
                 SEVERAL_BRANCHES.format("cat", "Inbounds must be of types Conv, Add or Concat."),
                 id="concatenate-of-the-input"),
    pytest.param(lambda: [(input_data(16, 16, 8, 8), []), (conv(P8, "a", 16), ["input"]), (conv(P8, "b", 16), ["a"]),
                          (layer(T.Concatenate, "cat"), ["b", "a"])], None,
                 SEVERAL_BRANCHES.format("cat", "Must be followed by a merge layer."), id="concatenate-last"),
    pytest.param(lambda: [(input_data(16, 16, 8, 8), []), (conv(P8, "a", 16), ["input"]),
                          (conv(P8, "c", 16, pool_type=1), ["a"])], None,
                 "Cannot map layer 'c'. A layer with max pooling cannot be the last layer of a sequence.",
                 id="max-pooling-last"),
    pytest.param(lambda: [(input_data(16, 16, 8, 8), []), (conv(P8, "a", 16), ["input"])]
                 + [(conv(P8, f"b{i}", 16), ["a"]) for i in range(3)], None,
                 "Cannot map layer 'a'. Layer has 3 outbounds. A maximum of 2 outbounds is supported.",
                 id="three-outbounds"),
]


@pytest.mark.parametrize("rows, edit, message", RULES)
def test_a_model_breaking_a_rule_is_refused_with_its_message(device, rows, edit, message):
    model = model_of(rows())
    if edit is not None:
        edit(model)
    with pytest.raises(RuntimeError) as failure:
        model._map(device)
    assert str(failure.value) == message
    assert model.sequences == [] and model.device is None
    assert all(current.mapping is None for current in model.layers)


def test_lookup_tables_missing_from_the_device_are_reported():
    model = model_of(around((conv((8, LUT), "c", 16), ["a"])))
    with pytest.raises(RuntimeError) as failure:
        model._map(small_v2_device(3))
    assert str(failure.value) == "Cannot map layer 'c'. Lookup tables are missing on some NPs."
    # The same model maps once every NP has its table.
    model._map(small_v2_device(3, has_lut=True))
    assert [[c.name for c in p.layers] for p in model.sequences[0].passes] == [["input", "a", "c", "out"]]
