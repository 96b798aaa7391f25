"""v2 models with an input convolution on the HRC, dense classifiers on FNP2 and FNP3, and buffered
temporal convolutions on TNP-B NPs map end to end on a virtual v2 device; their programs decode, every
span locates its track, every track is made of whole DMA blocks, and each NP gets the blocks of its
kind."""
import numpy as np
import pytest

from ovrix import core
from helpers import blocks, fill, ident_of, roots, words_at, written


NP = core.NP

# DMA targets of the v2 blocks.
WEIGHTS, INPUT_SHIFT, VARIABLES, FNP3_RAM, NP_REGISTERS, REGISTER_WRITES, HRC_SRAM, SKIP_DMA = 1, 2, 5, 6, 7, 8, 9, 11
HRC_IDENT = (0, 0, 0, 0)


def layer(kind, name, **entries):
    return core.Layer(core.LayerParams(kind, entries), name)


def model_of(layers):
    """A chain of the layers with small deterministic variables; a dense layer without activation
    leaves its potentials unscaled, as the last layer of a sequence must."""
    model = core.Model()
    for current in layers:
        model.add(current)
    for index, current in enumerate(model.layers):
        fill(current, index)
        if current.parameters.layer_type == core.LayerType.Dense1D and not current.parameters.activation:
            current.variables["output_shift"] = np.zeros(current.variables["output_shift"].shape, np.int8)
            current.variables["output_scales"] = np.ones(current.variables["output_scales"].shape, np.uint8)
    return model


def input_data(width, height, channels):
    return layer(core.InputData, "input", input_width=width, input_height=height, input_channels=channels, input_bits=8,
                 input_signed=0)


def conv(name, filters, stride=1, pool_type=0, pool_size=1):
    return layer(core.Conv2D, name, filters=filters, kernel_size=3, kernel_stride=stride, padding=1, activation=1,
                 weights_bits=8, pool_type=pool_type, pool_size=pool_size)


def classifier(name="classifier", units=10, weights_bits=8):
    return layer(core.Dense1D, name, units=units, weights_bits=weights_bits, activation=0, output_bits=32)


def hrc(kernel, filters=8, activation=1):
    return layer(core.InputConv2D, "hrc", filters=filters, kernel_size=kernel, kernel_stride=2, padding=1,
                 activation=activation, pool_type=0, pool_size=-1)


# ---- Decoding


class Program:
    """The blocks of every track of a sequence's program, and its FNP2 filters tracks, with every span
    checked against the words it locates."""

    def __init__(self, reader, program):
        info, data_root, data = roots(reader, program)
        assert info.PassesLength() == data_root.PassesLength() > 0
        self.blocks, self.filters = [], []
        for p in range(info.PassesLength()):
            spans, pass_data = info.Passes(p), data_root.Passes(p)
            for r in range(pass_data.RecordsLength()):
                record, record_spans = pass_data.Records(r), spans.Records(r)
                for t in range(record.TracksLength()):
                    track = record.Tracks(t)
                    words = [track.Words(i) for i in range(track.WordsLength())]
                    span = record_spans.Tracks(t)
                    assert words_at(data, span.Offset(), span.Size()) == words
                    self.blocks += blocks(words)
                if written(record, 1):
                    filters = record.Fnp2Filters()
                    words = [filters.Words(i) for i in range(filters.WordsLength())]
                    span = record_spans.Fnp2Filters()
                    assert words_at(data, span.Offset(), span.Size()) == words
                    np_ident = filters.Np()
                    self.filters.append(((np_ident.Col(), np_ident.Row(), np_ident.Id()), words))

    def of(self, ident):
        return [b for b in self.blocks if b[0] == ident]

    def targets(self, ident):
        return [b[1] for b in self.of(ident)]


def mapped(model, device):
    assert model._map(device) is None
    for current in model.layers[1:]:
        assert current.mapping is not None and current.mapping.nps, current.name
    [sequence] = model.sequences
    return sequence


# The SCC words go to the same identifier, at addresses of their own.
SCC_ADDRESSES = (4, 64, 68)


def hrc_blocks_of(program):
    return [b for b in program.of(HRC_IDENT) if not (b[1] == REGISTER_WRITES and b[2] in SCC_ADDRESSES)]


# ---- Input convolution on the HRC


