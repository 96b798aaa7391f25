import pickle

import pytest

from ovrix import core

LAYER_TYPES = [
    ("Unknown", 0), ("InputData", 1), ("InputConvolutional", 2), ("FullyConnected", 3),
    ("Convolutional", 4), ("SeparableConvolutional", 5), ("Add", 6), ("Concatenate", 12),
    ("Conv2D", 14), ("InputConv2D", 15), ("DepthwiseConv2D", 16), ("Conv2DTranspose", 17),
    ("Dequantizer", 19), ("DepthwiseConv2DTranspose", 20), ("BufferTempConv", 21),
    ("DepthwiseBufferTempConv", 22), ("StatefulRecurrent", 26), ("Dense1D", 25),
    ("Quantizer", 27), ("LumoPostProcessing", 28),
]

SAME_DOC = ("Padded so that output size is input size divided by the stride. "
            "It always produces a bottom right padding.")
SAME_UPPER_DOC = ("Padded so that output size is input size divided by the stride. "
                  "It always produces a top left padding.")

MEMBERS = (
    [("LayerType", name, value, None) for name, value in LAYER_TYPES]
    + [
        ("Padding", "Valid", 0, "No padding"),
        ("Padding", "Same", 1, SAME_DOC),
        ("Padding", "SameUpper", 2, SAME_UPPER_DOC),
        ("PoolType", "NoPooling", 0, "No pooling applied"),
        ("PoolType", "Max", 1, "Maximum pixel value is selected"),
        ("PoolType", "Average", 2, "Average pixel value is selected"),
        ("ActivationType", "NoActivation", 0, "No activation is applied"),
        ("ActivationType", "ReLU", 1, "ReLU activation is selected"),
        ("ActivationType", "LUT", 2, "LUT activation is selected"),
    ]
)


@pytest.mark.parametrize("enum, name, value, doc", MEMBERS)
def test_member_value_export_and_doc(enum, name, value, doc):
    cls = getattr(core, enum)
    member = getattr(cls, name)
    assert getattr(core, name) is member
    assert int(member) == value
    assert member.value == value
    assert member.name == name
    assert member.__index__() == value
    assert cls(value) == member
    assert hash(cls(value)) == hash(member)
    # Strict comparison: a member never equals a plain integer.
    assert member != value
    assert pickle.loads(pickle.dumps(member)) == member
    if doc is not None:
        assert member.__doc__ == doc


@pytest.mark.parametrize(
    "enum, doc",
    [
        ("LayerType", "The layer type"),
        ("Padding", "Sets the effective padding of the input for convolution, thereby determining the "
                    "output dimensions. Naming conventions are the same as Keras/Tensorflow."),
        ("PoolType", "The pooling type"),
        ("ActivationType", "The activation type"),
    ],
)
def test_enumeration_docstrings(enum, doc):
    assert getattr(core, enum).__doc__.startswith(doc)


def test_layer_type_members_in_registration_order():
    assert list(core.LayerType.__members__) == [name for name, _ in LAYER_TYPES]


@pytest.mark.parametrize("a, b", [(core.Same, core.Max), (core.Valid, core.NoPooling), (core.ReLU, core.Max)])
def test_members_of_different_enumerations_differ(a, b):
    assert int(a) == int(b)
    assert a != b


@pytest.mark.parametrize("enum", ["LayerType", "Padding", "PoolType", "ActivationType"])
def test_no_ordering_operators(enum):
    cls = getattr(core, enum)
    members = list(cls.__members__.values())
    with pytest.raises(TypeError):
        members[0] < members[1]


@pytest.mark.parametrize("bad", ["Conv2D", 1.5, None])
def test_construction_needs_an_integer(bad):
    with pytest.raises(TypeError):
        core.LayerType(bad)
