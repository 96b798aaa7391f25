"""The input convolution on the v1 HRC, mapped end to end: an HRC -> convolution -> dense model maps on
virtual v1 devices with the first layer on the HRC and the classifier on an FNP3; the HRC program is
its register image, the three colour SRAMs and the threshold SRAM, then its start sequence; the model
runs on an emulated v1 device."""
import numpy as np
import pytest

from emulated_devices import expected_output, with_devices
from ovrix import core
from test_map_v2_layers import Program

from test_v1_map import HW, NP, cnp, fill, layer, v1_device

if not hasattr(core.Model, "_map"):
    pytest.skip("this build cannot map models yet", allow_module_level=True)

HRC = (0, 0, 0, 0)
REGISTER_WRITES, HRC_SRAM = 8, 9


def hrc_model(units=10):
    model = core.Model()
    model.add(layer(core.InputConvolutional, "hrc", input_width=16, input_height=16, input_channels=3, filters=8,
                    kernel_width=3, kernel_height=3, stride_x=1, stride_y=1, padding=int(core.Same), weights_bits=4,
                    activation=1, act_bits=1, pool_type=int(core.Max), pooling_width=2, pooling_height=2,
                    pooling_stride_x=2, pooling_stride_y=2))
    model.add(cnp(core.Convolutional, "conv", 8, stride_x=2, stride_y=2, act_bits=1))
    model.add(layer(core.FullyConnected, "dense", units=units, weights_bits=2, activation=1, act_bits=1))
    for seed, current in enumerate(model.layers):
        fill(current, seed)
    return model


@pytest.mark.parametrize("version", [HW.Tamsel_v1, HW.ZMX2400_v1, HW.Quor_v2], ids=["Tamsel_v1", "ZMX2400_v1", "Quor_v2"])
def test_image_to_class_maps_with_the_hrc_first_and_the_classifier_on_an_fnp3(reader, version):
    model = hrc_model()
    device = v1_device(version)
    assert model._map(device, True, core.MapConstraints(device)) is None
    assert [np_.type for np_ in model.layers[0].mapping.nps] == [NP.HRC]
    assert [np_.type for np_ in model.layers[2].mapping.nps] == [NP.FNP3]
    [sequence] = model.sequences
    blocks = Program(reader, sequence.program).of(HRC)
    # The input and output stages write their registers through the same endpoint first.
    start = [(b[1], b[2], len(b[3])) for b in blocks].index((REGISTER_WRITES, 8, 8))
    blocks = blocks[start:]
    layout = [(b[1], b[2], len(b[3])) for b in blocks]
    assert layout[0] == (REGISTER_WRITES, 8, 8)
    # R, G, B then thresholds and steps: a select word pair, then the SRAM data.
    for colour in range(4):
        select, data = layout[1 + 2 * colour], layout[2 + 2 * colour]
        assert select == (REGISTER_WRITES, 32, 2) and data[:2] == (HRC_SRAM, 40)
    assert [list(blocks[1 + 2 * c][3])[0] for c in range(4)] == [1, 2, 4, 1 << 31]
    assert layout[8][2] == 2 * 8  # two words a filter
    assert layout[9:] == [(REGISTER_WRITES, 8, 1), (REGISTER_WRITES, 0, 1), (REGISTER_WRITES, 0, 1)]
    registers = list(blocks[0][3])
    assert list(blocks[9][3]) == [registers[0] & ~1]
    assert [list(blocks[10][3]), list(blocks[11][3])] == [[1], [0]]
    assert registers[4] >> 16 == 7  # filters - 1


@with_devices("v1")
def test_image_to_class_runs_on_an_emulated_v1_device():
    (device,) = core.devices()
    model = hrc_model()
    model._map(device, True, core.MapConstraints(device))
    samples = (np.arange(2 * 16 * 16 * 3, dtype=np.uint32).reshape(2, 16, 16, 3) % 251).astype(np.uint8)
    out = model.forward(samples)
    assert out.shape == (2, 1, 1, 10)
    for sample, got in zip(samples, out):
        np.testing.assert_array_equal(got, expected_output(sample, (1, 1, 10), str(got.dtype)))