@pytest.mark.parametrize("kernel", [3, 4, 5, 7])
@pytest.mark.parametrize("channels", [1, 3])
def test_input_convolution_then_dense_classifier(device, reader, kernel, channels):
    model = model_of([input_data(32, 32, channels), hrc(kernel), conv("conv", 16, stride=2), classifier()])
    sequence = mapped(model, device)
    assert [np.type for np in model.get_layer("hrc").mapping.nps] == [NP.HRC]
    [dense_np] = model.get_layer("classifier").mapping.nps
    assert dense_np.type == NP.FNP3
    program = Program(reader, sequence.program)

    hrc_blocks = hrc_blocks_of(program)
    registers = hrc_blocks[0]
    assert registers[1:3] == (REGISTER_WRITES, 8)
    kernel_code = {3: 0, 4: 1, 5: 2, 7: 3}[kernel]
    # Enabled, kernel, 8-bit ReLU outputs, one channel or three, Same padding.
    assert registers[3][0] == 1 | kernel_code << 4 | 3 << 8 | 1 << 10 | (channels == 1) << 12
    assert registers[3][1] == 0x01010202  # stride 2; the pool stride the engine completes to 1
    assert registers[3][4] == 7 << 16  # 8 filters
    # Select-then-write pairs, the activation SRAM last, then the start of the block.
    selects = [b[3][0] for b in hrc_blocks if b[1:3] == (REGISTER_WRITES, 32)]
    assert selects[-1] == 1 << 31
    assert set(selects[:-1]) <= {1, 2, 4} and 1 in selects
    assert [b[1:3] for b in hrc_blocks[-3:]] == [(REGISTER_WRITES, 8), (REGISTER_WRITES, 0), (REGISTER_WRITES, 0)]
    assert [b[3] for b in hrc_blocks[-3:]] == [[registers[3][0] & ~1], [1], [0]]
    # Lines of three words, ceil(k * k / 9) per filter and channel, then two activation words a filter.
    lines = (kernel * kernel + 8) // 9 * 8
    assert sum(len(b[3]) for b in hrc_blocks if b[1] == HRC_SRAM) == 3 * lines * channels + 2 * 8

    assert program.targets(ident_of(dense_np)) == [NP_REGISTERS, INPUT_SHIFT, FNP3_RAM]


def test_input_convolution_with_a_lookup_table(device, reader):
    model = model_of([input_data(16, 16, 3), hrc(3, activation=2), conv("conv", 8), classifier()])
    lut = np.arange(-1024, 1024, dtype=np.int32)
    model.get_layer("hrc").variables["lut_values"] = lut
    sequence = mapped(model, device)
    hrc_blocks = hrc_blocks_of(Program(reader, sequence.program))
    selects = [b[3][0] for b in hrc_blocks if b[1:3] == (REGISTER_WRITES, 32)]
    assert selects[-2:] == [1 << 29, 1 << 31]  # the lookup table before the activation words
    table = next(hrc_blocks[i + 1][3] for i, b in enumerate(hrc_blocks) if b[1:3] == (REGISTER_WRITES, 32)
                 and b[3][0] == 1 << 29)
    assert table == [int(v) & 0x3FFF for v in lut]


# ---- Dense classifiers


def dense_words(program, np_ident):
    return {b[1]: b[3] for b in program.of(np_ident)}


@pytest.mark.parametrize("weights_bits", [4, 8])
def test_dense_after_rows_of_a_cnp_on_an_fnp3(device, reader, weights_bits):
    # The dense layer reads the CNP's 4 x 4 x 8 output row by row.
    model = model_of([input_data(8, 8, 4), conv("conv", 8, stride=2), classifier(weights_bits=weights_bits)])
    sequence = mapped(model, device)
    [fnp] = model.get_layer("classifier").mapping.nps
    assert fnp.type == NP.FNP3
    words = dense_words(Program(reader, sequence.program), ident_of(fnp))
    regs = words[NP_REGISTERS]
    assert len(regs) == 64
    assert regs[10] == 4 << 16 | 4  # width 4, height 4: not flattened
    assert regs[1] >> 24 & 1 == 1
    assert regs[15] & 0xFFFF == 10
    neuron_words = regs[15] >> 16
    assert len(words[FNP3_RAM]) == 10 * neuron_words
    assert regs[17] & 0xFFFF == 10 * neuron_words


