"""Objects that Python could reach without their C++ value being built, and arguments that the
conversion lets through as empty pointers, are refused with TypeError instead of crashing.

The risky calls run in one child interpreter that reports each case as it finishes, so a crash fails
the test with the name of the case that crashed instead of taking pytest down."""

import json
import pickle
import subprocess
import sys

import pytest

from ovrix import core


def bound_classes(scope=core, seen=None):
    """(dotted path, class) of every class of the module that is not an enumeration."""
    seen = set() if seen is None else seen
    found = []
    for name, value in sorted(vars(scope).items()):
        if id(value) in seen:
            continue
        if isinstance(value, type(core)) and value.__name__.startswith(core.__name__ + "."):
            seen.add(id(value))
            found += [(f"{name}.{path}", cls) for path, cls in bound_classes(value, seen)]
        elif isinstance(value, type) and value.__module__.startswith(core.__name__) and not hasattr(value, "__members__"):
            seen.add(id(value))
            found.append((name, value))
            found += [(f"{name}.{path}", cls) for path, cls in bound_classes(value, seen)]
    return found


CLASSES = [path for path, _ in bound_classes()]

CHILD = r"""
import json, sys
from ovrix import core

def use_everything(obj):
    # Every member of the class, called without arguments when it is callable.
    for name in dir(type(obj)):
        if name.startswith("__") and name not in ("__repr__", "__str__", "__copy__", "__dir__", "__int__"):
            continue
        try:
            member = getattr(obj, name)
            if callable(member):
                member()
        except Exception:
            pass

def resolve(path):
    obj = core
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj

for name, code in json.load(sys.stdin):
    try:
        exec(code, {"core": core, "resolve": resolve, "use_everything": use_everything})
        outcome = ["no error", ""]
    except BaseException as error:
        outcome = [type(error).__name__, str(error)]
    print(json.dumps([name, outcome]), flush=True)
"""


def run_in_child(cases):
    """Runs (name, code) cases in one interpreter; returns {name: [exception type name or "no error",
    message]}. Fails naming the case during which the child died."""
    child = subprocess.run([sys.executable, "-c", CHILD], input=json.dumps(cases), capture_output=True, text=True,
                           timeout=120)
    outcomes = dict(json.loads(line) for line in child.stdout.splitlines())
    if child.returncode != 0:
        crashed = next((name for name, _ in cases if name not in outcomes), "after the last case")
        pytest.fail(f"the interpreter died (exit {child.returncode}) in case {crashed!r}:\n{child.stderr[-2000:]}")
    return outcomes


def test_every_class_is_covered():
    # The walk must see the classes of the submodules and the nested ones too.
    for path in ("Model", "Layer", "Layer.Mapping", "NP.Mesh", "NP.Component", "boardZmx2400.SpiFlashController"):
        assert path in CLASSES


NEW_CASES = [(f"{path}.__new__", f"cls = resolve({path!r})\nuse_everything(cls.__new__(cls))") for path in CLASSES]
NEW_CASES += [(f"object.__new__ of {path}", f"cls = resolve({path!r})\nuse_everything(object.__new__(cls))")
              for path in CLASSES]


def test_new_alone_is_refused_for_every_class():
    outcomes = run_in_child(NEW_CASES)
    assert {name: outcomes[name][0] for name, _ in NEW_CASES} == {name: "TypeError" for name, _ in NEW_CASES}


@pytest.mark.parametrize("path", ["Model", "NP.Ident", "Layer.Mapping"])
def test_new_alone_names_the_class(path):
    cls = core
    for part in path.split("."):
        cls = getattr(cls, part)
    with pytest.raises(TypeError) as error:
        cls.__new__(cls)
    assert str(error.value) == (f"ovrix.core.{path}.__new__() cannot make an object on its own: call "
                                "the class, or get the object from the module.")


EMPTY_POINTER_CASES = [
    ("get_flash(None)", "core.boardZmx2400.get_flash(None)", "TypeError"),
    ("graph_utils.get_mappable_layer(None)", "core.graph_utils.get_mappable_layer(None)", "TypeError"),
    ("graph_utils.first_mappable_layer([None])", "core.graph_utils.first_mappable_layer([None])", "TypeError"),
    ("Model([None])", "core.Model([None])", "RuntimeError"),
    ("Model.add(None)", "core.Model().add(None)", "ValueError"),
    ("MapConstraints(None)", "core.MapConstraints(None)", "ValueError"),
]


def test_empty_pointers_are_refused():
    outcomes = run_in_child([(name, code) for name, code, _ in EMPTY_POINTER_CASES])
    assert {name: outcome[0] for name, outcome in outcomes.items()} == {
        name: expected for name, _, expected in EMPTY_POINTER_CASES}
    assert "incompatible function arguments" in outcomes["get_flash(None)"][1]


# --- what the refusal must leave working ------------------------------------------------------------

class ModelWithTag(core.Model):
    def __new__(cls, *args, **kwargs):
        obj = super().__new__(cls)
        obj.tag = "made by __new__"
        return obj


class PlainSubclass(core.Model):
    pass


def test_python_subclasses_still_construct():
    model = ModelWithTag()
    assert model.tag == "made by __new__" and model.layer_count == 0
    assert PlainSubclass([]).layers == []
    for cls in (ModelWithTag, PlainSubclass):
        with pytest.raises(TypeError):
            cls.__new__(cls)


def test_a_subclass_that_skips_the_constructor_is_still_refused():
    class Forgetful(core.Model):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=r"__init__\(\) must be called when overriding __init__"):
        Forgetful()


@pytest.mark.parametrize("member", [core.Padding.SameUpper, core.LayerType.Conv2D, core.NP.Type.FNP3,
                                    core.soc.ClockMode.Economy, core.IpVersion.lumo, core.BackendType.Hybrid])
def test_enumerations_still_unpickle(member):
    assert pickle.loads(pickle.dumps(member)) == member
