import copy
import gc

import pytest

from helpers import conv2d, params, v1_conv_params
from ovrix import core


@pytest.fixture
def v1_params():
    return v1_conv_params(filters=6, kernel_width=3, kernel_height=5, stride_x=1, stride_y=2)


@pytest.mark.parametrize(
    "key, expected",
    [
        ("kernel_size", [3, 5]),
        ("kernel_stride", [1, 2]),
        ("pool_size", [2, 2]),
        ("pool_stride", [2, 2]),
        ("kernel_width", 3),
        ("kernel_height", 5),
        ("filters", 6),
    ],
)
def test_lookup_by_get_and_attribute(v1_params, key, expected):
    assert v1_params.get(key) == expected
    assert getattr(v1_params, key) == expected
    assert type(v1_params.get(key)) is type(expected)


@pytest.mark.parametrize("tuple_name", ["kernel_size", "kernel_stride", "pool_size", "pool_stride"])
def test_tuple_names_are_neither_held_nor_listed(v1_params, tuple_name):
    assert not v1_params.has(tuple_name)
    assert tuple_name not in dir(v1_params)


def test_held_key_wins_over_tuple_name():
    p = conv2d("c", kernel=3, stride=2).parameters
    assert p.has("kernel_size")
    assert p.get("kernel_size") == 3
    assert p.kernel_stride == 2


def test_dir_lists_the_keys_in_the_engine_order(v1_params):
    assert dir(v1_params) == list(v1_params.__dir__())
    assert "kernel_width" in dir(v1_params)
    assert all(v1_params.has(k) for k in dir(v1_params))


@pytest.mark.parametrize("key", ["nothing", "Kernel_width", "kernel_width ", ""])
def test_unknown_key_is_value_error(v1_params, key):
    with pytest.raises(ValueError) as e:
        v1_params.get(key)
    assert str(e.value) == "Key " + key + " not found"


def test_unknown_attribute_is_value_error_even_for_hasattr(v1_params):
    with pytest.raises(ValueError, match="^Key missing_thing not found$"):
        v1_params.missing_thing
    with pytest.raises(ValueError):
        hasattr(v1_params, "missing_thing")


def test_negative_value_comes_back_negative():
    p = params(core.Conv2D, filters=4, kernel_size=3, kernel_stride=1, pool_type=int(core.Average), pool_size=-1)
    assert p.pool_size == -1


def test_layer_type_property(v1_params):
    assert v1_params.layer_type == core.Convolutional
    assert isinstance(v1_params.layer_type, core.LayerType)


def test_copy_is_independent_and_outlives_the_source(v1_params):
    clone = copy.copy(v1_params)
    assert clone is not v1_params
    assert clone.layer_type == v1_params.layer_type
    assert dir(clone) == dir(v1_params)
    expected = {k: v1_params.get(k) for k in dir(v1_params)}
    del v1_params
    gc.collect()
    assert {k: clone.get(k) for k in dir(clone)} == expected


def test_unknown_key_for_the_layer_kind_is_refused():
    with pytest.raises((ValueError, RuntimeError)):
        core.LayerParams(core.FullyConnected, {"no_such_key": 1})


def test_parameters_cannot_be_changed(v1_params):
    with pytest.raises(AttributeError):
        v1_params.filters = 3
