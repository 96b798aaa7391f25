import gc

import numpy as np
import pytest

from helpers import conv2d, fill_variables, input_data, params, v1_convolutional, v1_model, v2_model
from ovrix import core


class TestConstruction:
    @pytest.mark.parametrize("make", [lambda: core.Model(), lambda: core.Model([]), lambda: core.Model(layers=[])])
    def test_empty(self, make):
        m = make()
        assert m.layer_count == 0
        assert m.layers == []
        assert m.learning is None
        assert m.get_layer(0) is None

    def test_from_layers_starting_with_an_input_layer(self):
        source = v2_model()
        m = core.Model(layers=source.layers)
        assert [l.name for l in m.layers] == ["input", "conv_1", "conv_2"]
        assert m.to_buffer() == source.to_buffer()

    @pytest.mark.parametrize(
        "make_first, ip, bits, signed",
        [
            (lambda: conv2d("conv", filters=4), "v2", 8, 1),
            (lambda: conv2d("conv", filters=4), "v2", 4, 0),
            (lambda: v1_convolutional("conv", filters=4), "v1", 8, 0),
            (lambda: v1_convolutional("conv", filters=4), "v1", 2, 0),
        ],
    )
    def test_automatic_input_layer(self, make_first, ip, bits, signed):
        source = core.Model()
        source.add(input_data(width=12, height=10, channels=3, bits=bits))
        source.add(make_first())
        first = source.get_layer("conv")
        m = core.Model(layers=[first])
        assert [l.name for l in m.layers] == ["InputData", "conv"]
        p = m.get_layer("InputData").parameters
        assert p.layer_type == core.InputData
        assert sorted(dir(p)) == sorted(["input_width", "input_height", "input_channels", "input_bits",
                                         "input_signed"])
        assert [p.input_width, p.input_height, p.input_channels] == first.input_dims
        assert p.input_bits == bits
        assert p.input_signed == signed
        assert m.get_layer("conv").inbounds[0].name == "InputData"

    def test_copies_are_new_layers_with_the_same_names_parameters_variables_and_wiring(self):
        source = core.Model()
        source.add(input_data(width=8, height=8, channels=4))
        source.add(conv2d("a", filters=4))
        source.add(conv2d("b", filters=4))
        source.add(core.Layer(params(core.Add), "add"), [source.get_layer("a"), source.get_layer("b")])
        for layer in source.layers:
            fill_variables(layer, seed=len(layer.name))
        m = core.Model(source.layers)
        for old, new in zip(source.layers, m.layers):
            assert new is not old
            assert new.name == old.name
            assert {k: new.parameters.get(k) for k in dir(new.parameters)} == \
                   {k: old.parameters.get(k) for k in dir(old.parameters)}
            assert [l.name for l in new.inbounds] == [l.name for l in old.inbounds]
            for name in old.variables.names:
                np.testing.assert_array_equal(new.variables[name], old.variables[name])
        assert m.to_buffer() == source.to_buffer()

    def test_learning_layer_is_compiled_in_the_copy(self):
        source = v1_model(units=10, num_classes=5)
        m = core.Model(source.layers)
        assert m.learning is not None
        assert m.learning.num_classes == 5.0
        assert m.to_buffer() == source.to_buffer()

    @pytest.mark.parametrize("position", [0, 1, 2])
    def test_none_anywhere_is_refused_before_anything(self, position):
        layers = v2_model().layers
        layers[position] = None
        with pytest.raises(RuntimeError, match="^Invalid layer received$"):
            core.Model(layers)


