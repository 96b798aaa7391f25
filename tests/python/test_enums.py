"""The enumerations of the Python surface, from tests/data/python/enums.txt: values, exports, member
docstrings and registration order."""
import itertools

import pytest

from helpers import read_cases
from ovrix import core

CASES = read_cases("python/enums.txt", 5)
MODULES = {"core": core, "soc": core.soc, "NP": core.NP}


def enumeration(path):
    scope, _, name = path.rpartition(".")
    return getattr(MODULES[scope or "core"], name)


@pytest.mark.parametrize("path, name, value, exported, doc", CASES)
def test_member(path, name, value, exported, doc):
    cls = enumeration(path)
    member = getattr(cls, name)
    assert int(member) == int(value) and cls(int(value)) == member and member.name == name
    assert member != int(value)  # a member never equals a plain integer
    if exported:
        assert getattr(MODULES[exported], name) is member
    if doc:
        assert member.__doc__ == doc


def test_members_in_registration_order():
    rows = [case.values for case in CASES]
    for path, group in itertools.groupby(rows, key=lambda row: row[0]):
        assert list(enumeration(path).__members__) == [row[1] for row in group], path


def test_members_of_different_enumerations_differ():
    assert int(core.Same) == int(core.Max) and core.Same != core.Max


@pytest.mark.parametrize("path, argument, result", read_cases("python/enum_constructors.txt", 3))
def test_constructor_takes_a_signed_32_bit_value(path, argument, result):
    cls = enumeration(path)
    if result == "TypeError":
        with pytest.raises(TypeError):
            cls(int(argument))
        return
    made = cls(value=int(argument))
    if result.startswith("int "):
        assert int(made) == int(result[4:]) and made not in cls.__members__.values()
    else:
        assert made == getattr(cls, result) and cls(int(argument)) == made
