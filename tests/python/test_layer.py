import gc

import pytest

from helpers import conv2d, dense1d, fully_connected, input_data, params, v1_convolutional
from ovrix import core


@pytest.fixture
def model():
    m = core.Model()
    m.add(input_data(width=32, height=32, channels=3))
    m.add(conv2d("conv", filters=16, stride=2))
    m.add(conv2d("conv_b", filters=16))
    return m


def test_dimensions_bits_and_name(model):
    conv = model.get_layer("conv")
    assert conv.name == "conv"
    assert conv.input_dims == [32, 32, 3]
    assert conv.output_dims == [16, 16, 16]
    assert conv.input_bits == 8
    assert isinstance(conv.output_signed, bool)
    assert isinstance(conv.splittable, bool)
    assert isinstance(conv.macs, int) and conv.macs > 0
    assert conv.mapping is None


def test_inbounds_are_the_model_layers(model):
    conv_b = model.get_layer("conv_b")
    assert [l.name for l in conv_b.inbounds] == ["conv"]
    assert conv_b.inbounds[0] is model.get_layer("conv")
    assert model.get_layer("input").inbounds == []


def test_merge_layer_has_a_list_of_input_lists():
    m = core.Model()
    m.add(input_data(width=8, height=8, channels=4))
    a = conv2d("a", filters=4)
    b = conv2d("b", filters=4)
    m.add(a)
    m.add(b)
    m.add(core.Layer(params(core.Add), "add"), [m.get_layer("a"), m.get_layer("b")])
    assert m.get_layer("add").input_dims == [[8, 8, 4], [8, 8, 4]]
    assert m.get_layer("add").output_dims == [8, 8, 4]


def test_unbuilt_layer_has_no_dimensions():
    layer = conv2d("alone")
    with pytest.raises(RuntimeError, match="Cannot get input size before it is set."):
        layer.input_dims
    with pytest.raises(RuntimeError, match="Cannot get output size before it is set."):
        layer.output_dims


# NP.Type number -> the component kind asked; the layer answers true for exactly one kind.
KIND_OF_TYPE = {0: 0, 1: 1, 2: 2, 3: 2, 4: 3, 5: 3, 6: 4, 7: 5, 8: 6, 9: 4, 10: 7}


def layers_of_every_target():
    m = core.Model()
    m.add(input_data(width=8, height=8, channels=3))
    m.add(conv2d("cnp", filters=4))
    m.add(dense1d("fnp", units=4))
    return {"none": m.get_layer("input"), "cnp": m.get_layer("cnp"), "fnp": m.get_layer("fnp")}


@pytest.mark.parametrize("type_number, kind", KIND_OF_TYPE.items())
def test_is_target_component_translates_np_types(type_number, kind):
    hw_type = core.NP.Type(type_number)
    expected_true = {"none": 0, "cnp": 2, "fnp": 3}
    for label, layer in layers_of_every_target().items():
        assert layer.is_target_component(hw_type) == (expected_true.get(label) == kind)


def test_layer_keeps_its_own_parameters():
    p = params(core.FullyConnected, units=3, weights_bits=4, activation=1, act_bits=1)
    layer = core.Layer(p, "fc")
    del p
    gc.collect()
    assert layer.parameters.units == 3
    assert layer.parameters.layer_type == core.FullyConnected


def test_parameters_keep_the_layer_alive():
    parameters = fully_connected("fc", units=7).parameters
    gc.collect()
    assert parameters.units == 7
    assert parameters.get("weights_bits") == 4


def test_parameters_outlive_the_model_that_held_the_layer():
    m = core.Model()
    m.add(input_data())
    m.add(v1_convolutional("v1", filters=4))
    parameters = m.get_layer("v1").parameters
    del m
    gc.collect()
    assert parameters.kernel_size == [3, 5]

