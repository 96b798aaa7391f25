"""The module as a whole: its version, the symbols it exports, its refusal of subinterpreters and the
order of the Model's members."""
import os
import subprocess
import sys

import pytest

from ovrix import core


def test_module_version():
    assert isinstance(core.__version__, str) and core.__version__


def demangled_dynamic_symbols(path):
    """The defined symbols of a shared object's dynamic symbol table, demangled (binutils' readelf)."""
    out = subprocess.run(["readelf", "--dyn-syms", "--wide", "--demangle", str(path)], check=True,
                         capture_output=True, text=True).stdout
    symbols = set()
    for line in out.splitlines():
        fields = line.split(None, 7)
        # Num: Value Size Type Bind Vis Ndx Name
        if len(fields) == 8 and fields[0].endswith(":") and fields[6] != "UND":
            symbols.add((fields[3], fields[4], fields[7]))
    return symbols


def test_the_module_exports_the_clock_calls_and_the_host_hooks():
    exported = {name for kind, bind, name in demangled_dynamic_symbols(core.__file__)
                if kind == "FUNC" and bind in ("GLOBAL", "WEAK")}
    assert {"ovrix::soc::get_clock_mode(ovrix::HardwareDriver*)",
            "ovrix::soc::set_clock_mode(ovrix::HardwareDriver*, ovrix::soc::ClockMode const&)",
            "PyInit_core", "panic", "kick_watchdog", "msleep", "time_ms"} <= exported


SUBINTERPRETER = """
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
interpreter = interpreters.create()
try:
    result = interpreters.run_string(interpreter, "import ovrix.core")
except Exception as error:
    result = error
print("subinterpreter:", result)
interpreters.destroy(interpreter)
import ovrix.core
print("main:", ovrix.core.__doc__)
"""


def test_a_subinterpreter_is_refused_and_the_main_interpreter_still_imports():
    # Run apart: the import used to wait for ever, and a subinterpreter is no state to leave behind.
    child = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert lines[0].startswith("subinterpreter: ")
    # The error as the subinterpreter module reports it: its type, then its text.
    assert "ImportError" in lines[0]
    assert lines[0].endswith(": module ovrix.core does not support loading in subinterpreters: import it in the main "
                             "interpreter.")
    assert lines[1] == "main: Ovrix core library"


# The members of Model in registration order: the order of help(Model) and of Model.__dict__.
MODEL_MEMBERS = ["__init__", "add", "add_classes", "_map", "pop_layer", "compile", "fit", "forward", "predict",
                 "get_layer", "sequences", "layers", "learning", "input_shape", "output_shape", "metrics",
                 "ip_version", "device", "layer_count", "component_count", "external_memory_size", "macs",
                 "evaluate", "save", "to_buffer", "power_events"]


def test_model_members_in_registration_order():
    assert [name for name in core.Model.__dict__ if name in MODEL_MEMBERS] == MODEL_MEMBERS
    # Nothing else of the model's own is registered (the binding library adds its own interface).
    own = {name for name in core.Model.__dict__ if not name.startswith(("__", "_pybind11_"))}
    assert own == set(MODEL_MEMBERS) - {"__init__"}


LOAD_BY_PATH = """
import importlib.util, sys
spec = importlib.util.spec_from_file_location("ovrix.core", sys.argv[1])
try:
    spec.loader.exec_module(importlib.util.module_from_spec(spec))
except ImportError as e:
    print(e)
"""


def other_cpythons():
    """Other CPython versions on this machine (pyenv's and the system's) that run on the machine type of
    this interpreter, by version: one of another machine type (an x86-64 program beside an aarch64
    interpreter under emulation) cannot load the module at all, whatever its version."""
    import glob
    import platform
    import shutil
    found = {}
    for path in sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3"))) + [
            shutil.which(f"python3.{minor}") for minor in range(8, 15)]:
        if not path:
            continue
        probe = subprocess.run([path, "-c", "import platform, sys; print(*sys.version_info[:2], platform.machine())"],
                               capture_output=True, text=True)
        fields = probe.stdout.split() if probe.returncode == 0 else []
        if len(fields) != 3 or fields[2] != platform.machine():
            continue
        version = (int(fields[0]), int(fields[1]))
        if version != sys.version_info[:2]:
            found.setdefault(version, path)
    return found


def test_other_interpreters_refuse_the_module_when_they_load_it_by_its_path():
    # A plain import does not find it in them (its file name carries the version tag); loaded by path, an
    # interpreter whose loader reaches the module's entry refuses with the version check's message, the
    # others stop in the loader on a symbol their C API lacks.
    others = other_cpythons()
    if not others:
        pytest.skip("no other CPython of this machine type on this machine")
    built = "{}.{}".format(*sys.version_info[:2])
    for version, path in others.items():
        text = subprocess.run([path, "-c", LOAD_BY_PATH, core.__file__], capture_output=True, text=True,
                              timeout=60).stdout
        assert text.startswith(f"Python version mismatch: module was compiled for Python {built}, but the interpreter "
                               "version is incompatible: ") or "undefined symbol" in text, (version, text)
