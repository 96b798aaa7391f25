import gc

import numpy as np
import pytest

from ovrix import core

NP = core.NP
HwVersion = core.HwVersion
IpVersion = core.IpVersion
MapConstraints = core.MapConstraints

A, B, C = NP.Ident(1, 1, 2), NP.Ident(1, 2, 2), NP.Ident(2, 1, 0, 3)


def device(version):
    mesh = NP.Mesh(version.ip_version, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, [])
    return core.Device(version, mesh)


# (version, width, height, filters)
DEFAULTS = [
    (HwVersion.Quor_v1, 32, 256, 512),
    (HwVersion.Quor_v2, 32, 256, 504),
    (HwVersion(0xBD, 0x00, 0, 2), 32, 256, 512),
    (HwVersion(0xBC, 0x00, 1, 2), 32, 256, 512),
    (HwVersion.Tamsel_v1, 32, 256, 512),
    (HwVersion.ZMX2400_v1, 32, 256, 512),
    (HwVersion.Proteo_v2, 64, 256, 512),
    (HwVersion.Lumo_Proteo, 0, 0, 0),
]
LIMITS = [("cnp_max_width", "width", 1), ("cnp_max_height", "height", 2), ("cnp_max_filters", "filters", 3)]


@pytest.mark.parametrize("version, width, height, filters", DEFAULTS)
def test_defaults_by_edition(version, width, height, filters):
    constraints = MapConstraints(device(version))
    expected = (width, height, filters)
    assert (
        constraints.cnp_max_width_default,
        constraints.cnp_max_height_default,
        constraints.cnp_max_filters_default,
    ) == expected
    assert (constraints.cnp_max_width, constraints.cnp_max_height, constraints.cnp_max_filters) == expected
    assert constraints.hwpr_loopitself is False


@pytest.mark.parametrize("version, width, height, filters", DEFAULTS)
@pytest.mark.parametrize("name, word, index", LIMITS)
def test_limits_accept_up_to_their_default(version, width, height, filters, name, word, index):
    constraints = MapConstraints(device(version))
    default = (None, width, height, filters)[index]
    setattr(constraints, name, default)
    assert getattr(constraints, name) == default
    setattr(constraints, name, 0)
    assert getattr(constraints, name) == 0
    with pytest.raises(ValueError) as info:
        setattr(constraints, name, default + 1)
    assert str(info.value) == f"CNP max {word} should be <= {default}. Receives {default + 1}."
    assert getattr(constraints, name) == 0
    assert getattr(constraints, name + "_default") == default


@pytest.mark.parametrize(
    "version, accepted", [(HwVersion.Proteo_v2, True), (HwVersion.Quor_v1, False), (HwVersion.Tamsel_v1, False), (HwVersion.Lumo_Proteo, False)]
)
def test_hwpr_loopitself(version, accepted):
    constraints = MapConstraints(device(version))
    constraints.hwpr_loopitself = False
    assert constraints.hwpr_loopitself is False
    if accepted:
        constraints.hwpr_loopitself = True
        assert constraints.hwpr_loopitself is True
        constraints.hwpr_loopitself = None
        assert constraints.hwpr_loopitself is False
        constraints.hwpr_loopitself = np.bool_(True)
        assert constraints.hwpr_loopitself is True
    else:
        for value in [True, np.bool_(True)]:
            with pytest.raises(ValueError) as info:
                constraints.hwpr_loopitself = value
            assert str(info.value) == "HWPR NP loopitself feature is only supported for IP v2."
        assert constraints.hwpr_loopitself is False


def test_constructor_refusals():
    with pytest.raises(ValueError) as info:
        MapConstraints(None)
    assert str(info.value) == "Invalid device passed to MapConstraints."
    with pytest.raises(TypeError):
        MapConstraints(HwVersion.Proteo_v2)
    with pytest.raises(TypeError):
        MapConstraints()


def test_device_is_shared():
    dev = device(HwVersion.Proteo_v2)
    constraints = MapConstraints(device=dev)
    assert constraints.device is dev
    del dev
    gc.collect()
    assert constraints.device.desc == "VirtualDevice/BC.A2.001.000"


@pytest.mark.parametrize(
    "source, count, expected",
    [
        ([A, B, C], 2, [A, B]),
        ([A, B, C], 5, [A, B, C]),
        ([A, B, C], 3, [A, B, C]),
        ([A, B, C], 0, []),
        ([], 4, []),
        ((C, A), 1, [C]),
    ],
)
def test_base_select_nps(source, count, expected):
    constraints = MapConstraints(device(HwVersion.Proteo_v2))
    assert constraints.select_nps(source, count, NP.CNP1) == expected
    assert constraints.select_nps(source_nps=source, num_nps=count, type=NP.FNP3) == expected