class TestEditing:
    def test_add_wires_to_the_last_layer_and_inbounds_can_be_given(self):
        m = core.Model()
        m.add(input_data())
        m.add(conv2d("a"))
        m.add(conv2d("b"))
        m.add(conv2d("c"), [m.get_layer("a")])
        assert [l.name for l in m.get_layer("b").inbounds] == ["a"]
        assert [l.name for l in m.get_layer("c").inbounds] == ["a"]
        assert m.layer_count == 4

    def test_add_refuses_none_and_foreign_inbounds(self):
        m = core.Model()
        m.add(input_data())
        with pytest.raises(ValueError):
            m.add(None)
        with pytest.raises(ValueError):
            m.add(conv2d("x"), [None])
        with pytest.raises((ValueError, RuntimeError)):
            m.add(conv2d("y"), [conv2d("not_in_model")])
        assert m.layer_count == 1

    def test_pop_layer(self):
        m = v2_model()
        m.pop_layer()
        assert [l.name for l in m.layers] == ["input", "conv_1"]
        assert m.get_layer("conv_2") is None

    def test_compile_sets_the_learning_of_the_last_layer(self):
        m = v1_model(compiled=False)
        assert m.learning is None
        m.compile(core.OvrixUnsupervised(num_weights=8, num_classes=2))
        assert m.learning.num_classes == 2.0
        assert m.get_layer("fc").parameters.units == 10


    def test_learning_keeps_the_model_alive(self):
        learning = v1_model(num_classes=3).learning
        gc.collect()
        assert learning.num_classes == 3.0

    def test_get_layer(self):
        m = v2_model()
        assert m.get_layer("conv_1").name == "conv_1"
        assert m.get_layer(2).name == "conv_2"
        assert m.get_layer(3) is None
        assert m.get_layer("nothing") is None
        for bad in (-1, 1.0, None):
            with pytest.raises(TypeError):
                m.get_layer(bad)

    def test_shapes_and_counts(self):
        m = v2_model()
        assert m.input_shape == [8, 8, 3]
        assert m.output_shape == [4, 4, 8]
        assert m.layer_count == 3
        assert m.macs == sum(l.macs for l in m.layers)
        assert m.ip_version == core.v2
        assert m.sequences == []
        assert m.device is None


class TestAddClasses:
    def test_grows_units_and_classes_and_keeps_old_weights(self):
        m = v1_model(units=10, num_classes=5)
        fc = m.get_layer("fc")
        fill_variables(fc, seed=3)
        old = {n: fc.variables[n] for n in fc.variables.names}
        m.add_classes(2)
        new = m.get_layer("fc")
        assert new is not fc
        assert new.name == "fc"
        assert new.parameters.units == 14
        assert sorted(dir(new.parameters)) == ["act_bits", "activation", "units", "weights_bits"]
        for key in ("weights_bits", "activation", "act_bits"):
            assert new.parameters.get(key) == fc.parameters.get(key)
        assert m.learning.num_classes == 7.0
        assert m.learning.num_weights == 8.0
        assert new.variables.names == fc.variables.names
        # Weights carry the old neurons over: the engine shows them with neurons on the last axis.
        weights = new.variables["weights"]
        neurons_axis = list(weights.shape).index(14)
        kept = np.take(weights, range(10), axis=neurons_axis)
        np.testing.assert_array_equal(kept, old["weights"])

    @pytest.mark.parametrize("units, classes, add, expected", [(10, 5, 2, 14), (5, 10, 3, 5), (12, 4, 1, 15),
                                                               (7, 2, 4, 19)])
    def test_unit_arithmetic(self, units, classes, add, expected):
        m = v1_model(units=units, num_classes=classes)
        m.add_classes(add)
        assert m.get_layer("fc").parameters.units == expected
        assert m.learning.num_classes == classes + add

    @pytest.mark.parametrize("n", [0, -3])
    def test_count_must_be_positive(self, n):
        m = v1_model()
        before = m.to_buffer()
        with pytest.raises(ValueError, match=r"^The number of classes to add must be positive\.$"):
            m.add_classes(n)
        assert m.to_buffer() == before

    @pytest.mark.parametrize("n", [1.0, None, "2", 2**31])
    def test_count_must_be_a_32_bit_integer(self, n):
        with pytest.raises(TypeError):
            v1_model().add_classes(n)

    @pytest.mark.parametrize(
        "make, exc, message",
        [
            (lambda: core.Model(), RuntimeError, "The model must have at least one layer."),
            (v2_model, RuntimeError, "The last layer must be a FullyConnected layer."),
            (lambda: v1_model(compiled=False), RuntimeError, "The last layer must be compiled."),
        ],
    )
    def test_refusals_leave_the_model_unchanged(self, make, exc, message):
        m = make()
        before = m.to_buffer()
        with pytest.raises(exc) as e:
            m.add_classes(1)
        assert str(e.value) == message
        assert m.to_buffer() == before

    @pytest.mark.parametrize("num_classes", [0])
    def test_zero_classes_in_the_learning_parameters_is_a_value_error(self, num_classes):
        m = v1_model(num_classes=num_classes)
        before = m.to_buffer()
        with pytest.raises(ValueError, match="num_classes must be positive"):
            m.add_classes(1)
        assert m.to_buffer() == before

    def test_units_overflow_is_refused(self):
        m = v1_model(units=1000, num_classes=1)
        before = m.to_buffer()
        with pytest.raises(ValueError, match="out of range"):
            m.add_classes(2**31 - 1)
        assert m.to_buffer() == before

    def test_the_old_learning_object_stays_usable(self):
        m = v1_model(num_classes=5)
        old = m.learning
        m.add_classes(1)
        assert old.num_classes == 5.0
        assert m.learning.num_classes == 6.0