def test_dense_after_global_pooling(device, reader):
    model = model_of([input_data(8, 8, 4), conv("conv", 32, pool_type=2, pool_size=-1), classifier()])
    sequence = mapped(model, device)
    [fnp] = model.get_layer("classifier").mapping.nps
    words = dense_words(Program(reader, sequence.program), ident_of(fnp))
    assert words[NP_REGISTERS][10] == 1 << 16 | 1
    assert len(words[FNP3_RAM]) == 10 * (32 + 2)


def test_flattened_dense_layers_on_fnp2_and_fnp3(device, reader):
    # The first dense layer opens the sequence (its input taken flat); its 200 neurons of 66 words do
    # not fit an FNP3, so it runs on an FNP2 from external memory.
    model = model_of([input_data(4, 4, 16), layer(core.Dense1D, "hidden", units=200, weights_bits=8, activation=1),
                      classifier()])
    sequence = mapped(model, device)
    [fnp2] = model.get_layer("hidden").mapping.nps
    [fnp3] = model.get_layer("classifier").mapping.nps
    assert (fnp2.type, fnp3.type) == (NP.FNP2, NP.FNP3)
    program = Program(reader, sequence.program)
    assert program.targets(ident_of(fnp2)) == [NP_REGISTERS, INPUT_SHIFT]
    regs = dense_words(program, ident_of(fnp2))[NP_REGISTERS]
    assert regs[10] == 1 << 16 | 1  # flattened: 1 x 1 x 256
    assert regs[17] == 5
    [(np_ident, filters)] = program.filters
    assert np_ident == ident_of(fnp2)[:3]
    assert len(filters) == 200 * 66
    assert program.targets(ident_of(fnp3)) == [NP_REGISTERS, INPUT_SHIFT, FNP3_RAM]
    assert model.external_memory_size >= 4 * 200 * 66


# ---- Buffered temporal convolutions


def test_temporal_convolutions_with_their_fifo_skip_dma(device, reader):
    model = model_of([input_data(8, 8, 16), conv("conv", 16),
                      layer(core.BufferTempConv, "btc", fifo_size=2, filters=16, activation=1),
                      layer(core.DepthwiseBufferTempConv, "dbtc", fifo_size=3, activation=1), conv("out", 8)])
    sequence = mapped(model, device)
    program = Program(reader, sequence.program)
    for name, fifo in (("btc", 2), ("dbtc", 3)):
        mapping = model.get_layer(name).mapping
        assert all(np.type == NP.TNP_B for np in mapping.nps)
        assert mapping.skipdma_loads, name
        for np in mapping.nps:
            assert program.targets(ident_of(np)) == [NP_REGISTERS, WEIGHTS, INPUT_SHIFT, VARIABLES], name
            regs = dense_words(program, ident_of(np))[NP_REGISTERS]
            assert regs[1] >> 28 & 1 == 1  # TNP-B
            assert regs[4] & 0xFFFF == fifo
            assert regs[30] == 2 | fifo << 8 | (fifo + 1) << 16
        [load] = mapping.skipdma_loads
        load_blocks = [b for b in program.blocks if b[0] == ident_of(load) and b[1] == SKIP_DMA]
        reset = (load.ident.channel << 8)
        assert sum(1 for b in load_blocks if b[2] == reset and b[3] == [0x83000601]) >= 2
    depthwise = model.get_layer("dbtc").mapping.nps[0]
    weights = dense_words(program, ident_of(depthwise))[WEIGHTS]
    assert len(weights) == 3 * (3 + 1) * depthwise.filters


# ---- Rules


@pytest.mark.parametrize(
    "layers, message",
    [
        (lambda: [input_data(32, 32, 3), hrc(6), conv("conv", 8)],
         "Cannot map layer 'hrc'. Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. 6 given."),
        (lambda: [input_data(8, 8, 4), conv("conv", 8), layer(core.Dense1D, "dense", units=4, weights_bits=4,
                                                              activation=0, output_bits=8)],
         "Cannot map layer 'dense'. With 4-bit weights, output must be 4-bit or 32-bit."),
        (lambda: [input_data(8, 8, 4), conv("conv", 8),
                  layer(core.BufferTempConv, "btc", fifo_size=2, filters=8, activation=1, output_bits=4)],
         "Cannot map layer 'btc'. Output should be 8-bit."),
    ],
    ids=["hrc-kernel", "dense-widths", "tnp-b-output"],
)
def test_rule_failures_name_the_layer(device, layers, message):
    model = model_of(layers())
    with pytest.raises(RuntimeError) as failure:
        model._map(device)
    assert str(failure.value).startswith(message)