def test_base_next_layer_does_nothing():
    constraints = MapConstraints(device(HwVersion.Proteo_v2))
    assert constraints.next_layer("conv_1") is None
    assert constraints.next_layer(layer_name="conv_1") is None


class Recorder(MapConstraints):
    def __init__(self, dev):
        super().__init__(dev)
        self.names = []
        self.calls = []

    def next_layer_handler(self, name):
        self.names.append(name)
        return "ignored"

    def select_nps(self, source_nps, num_nps, type):
        self.calls.append((list(source_nps), num_nps, type))
        return list(reversed(source_nps))[:num_nps]


def test_python_overrides_are_reached_through_the_native_hooks():
    constraints = Recorder(device(HwVersion.Proteo_v2))
    # The base-class members call the native virtual hooks, which dispatch to the Python methods.
    assert MapConstraints.next_layer(constraints, "conv_1") is None
    constraints.next_layer("conv_2")
    assert constraints.names == ["conv_1", "conv_2"]
    assert MapConstraints.select_nps(constraints, [A, B, C], 2, NP.CNP2) == [C, B]
    assert constraints.calls == [([A, B, C], 2, NP.CNP2)]
    source, count, type_ = constraints.calls[0]
    assert isinstance(count, int) and isinstance(type_, NP.Type)


def test_override_receives_copies():
    seen = []

    class Mutating(MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            seen.append(source_nps)
            source_nps[0].col = 9
            source_nps.append(C)
            return source_nps[:1]

    source = [A, B]
    result = MapConstraints.select_nps(Mutating(device(HwVersion.Proteo_v2)), source, 1, NP.CNP1)
    assert result == [NP.Ident(9, 1, 2)]
    assert source == [NP.Ident(1, 1, 2), NP.Ident(1, 2, 2)]
    assert seen[0] is not source


def test_override_may_call_the_base():
    class Shifted(MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return super().select_nps(source_nps[1:], num_nps, type)

    constraints = Shifted(device(HwVersion.Proteo_v2))
    assert MapConstraints.select_nps(constraints, [A, B, C], 5, NP.CNP1) == [B, C]


def test_only_next_layer_handler_is_the_hook():
    class WrongName(MapConstraints):
        def __init__(self, dev):
            super().__init__(dev)
            self.names = []

        def next_layer(self, name):
            self.names.append(name)

    constraints = WrongName(device(HwVersion.Proteo_v2))
    MapConstraints.next_layer(constraints, "conv_1")
    assert constraints.names == []


def test_subclass_without_overrides_behaves_as_the_base():
    class Plain(MapConstraints):
        pass

    constraints = Plain(device(HwVersion.Tamsel_v1))
    assert constraints.select_nps([A, B, C], 2, NP.CNP1) == [A, B]
    assert constraints.next_layer("x") is None
    assert constraints.cnp_max_width_default == 32


@pytest.mark.parametrize("result", [5, None, "ab", [A, 3], [(1, 1, 2)]])
def test_unconvertible_select_nps_result(result):
    class Bad(MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return result

    with pytest.raises(RuntimeError, match="cast"):
        MapConstraints.select_nps(Bad(device(HwVersion.Proteo_v2)), [A], 1, NP.CNP1)


def test_exceptions_of_overrides_pass_through():
    class Raising(MapConstraints):
        def next_layer_handler(self, name):
            raise KeyError(name)

        def select_nps(self, source_nps, num_nps, type):
            raise ZeroDivisionError("no NP for you")

    constraints = Raising(device(HwVersion.Proteo_v2))
    with pytest.raises(KeyError):
        MapConstraints.next_layer(constraints, "conv_1")
    with pytest.raises(ZeroDivisionError, match="no NP for you"):
        MapConstraints.select_nps(constraints, [A], 1, NP.CNP1)


def test_subclass_keeps_the_base_limits_checks():
    class Changing(MapConstraints):
        def next_layer_handler(self, name):
            self.cnp_max_width = 8 if name == "small" else self.cnp_max_width_default

    constraints = Changing(device(HwVersion.Proteo_v2))
    constraints.next_layer("small")
    assert constraints.cnp_max_width == 8
    constraints.next_layer("other")
    assert constraints.cnp_max_width == 64


