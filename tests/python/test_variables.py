import gc

import numpy as np
import pytest

from helpers import conv2d, dense1d, fill_variables, fully_connected, input_data, v1_convolutional
from ovrix import core

DTYPES = ["int8", "uint8", "int16", "uint16", "int32", "float32", "float64", "int64", "bool"]


def built_layers():
    """Layers of several kinds, each added to a model so that its variables exist."""
    v2 = core.Model()
    v2.add(input_data(width=8, height=8, channels=3))
    v2.add(conv2d("conv", filters=4))
    v2.add(dense1d("dense", units=5))
    v1 = core.Model()
    v1.add(input_data(width=8, height=8, channels=2, bits=1))
    v1.add(v1_convolutional("v1conv", filters=4))
    v1.add(fully_connected("fc", units=6))
    return [v2, v1], [layer for m in (v2, v1) for layer in m.layers if layer.variables.names]


MODELS, LAYERS = built_layers()
VARIABLES = [(layer, name) for layer in LAYERS for name in layer.variables.names]
IDS = [f"{layer.name}.{name}" for layer, name in VARIABLES]


@pytest.mark.parametrize("layer, name", VARIABLES, ids=IDS)
def test_same_dtype_round_trips(layer, name):
    current = layer.variables[name]
    values = np.arange(current.size).reshape(current.shape).astype(current.dtype) % 2
    layer.variables[name] = values
    back = layer.variables[name]
    assert back.dtype == current.dtype
    np.testing.assert_array_equal(back, values)


# Each variable with each dtype other than its own.
OTHER_DTYPES = [(layer, name, dtype) for layer, name in VARIABLES for dtype in DTYPES
                if np.dtype(dtype) != layer.variables[name].dtype]


@pytest.mark.parametrize("layer, name, dtype", OTHER_DTYPES,
                         ids=[f"{layer.name}.{name}-{dtype}" for layer, name, dtype in OTHER_DTYPES])
def test_other_dtypes_are_refused_with_the_expected_one_named(layer, name, dtype):
    current = layer.variables[name]
    before = layer.variables[name]
    with pytest.raises(ValueError) as e:
        layer.variables[name] = np.zeros(current.shape, dtype=dtype)
    assert str(e.value) == f"Unsupported variable type for {name} expected {current.dtype} received {dtype}"
    np.testing.assert_array_equal(layer.variables[name], before)


@pytest.mark.parametrize("layer, name", VARIABLES, ids=IDS)
def test_storing_the_same_values_keeps_the_serialized_model(layer, name):
    # A narrow variable stays narrow: writing back what was read changes nothing that is saved.
    model = next(m for m in MODELS if any(l.name == layer.name for l in m.layers))
    before = model.to_buffer()
    layer.variables[name] = layer.variables[name]
    assert model.to_buffer() == before


def test_big_endian_array_is_refused():
    layer = next(l for l, n in VARIABLES if l.variables[n].dtype == np.int8)
    name = next(n for n in layer.variables.names if layer.variables[n].dtype == np.int8)
    wrong = layer.variables[name].astype(">i2")
    with pytest.raises(ValueError, match="received >i2$"):
        layer.variables[name] = wrong
    with pytest.raises(RuntimeError, match="^Wrong py::array type: cannot evaluate the bitwidth.$"):
        core.evaluate_bitwidth(np.zeros(3, dtype=">i4"))


def test_unknown_variable_is_value_error():
    layer = LAYERS[0]
    with pytest.raises(ValueError, match="not found"):
        layer.variables["no_such_variable"]
    with pytest.raises(ValueError, match="not found"):
        layer.variables["no_such_variable"] = np.zeros(3, dtype=np.int8)


def test_returned_array_is_a_copy():
    layer, name = VARIABLES[0]
    first = layer.variables[name]
    changed = first.copy()
    changed.flat[0] = 1 - changed.flat[0]
    again = layer.variables[name]
    np.testing.assert_array_equal(again, first)
    again.flat[0] = 1 - again.flat[0]
    np.testing.assert_array_equal(layer.variables[name], first)


