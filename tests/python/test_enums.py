"""The value enumerations Codec, FlipMode, ImageFormat and EncoderProfile."""

import operator

import pytest

from orvane_video import Codec, EncoderProfile, FlipMode, ImageFormat, StreamOptions

from _helpers import Idx

MEMBERS = [
    (Codec, "H264", 0),
    (Codec, "H265", 1),
    (Codec, "AV1", 2),
    (FlipMode, "Horizontal", 0),
    (FlipMode, "Vertical", 1),
    (FlipMode, "Rotate90", 2),
    (FlipMode, "Rotate180", 3),
    (FlipMode, "Rotate270", 4),
    (ImageFormat, "Jpeg", 0),
    (ImageFormat, "Png", 1),
    (EncoderProfile, "LowLatency", 0),
    (EncoderProfile, "Balanced", 1),
    (EncoderProfile, "HighQuality", 2),
]

ENUMS = [Codec, FlipMode, ImageFormat, EncoderProfile]


@pytest.mark.parametrize("cls, name, value", MEMBERS, ids=[f"{c.__name__}.{n}" for c, n, _ in MEMBERS])
def test_member_value_and_text_forms(cls, name, value):
    member = getattr(cls, name)
    assert type(member) is cls
    assert int(member) == value
    assert type(int(member)) is int
    assert repr(member) == f"{cls.__name__}.{name}"
    assert str(member) == f"{cls.__name__}.{name}"
    assert member == value
    assert value == member
    assert not (member != value)
    assert member == Idx(value)
    assert member != value + 1


@pytest.mark.parametrize("cls", ENUMS, ids=lambda c: c.__name__)
def test_members_are_the_only_public_attributes_in_declaration_order(cls):
    names = [name for c, name, _ in MEMBERS if c is cls]
    assert [k for k in vars(cls) if not k.startswith("_")] == names


def test_class_attribute_is_the_same_object_every_time():
    for cls, name, _ in MEMBERS:
        assert getattr(cls, name) is getattr(cls, name)
        assert isinstance(getattr(cls, name), cls)


def test_members_have_no_name_value_or_methods():
    for attr in ["name", "value", "_name_", "_value_", "__members__"]:
        assert not hasattr(Codec.H264, attr)
    with pytest.raises(AttributeError):
        Codec.H264.value = 5
    assert int(Codec.H264) == 0


def test_members_are_not_integers_for_indexing():
    with pytest.raises(TypeError):
        operator.index(Codec.H265)
    with pytest.raises(TypeError):
        ["a", "b", "c"][Codec.H265]
    with pytest.raises(TypeError):
        "abc"[: ImageFormat.Png]
    with pytest.raises(TypeError):
        range(FlipMode.Rotate270)
    assert not hasattr(Codec.H264, "__index__")


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (Codec.H264, Codec.H264, True),
        (Codec.H264, Codec.H265, False),
        (Codec.AV1, 2, True),
        (Codec.H264, 0, True),
        (Codec.H265, True, True),
        (Codec.H264, False, True),
        (Codec.AV1, True, False),
        # only integers count: no text, float or other enumeration
        (Codec.H264, "H264", False),
        (Codec.H264, "0", False),
        (Codec.H264, 0.0, False),
        (Codec.H264, None, False),
        (Codec.H264, FlipMode.Horizontal, False),
        (ImageFormat.Png, EncoderProfile.Balanced, False),
        # integers beyond 64 bits are simply unequal
        (Codec.H264, 2**70, False),
        (Codec.H264, -(2**70), False),
        (EncoderProfile.HighQuality, Idx(2), True),
    ],
)
def test_equality_rules(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    # the reflected comparison gives the same answer
    assert (right == left) is equal
    assert (right != left) is (not equal)


def test_member_read_from_a_getter_is_a_new_equal_object():
    opts = StreamOptions(codec=Codec.AV1, flip=FlipMode.Rotate180, encoder_profile=EncoderProfile.HighQuality)
    assert opts.codec is not Codec.AV1
    assert opts.codec == Codec.AV1
    assert opts.codec != Codec.H265
    assert type(opts.codec) is Codec
    assert opts.codec is not opts.codec
    assert opts.flip == FlipMode.Rotate180 and int(opts.flip) == 3
    assert opts.encoder_profile == EncoderProfile.HighQuality
    assert repr(opts.encoder_profile) == "EncoderProfile.HighQuality"


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge], ids=lambda o: o.__name__)
@pytest.mark.parametrize("other", [Codec.H265, 1], ids=["member", "int"])
def test_ordering_is_not_supported(op, other):
    with pytest.raises(TypeError):
        op(Codec.H264, other)
    with pytest.raises(TypeError):
        op(other, Codec.H264)


@pytest.mark.parametrize("member", [Codec.H264, FlipMode.Vertical, ImageFormat.Png, EncoderProfile.Balanced], ids=repr)
def test_members_are_unhashable(member):
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}
    with pytest.raises(TypeError):
        {member: 1}
