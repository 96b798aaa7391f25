"""v1 convolutional models mapped end to end on virtual Tamsel_v1, ZMX2400_v1 and Quor_v2 devices:
InputData -> Convolutional with max pooling -> SeparableConvolutional -> Convolutional, on enough NPs,
split over several CNPs and over more than one pass. Each program decodes, every span locates the words
of its track, every NP of a layer receives its register block, and the input and output stages carry
the words of the device's product. Rule breaks and the Quor_v1 refusal reach Python with their texts;
a mapped model runs on an emulated v1 device."""
import numpy as np
import pytest

from emulated_devices import expected_output, with_devices
from ovrix import core
from helpers import ident_of
from test_map_v2_layers import Program
from helpers import roots

if not hasattr(core.Model, "_map"):
    pytest.skip("this build cannot map models yet", allow_module_level=True)

NP = core.NP
HW = core.HwVersion
NP_REGISTERS, REGISTER_WRITES = 7, 8
SCC = (0, 0, 0, 0)


def v1_device(version, columns=5, nps_per_node=4):
    """The v1 mesh: columns x 2 rows x NPs per node less the DMA endpoints of node (1, 1), every NP a CNP
    with FNP3 on even ids and FNP2 on odd ones, and an HRC."""
    nps = [NP.Info(NP.Ident(col, row, i), [NP.CNP1, NP.CNP2, NP.FNP3 if i % 2 == 0 else NP.FNP2], False)
           for col in range(1, columns + 1) for row in (1, 2) for i in range(nps_per_node)
           if not ((col, row) == (1, 1) and i < 2)]
    mesh = NP.Mesh(core.IpVersion.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), NP.Info.hrc(False), nps, [])
    return core.Device(version, mesh)


def small_v1_device(version, count):
    """`count` CNPs in node (1, 2): a longer chain takes more than one pass."""
    nps = [NP.Info(NP.Ident(1, 2, i), [NP.CNP1, NP.CNP2], False) for i in range(count)]
    mesh = NP.Mesh(core.IpVersion.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, nps, [])
    return core.Device(version, mesh)


def layer(kind, name, **entries):
    return core.Layer(core.LayerParams(kind, entries), name)


def cnp(kind, name, filters, max_pool=False, **entries):
    params = dict(kernel_width=3, kernel_height=3, stride_x=1, stride_y=1, padding=int(core.Same), filters=filters,
                  weights_bits=4, activation=1, act_bits=4)
    if max_pool:
        params.update(pool_type=int(core.Max), pooling_width=2, pooling_height=2, pooling_stride_x=2,
                      pooling_stride_y=2)
    params.update(entries)
    return layer(kind, name, **params)


def fill(current, seed):
    """Weights in -1..1 (never all zero), thresholds in 0..7, act steps of 1."""
    rng = np.random.default_rng(seed)
    for name in current.variables.names:
        value = current.variables[name]
        if name.startswith("weights"):
            new = rng.integers(-1, 2, size=value.shape).astype(value.dtype)
            new.flat[0] = 1
        elif name == "threshold":
            new = rng.integers(0, 8, size=value.shape).astype(value.dtype)
        else:
            new = np.ones(value.shape, dtype=value.dtype)
        current.variables[name] = new


def v1_model(width=16, height=16, channels=3, filters=(8, 16, 8), last_activation=1):
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=width, input_height=height, input_channels=channels,
                    input_bits=4, input_signed=0))
    model.add(cnp(core.Convolutional, "conv", filters[0], max_pool=True))
    model.add(cnp(core.SeparableConvolutional, "sep", filters[1]))
    model.add(cnp(core.Convolutional, "last", filters[2], activation=last_activation))
    for seed, current in enumerate(model.layers[1:]):
        fill(current, seed)
    return model


