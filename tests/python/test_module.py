from ovrix import core


def test_module_version():
    assert isinstance(core.__version__, str) and core.__version__
