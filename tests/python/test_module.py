import pytest

from ovrix import core


def test_module_attributes():
    assert core.__doc__ == "Ovrix core library"
    assert isinstance(core.__version__, str)


@pytest.mark.parametrize(
    "scope, enum, member, value",
    [
        ("core", "BackendType", "Software", 0),
        ("core", "BackendType", "Hybrid", 2),
        ("core", "IpVersion", "lumo", 3),
        ("core", "IpVersion", "v2", 2),
        ("soc", "ClockMode", "LowPower", 5000000),
        ("soc", "ClockMode", "Performance", 300000000),
    ],
)
def test_enumerations_export_their_members(scope, enum, member, value):
    mod = core if scope == "core" else core.soc
    cls = getattr(mod, enum)
    assert getattr(mod, member) is getattr(cls, member)
    assert int(getattr(cls, member)) == value
    assert cls(value) == getattr(cls, member)


def test_submodule_docstrings():
    assert core.soc.__doc__ == "Ovrix Quor specific functions"
    assert core.graph_utils.__doc__.startswith("Ovrix graph utilities software internal functions.")
