import copy

import pytest

from ovrix import core

DEFAULTS = {
    "num_weights": 100.0,
    "num_classes": 1.0,
    "initial_plasticity": 1.0,
    "learning_competition": 0.0,
    "min_plasticity": 0.10000000149011612,
    "plasticity_decay": 0.25,
}


@pytest.mark.parametrize("key, value", DEFAULTS.items())
def test_defaults(key, value):
    opt = core.OvrixUnsupervised(100)
    assert opt.get(key) == value
    assert getattr(opt, key) == value
    assert type(opt.get(key)) is float


def test_every_argument_by_name():
    opt = core.OvrixUnsupervised(num_weights=7, num_classes=3, initial_plasticity=0.5, learning_competition=0.25,
                                 min_plasticity=0.125, plasticity_decay=2)
    assert [opt.get(k) for k in DEFAULTS] == [7.0, 3.0, 0.5, 0.25, 0.125, 2.0]


def test_keys_learning_type_and_copy():
    opt = core.OvrixUnsupervised(100, 4)
    assert sorted(dir(opt)) == sorted(DEFAULTS)
    assert opt.learning_type == 0
    clone = copy.copy(opt)
    assert clone is not opt
    assert {k: clone.get(k) for k in dir(clone)} == {k: opt.get(k) for k in dir(opt)}


@pytest.mark.parametrize("args", [(-1,), (100, -1), (2**32,), (100, 2**32), (1.5,), (100, 2.0), (None,), ("100",),
                                  (100, 1, "fast"), ()])
def test_bad_arguments_are_type_errors(args):
    with pytest.raises(TypeError):
        core.OvrixUnsupervised(*args)


def test_rates_accept_integers():
    assert core.OvrixUnsupervised(10, 1, 2, 3, 4, 5).get("plasticity_decay") == 5.0


def test_unknown_key_is_value_error():
    opt = core.OvrixUnsupervised(10)
    with pytest.raises(ValueError):
        opt.get("learning_rate")
    with pytest.raises(ValueError):
        opt.learning_rate


def test_not_constructible_from_python():
    with pytest.raises(TypeError):
        core.Optimizer()


