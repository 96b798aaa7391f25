"""Dense layers on v1 FNPs, mapped end to end: a convolution -> dense model puts its classifier on an
FNP3, whose own memory holds the packed weights, and on an FNP2 (weights in external memory) when the
FNP3 budget is exceeded; the register block and the weight memory reach the program; weights without
a place in the FNP layout are refused with the FNP text."""
import numpy as np
import pytest

from ovrix import core
from helpers import ident_of
from test_map_v2_layers import Program

from test_v1_map import HW, NP, NP_REGISTERS, cnp, fill, layer, v1_device

if not hasattr(core.Model, "_map"):
    pytest.skip("this build cannot map models yet", allow_module_level=True)

FNP3_WEIGHTS = 6


def dense_model(units=10, weights_bits=2, width=8):
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=width, input_height=width, input_channels=3, input_bits=4,
                    input_signed=0))
    model.add(cnp(core.Convolutional, "conv", 8, stride_x=2, stride_y=2, act_bits=1))
    model.add(layer(core.FullyConnected, "dense", units=units, weights_bits=weights_bits, activation=1, act_bits=1))
    for seed, current in enumerate(model.layers[1:]):
        fill(current, seed)
    return model


def fnp_words(weights, bits):
    """The packed FNP memory of int weights (neurons, inputs), without the neuron headers: per neuron the
    positive then (above 1 bit) the negative set, plane words per group of 32 inputs, least significant first."""
    planes = 1 if bits == 1 else bits - 1
    sets = 1 if bits == 1 else 2
    groups = -(-weights.shape[1] // 32)
    out = []
    for row in weights:
        block = [0] * (sets * groups * planes)
        for i, w in enumerate(row):
            for p in range(planes):
                if (abs(int(w)) >> p) & 1:
                    block[(groups * planes if w < 0 else 0) + (i // 32) * planes + p] |= 1 << (i % 32)
        out.append(block)
    return out


@pytest.mark.parametrize("version", [HW.Tamsel_v1, HW.ZMX2400_v1, HW.Quor_v2], ids=["Tamsel_v1", "ZMX2400_v1", "Quor_v2"])
def test_classifier_maps_on_an_fnp3_with_its_packed_weights(reader, version):
    model = dense_model()
    device = v1_device(version)
    assert model._map(device, True, core.MapConstraints(device)) is None
    dense = model.layers[-1]
    [np_] = dense.mapping.nps
    assert np_.type == NP.FNP3
    [sequence] = model.sequences
    program = Program(reader, sequence.program)
    blocks = program.of(ident_of(np_))
    assert [b[1] for b in blocks] == [NP_REGISTERS, FNP3_WEIGHTS]
    registers, memory = list(blocks[0][3]), list(blocks[1][3])
    assert len(registers) == 50
    # 4 x 4 x 8 one-bit inputs in 16 words, 10 neurons, (4 + 2 x 4 x 1) words each.
    assert registers[15] == 10 and registers[14] & 0x3FFFF == 4
    assert len(memory) == 10 * (4 + 2 * 4)
    weights = np.asarray(dense.variables["weights"]).reshape(-1, 10).T  # (1, 1, inputs, units) in Python
    for k, expected in enumerate(fnp_words(weights, 2)):
        assert memory[k * 12 + 4:(k + 1) * 12] == expected, k


def test_classifier_goes_to_an_fnp2_when_the_fnp3_budget_is_exceeded(reader):
    device = v1_device(HW.Tamsel_v1)
    constraints = core.MapConstraints(device)
    model = dense_model(units=600, weights_bits=4, width=32)  # 16 x 16 x 8 inputs, 600 x (4 + 6 x 64) words
    assert model._map(device, True, constraints) is None
    [np_] = model.layers[-1].mapping.nps
    assert np_.type == NP.FNP2
    [sequence] = model.sequences
    blocks = Program(reader, sequence.program).of(ident_of(np_))
    assert [b[1] for b in blocks] == [NP_REGISTERS]


def test_weights_without_a_place_in_the_fnp_layout_are_refused():
    model = dense_model(weights_bits=1)
    dense = model.layers[-1]
    weights = np.ones(np.asarray(dense.variables["weights"]).shape, dtype=np.asarray(dense.variables["weights"]).dtype)
    weights.flat[3] = -1
    dense.variables["weights"] = weights
    device = v1_device(HW.Tamsel_v1)
    with pytest.raises(RuntimeError) as failure:
        model._map(device, True, core.MapConstraints(device))
    assert "Error: Backend hardware(FullyConnected): weight -1 of neuron " in str(failure.value)
    assert "does not fit in 1-bit weights." in str(failure.value)