@pytest.mark.parametrize("layer_name", ["conv", "fc", "v1conv"])  # layout 0, then two stored in layout 1
@pytest.mark.parametrize("order", ["contiguous", "fortran", "sliced", "negative-strides"])
def test_non_contiguous_arrays_are_copied_in_c_order(order, layer_name):
    layer = next(l for l in LAYERS if l.name == layer_name)
    shape = layer.variables["weights"].shape
    values = np.random.default_rng(1).integers(-1, 2, size=shape).astype(np.int8)
    if order == "contiguous":
        given = values.copy()
    elif order == "fortran":
        given = np.asfortranarray(values)
    elif order == "sliced":
        wide = np.zeros(shape[:-1] + (shape[-1] * 2,), dtype=np.int8)
        wide[..., ::2] = values
        given = wide[..., ::2]
    else:
        given = values[..., ::-1].copy()[..., ::-1]
    assert given.flags.c_contiguous == (order == "contiguous")
    layer.variables["weights"] = given
    np.testing.assert_array_equal(layer.variables["weights"], values)


@pytest.mark.parametrize(
    "layer_name, shape",
    [
        # Stored with the dimensions reversed: (filters, channels, height, width) and (units, inputs, 1, 1).
        ("v1conv", (3, 5, 2, 4)),
        ("fc", (1, 1, "inputs", 6)),
        # Stored row-major: (height, width, channels, filters).
        ("conv", (3, 3, 3, 4)),
    ],
)
def test_weights_shape_follows_the_stored_layout(layer_name, shape):
    layer = next(l for l in LAYERS if l.name == layer_name)
    inputs = int(np.prod(layer.input_dims))
    assert layer.variables["weights"].shape == tuple(inputs if d == "inputs" else d for d in shape)
    assert layer.variables["weights"].flags.c_contiguous


def test_names_are_strings_in_engine_order():
    for layer in LAYERS:
        names = layer.variables.names
        assert all(isinstance(n, str) for n in names)
        assert names == layer.variables.names


def test_variables_keep_their_layer_alive():
    model = core.Model()
    model.add(input_data())
    model.add(conv2d("conv", filters=4))
    variables = model.get_layer("conv").variables
    shape = variables["weights"].shape
    del model
    gc.collect()
    variables["weights"] = np.ones(shape, dtype=np.int8)
    assert variables["weights"].sum() == np.prod(shape)


def test_layer_outlives_its_model_with_variables():
    model = core.Model()
    model.add(input_data())
    model.add(conv2d("conv", filters=4))
    layer = model.get_layer("conv")
    fill_variables(layer)
    expected = {n: layer.variables[n] for n in layer.variables.names}
    del model
    gc.collect()
    for n, v in expected.items():
        np.testing.assert_array_equal(layer.variables[n], v)


class TestConversionErrors:
    @pytest.mark.parametrize("ndim", [0, 5, 6])
    def test_dimension_count(self, ndim):
        with pytest.raises(ValueError) as e:
            core.evaluate_bitwidth(np.zeros((1,) * ndim, dtype=np.int8))
        assert str(e.value) == f"Cannot instantiate a Dense with {ndim} dimensions (min 1, max 4).\n"

    @pytest.mark.parametrize("shape, dim", [((0,), 0), ((2, 0, 3), 1), ((1, 1, 1, 0), 3), ((0, 0), 0)])
    def test_zero_dimension(self, shape, dim):
        with pytest.raises(RuntimeError) as e:
            core.evaluate_bitwidth(np.zeros(shape, dtype=np.int16))
        assert str(e.value) == f"Cannot have a shape with dimension {dim} set to 0"

    def test_zero_dimension_on_assignment_leaves_the_variable(self):
        layer, name = VARIABLES[0]
        before = layer.variables[name]
        with pytest.raises(RuntimeError, match="set to 0$"):
            layer.variables[name] = np.zeros((0,), dtype=before.dtype)
        np.testing.assert_array_equal(layer.variables[name], before)


class TestEvaluateBitwidth:
    def test_float32_is_zero_without_looking(self):
        assert core.evaluate_bitwidth(np.array([1e30, -5.5], dtype=np.float32)) == 0

    @pytest.mark.parametrize("dtype", ["float64", "int64", "uint32", "bool", "float16"])
    def test_other_dtypes_are_refused(self, dtype):
        with pytest.raises(RuntimeError) as e:
            core.evaluate_bitwidth(np.zeros(3, dtype=dtype))
        assert str(e.value) == "Wrong py::array type: cannot evaluate the bitwidth."

    @pytest.mark.parametrize("dtype", ["int8", "uint8", "int16", "uint16", "int32"])
    def test_integer_dtypes_grow_with_their_values(self, dtype):
        small = core.evaluate_bitwidth(np.array([0, 1], dtype=dtype))
        large = core.evaluate_bitwidth(np.array([0, 100], dtype=dtype))
        assert 0 < small < large <= np.dtype(dtype).itemsize * 8
        assert isinstance(small, int)

