"""The docstrings of the Python surface, from tests/data/python/docstrings.txt."""
import pytest

from helpers import read_cases
from ovrix import core


def normalized(path, doc):
    lines = (doc or "").split("\n")
    if lines[0].startswith(path.rsplit(".", 1)[-1] + "("):  # the signature line of a function
        lines = lines[1:]
    return " ".join("\n".join(lines).split())


@pytest.mark.parametrize("path, text", read_cases("python/docstrings.txt", 2))
def test_docstring(path, text):
    obj = core
    for name in path.split(".")[1:]:
        obj = getattr(obj, name)
    assert normalized(path, obj.__doc__) == text
