
import pytest

from ovrix import core

HwVersion = core.HwVersion
IpVersion = core.IpVersion

NAMED = [
    ("Quor_v1", (0xBC, 0x00, 0, 1), IpVersion.v1),
    ("Quor_v2", (0xBC, 0x00, 0, 2), IpVersion.v1),
    ("Tamsel_v1", (0xBC, 0xA1, 3, 6), IpVersion.v1),
    ("ZMX2400_v1", (0xBC, 0xA1, 3, 9), IpVersion.v1),
    ("Proteo_v2", (0xBC, 0xA2, 1, 0), IpVersion.v2),
    ("Lumo_Proteo", (0xBC, 0xB1, 1, 0), IpVersion.lumo),
]


@pytest.mark.parametrize("name, fields, ip", NAMED)
def test_named_versions(name, fields, ip):
    named = getattr(HwVersion, name)
    assert named == HwVersion(*fields)
    assert (named.vendor_id, named.product_id, named.major_rev, named.minor_rev) == fields
    assert named.ip_version == ip


def test_named_versions_are_distinct():
    assert HwVersion.Tamsel_v1 != HwVersion.ZMX2400_v1
    values = [getattr(HwVersion, name) for name, _, _ in NAMED]
    for i, a in enumerate(values):
        for j, b in enumerate(values):
            assert (a == b) == (i == j)


@pytest.mark.parametrize(
    "fields, text",
    [
        ((0xBC, 0x00, 0, 2), "BC.00.000.002"),
        ((0xBC, 0xA2, 1, 0), "BC.A2.001.000"),
        ((0x0A, 0xFF, 255, 7), "0A.FF.255.007"),
        ((0, 0, 0, 0), "00.00.000.000"),
    ],
)
def test_text_forms(fields, text):
    version = HwVersion(*fields)
    assert str(version) == text
    assert repr(version) == text


@pytest.mark.parametrize(
    "product, ip",
    [
        (0x00, IpVersion.v1),
        (0xA1, IpVersion.v1),
        (0xA2, IpVersion.v2),
        (0xB1, IpVersion.lumo),
        (0xA3, IpVersion.none),
        (0x77, IpVersion.none),
        (0x01, IpVersion.none),
    ],
)
def test_ip_version_follows_product_byte_only(product, ip):
    for vendor, major, minor in [(0xBC, 1, 0), (0x00, 9, 9), (0xFF, 0, 2)]:
        assert HwVersion(vendor, product, major, minor).ip_version == ip