def mapped(model, device, constraints=None):
    assert model._map(device, True, constraints or core.MapConstraints(device)) is None
    for current in model.layers[1:]:
        assert current.mapping is not None and current.mapping.nps, current.name
        assert {np.type for np in current.mapping.nps} <= {NP.CNP1, NP.CNP2}
    [sequence] = model.sequences
    return sequence


def check_program(reader, model, sequence):
    """Every NP of every layer has its register image; no block goes to an NP no layer was given."""
    program = Program(reader, sequence.program)
    given = set()
    for current in model.layers[1:]:
        for np in current.mapping.nps:
            ident = ident_of(np)
            given.add(ident)
            registers = [b for b in program.of(ident) if b[1] == NP_REGISTERS]
            assert registers and all(len(b[3]) == 50 for b in registers), (current.name, ident)
    assert {b[0] for b in program.blocks} <= given | {SCC}
    return program


def scc_words(program):
    return {b[2]: list(b[3]) for b in program.of(SCC) if b[1] == REGISTER_WRITES}


# The input stage streams raw channels and the output stage sends activated outputs compactly on the
# 0xA1 products; product 0x00 (Quor_v2) uses the spatial formats.
@pytest.mark.parametrize("version, compact", [(HW.Tamsel_v1, True), (HW.ZMX2400_v1, True), (HW.Quor_v2, False)],
                         ids=["Tamsel_v1", "ZMX2400_v1", "Quor_v2"])
def test_convolutional_chain_maps_end_to_end(reader, version, compact):
    model = v1_model()
    sequence = mapped(model, v1_device(version))
    assert len(sequence.passes) == 1
    program = check_program(reader, model, sequence)
    info = roots(reader, sequence.program)[0]
    assert (info.InputType(), info.OutputType()) == ((0, 0) if compact else (2, 2))
    # 16 x 16 x 3 -> pooled 8 x 8 x 8 -> 8 x 8 x 16 -> 8 x 8 x 8
    if compact:
        assert scc_words(program) == {4: [0x19], 64: [3], 68: [8 * 8 | 8 << 20]}
    else:
        assert scc_words(program) == {4: [0x01]}
    epg = [(info.EpgRegisters(i).Address(), info.EpgRegisters(i).Value()) for i in range(info.EpgRegistersLength())]
    columns = [np.ident.col for current in model.layers[1:] for np in current.mapping.nps]
    assert epg == [(0x00, 0x00020200 | (0x1000 if compact else 0)), (0x0C, 0x10),
                   (0x10, 1 | min(columns) << 16 | max(columns) << 24), (0x14, 0x100), (0x18, 0x01FE0001),
                   (0x1C, 0x027FFFFF)]


def test_without_activation_the_last_layer_sends_spatial_potentials(reader):
    model = v1_model(last_activation=0)
    sequence = mapped(model, v1_device(HW.Tamsel_v1))
    info = roots(reader, sequence.program)[0]
    assert (info.InputType(), info.OutputType()) == (0, 2)
    assert scc_words(check_program(reader, model, sequence)) == {4: [0x11], 64: [3]}


def test_a_wide_input_is_split_over_several_cnps(reader):
    # 64 columns are more than one CNP reads: the first layer is split by width.
    model = v1_model(width=64, height=8, channels=2)
    sequence = mapped(model, v1_device(HW.Tamsel_v1))
    parts = model.get_layer("conv").mapping.nps
    assert len(parts) >= 2
    assert len({(np.spatial_partition.x, np.spatial_partition.y) for np in parts}) >= 2
    check_program(reader, model, sequence)


def test_a_chain_longer_than_the_mesh_takes_several_passes(reader):
    model = v1_model()
    sequence = mapped(model, small_v1_device(HW.Tamsel_v1, 2))
    assert len(sequence.passes) >= 2
    program = check_program(reader, model, sequence)
    info = roots(reader, sequence.program)[0]
    epg = {info.EpgRegisters(i).Address(): info.EpgRegisters(i).Value() for i in range(info.EpgRegistersLength())}
    assert epg[0x0C] == 0x012C0010  # more than one pass
    assert scc_words(program)[4] == [0x19]


