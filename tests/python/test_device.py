import gc

import pytest

from ovrix import core

NP = core.NP
HwVersion = core.HwVersion
IpVersion = core.IpVersion


def make_mesh(version, nps=None, hrc=None, **kwargs):
    if nps is None:
        nps = [NP.Info(NP.Ident(1, 1, 2), [NP.CNP1, NP.CNP2]), NP.Info(NP.Ident(1, 1, 3), [NP.FNP3])]
    return NP.Mesh(version, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), hrc, nps, **kwargs)


@pytest.mark.parametrize(
    "version, mesh_version, desc",
    [
        (HwVersion(0xBC, 0xA2, 1, 0), IpVersion.v2, "VirtualDevice/BC.A2.001.000"),
        (HwVersion.Quor_v2, IpVersion.v1, "VirtualDevice/BC.00.000.002"),
        (HwVersion.Tamsel_v1, IpVersion.v1, "VirtualDevice/BC.A1.003.006"),
        (HwVersion.Lumo_Proteo, IpVersion.lumo, "VirtualDevice/BC.B1.001.000"),
        (HwVersion(0x0F, 0xA2, 200, 10), IpVersion.v2, "VirtualDevice/0F.A2.200.010"),
    ],
)
def test_virtual_device(version, mesh_version, desc):
    mesh = make_mesh(mesh_version)
    device = core.Device(version, mesh)
    assert device.desc == desc
    assert device.version == version
    assert device.ip_version == mesh_version
    assert device.mesh == mesh


@pytest.mark.parametrize(
    "version, mesh_version, shown, product",
    [
        (HwVersion(0xBC, 0xA2, 1, 0), IpVersion.v1, "188.162.1.0", 162),
        (HwVersion.Quor_v2, IpVersion.v2, "188.0.0.2", 0),
        (HwVersion.Proteo_v2, IpVersion.lumo, "188.162.1.0", 162),
        (HwVersion(0xBC, 0x77, 0, 0), IpVersion.v2, "188.119.0.0", 119),
    ],
)
def test_edition_mismatch_is_refused(version, mesh_version, shown, product):
    with pytest.raises(ValueError) as info:
        core.Device(version, make_mesh(mesh_version))
    assert str(info.value) == (f"Incompatible hardware and Ip versions: HW Version is {shown} with product id = "
                               f"{product} while IP version is {mesh_version.name}.")


def test_unknown_product_has_no_device():
    # Its edition is none, and no mesh can have the edition none.
    assert HwVersion(0xBC, 0x77, 0, 0).ip_version == IpVersion.none
    with pytest.raises(RuntimeError, match="The mesh should have a valid IP version."):
        make_mesh(IpVersion.none)


def test_device_copies_the_mesh():
    mesh = make_mesh(IpVersion.v2)
    device = core.Device(HwVersion.Proteo_v2, mesh)
    mesh.nps = []
    mesh.np_sram_size.input_bytes = 7
    assert len(device.mesh.nps) == 2
    assert device.mesh.np_sram_size == NP.SramSize.SramSize_v2


def test_mesh_is_a_view_that_keeps_the_device_alive():
    device = core.Device(HwVersion.Proteo_v2, make_mesh(IpVersion.v2))
    mesh = device.mesh
    sram = mesh.np_sram_size
    del device
    gc.collect()
    assert sram == NP.SramSize.SramSize_v2
    assert [info.ident for info in mesh.nps] == [NP.Ident(1, 1, 2), NP.Ident(1, 1, 3)]
    # Two reads show the same device mesh.
    device = core.Device(HwVersion.Proteo_v2, make_mesh(IpVersion.v2))
    device.mesh.np_sram_size.weight_bytes = 1234
    assert device.mesh.np_sram_size.weight_bytes == 1234


