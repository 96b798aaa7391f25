import pickle

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


@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("bad", [256, -1, 1.0, "1", None])
def test_constructor_refuses_out_of_byte_range(position, bad):
    args = [0xBC, 0xA2, 1, 0]
    args[position] = bad
    with pytest.raises(TypeError):
        HwVersion(*args)


def test_constructor_is_positional_only():
    with pytest.raises(TypeError):
        HwVersion(vendor_id=1, product_id=2, major_rev=3, minor_rev=4)


def test_fields_are_read_only():
    version = HwVersion(1, 2, 3, 4)
    with pytest.raises(AttributeError):
        version.vendor_id = 5
    assert version.vendor_id == 1


def test_equality_with_other_objects_and_no_hash():
    assert not (HwVersion.Proteo_v2 == 5)
    assert HwVersion.Proteo_v2 != "BC.A2.001.000"
    with pytest.raises(TypeError):
        hash(HwVersion.Proteo_v2)


def test_docstrings():
    assert HwVersion.vendor_id.__doc__ == "The hardware vendor identifier"
    assert HwVersion.product_id.__doc__ == "The hardware product identifier"
    assert HwVersion.major_rev.__doc__ == "The hardware major revision"
    assert HwVersion.minor_rev.__doc__ == "The hardware minor revision"
    assert HwVersion.ip_version.__doc__ == "The IP version."


@pytest.mark.parametrize("name, value", [("none", 0), ("v1", 1), ("v2", 2), ("lumo", 3)])
def test_ip_version_enumeration(name, value):
    member = getattr(IpVersion, name)
    assert int(member) == value
    assert member.value == value
    assert member.name == name
    assert IpVersion(value) == member
    assert getattr(core, name) is member
    assert pickle.loads(pickle.dumps(member)) == member


def test_ip_version_enumeration_order_and_doc():
    assert list(IpVersion.__members__) == ["none", "v1", "v2", "lumo"]
    assert IpVersion.__doc__.startswith("The reference Ovrix IP version")