def test_mapping_twice_gives_the_same_program():
    device = v1_device(HW.Tamsel_v1)
    first = mapped(v1_model(), device).program
    assert mapped(v1_model(), device).program == first


def refusal(model, device):
    with pytest.raises(RuntimeError) as failure:
        model._map(device, True, core.MapConstraints(device))
    return str(failure.value)


def test_quor_v1_refuses_every_layer():
    # The input layer is checked first and stops the mapping.
    assert refusal(v1_model(), v1_device(HW.Quor_v1)) == (
        "Cannot map layer 'input'. Quor_v1 is not supported on this version. Please install ovrix 2.0.5 instead.")


RULE_BREAKS = [
    (lambda m: m.add(cnp(core.Convolutional, "bad", 4, padding=int(core.Valid), kernel_height=5)),
     "Cannot map layer 'bad'. Kernel width and height must be equal. Only padding same is supported."),
    (lambda m: m.add(cnp(core.SeparableConvolutional, "bad", 4, weights_bits=1)),
     "Cannot map layer 'bad'. Separable CNP weights bitwidth must be 2 or 4."),
    (lambda m: m.add(cnp(core.Convolutional, "bad", 4, max_pool=True, pooling_width=3, pooling_height=3,
                         pooling_stride_x=3, pooling_stride_y=3)),
     "Cannot map layer 'bad'. Pooling size 3 is not supported on Quor_v2."),
    (lambda m: m.add(cnp(core.Convolutional, "bad", 4, max_pool=True)),
     "Cannot map layer 'bad'. A convolutional or separable convolutional layer with max pooling cannot be the "
     "last layer of a sequence."),
    (lambda m: m.add(layer(core.FullyConnected, "dense", units=4, weights_bits=4, activation=1, act_bits=3)),
     "Cannot map layer 'dense'. act_bits should be 1, 2 or 4."),
    (lambda m: m.add(layer(core.Dequantizer, "dq")), "Unsupported layer type."),
]


@pytest.mark.parametrize("extend, message", RULE_BREAKS,
                         ids=["padding-kernel", "sep-bits", "quor-v2-pool", "last-max-pool", "dense", "dequantizer"])
def test_rule_breaks_reach_python_with_their_text(extend, message):
    model = v1_model()
    extend(model)
    for seed, current in enumerate(model.layers[1:]):
        fill(current, seed)
    assert refusal(model, v1_device(HW.Quor_v2)) == message


@with_devices("v1")
def test_a_mapped_model_runs_on_an_emulated_v1_device():
    (device,) = core.devices()
    assert device.ip_version == core.IpVersion.v1
    model = v1_model()
    model._map(device, True, core.MapConstraints(device))
    samples = np.arange(2 * 16 * 16 * 3, dtype=np.uint8).reshape(2, 16, 16, 3) % 16
    out = model.forward(samples)
    assert out.shape == (2, 8, 8, 8)
    for sample, got in zip(samples, out):
        np.testing.assert_array_equal(got, expected_output(sample, (8, 8, 8), str(got.dtype)))
    assert model.metrics["inference_frames"] == 2


@with_devices("Quor_v2,v1")
def test_quor_v2_discovery_keeps_the_device_whose_input_convolution_runs(capfd):
    # Its time-out check maps and runs an input convolution; the run works, so the device is kept as
    # first opened, next to the other one, and nothing is reported.
    devices = core.devices()
    assert [d.version for d in devices] == [HW.Quor_v2, HW.Tamsel_v1]
    assert capfd.readouterr().out == ""


@with_devices("Quor_v2:hrc-timeout")
def test_quor_v2_discovery_reopens_a_device_whose_input_convolution_times_out(capfd):
    # The first opened device fails the check's run: discovery opens it again and keeps the new one.
    (device,) = core.devices()
    assert device.version == HW.Quor_v2
    assert capfd.readouterr().out == ""
