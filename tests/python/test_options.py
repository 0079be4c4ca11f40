"""The mutable option records StreamOptions, ReconnectOptions and Crop."""

import math

import pytest

from orvane_video import Codec, Crop, EncoderProfile, FlipMode, ReconnectOptions, StreamOptions

from _helpers import Floaty, Idx

OUT_OF_RANGE = "out of range integral type conversion attempted"

STREAM_OPTION_FIELDS = [
    "codec",
    "bitrate",
    "resolution",
    "overlay",
    "fps",
    "flip",
    "crop",
    "reconnect",
    "transcode",
    "congestion_control",
    "keyframe_interval",
    "encoder_profile",
]


def show(value):
    """A stable test id for a value, also for objects with the default repr."""
    return type(value).__name__ if type(value).__repr__ is object.__repr__ else repr(value)


def crop_tuple(crop):
    return (crop.top, crop.bottom, crop.left, crop.right)


def reconnect_tuple(rc):
    return (rc.retry_delay_s, rc.max_retries, rc.disconnect_grace_s)


# --- defaults -------------------------------------------------------------------


def test_stream_options_defaults():
    opts = StreamOptions()
    assert opts.codec == Codec.H264 and type(opts.codec) is Codec
    assert opts.bitrate == 4000 and type(opts.bitrate) is int
    assert opts.resolution is None
    assert opts.overlay is False
    assert opts.fps is None
    assert opts.keyframe_interval == 30
    assert opts.flip is None
    assert opts.crop is None
    assert opts.reconnect is None
    assert opts.transcode is False
    assert opts.congestion_control is True
    assert opts.encoder_profile == EncoderProfile.LowLatency and type(opts.encoder_profile) is EncoderProfile


def test_explicit_none_means_default():
    opts = StreamOptions(codec=None, resolution=None, fps=None, flip=None, crop=None, reconnect=None,
                         encoder_profile=None)
    assert opts.codec == Codec.H264
    assert opts.encoder_profile == EncoderProfile.LowLatency
    assert (opts.resolution, opts.fps, opts.flip, opts.crop, opts.reconnect) == (None,) * 5
    assert ReconnectOptions(max_retries=None).max_retries is None


def test_reconnect_and_crop_defaults():
    rc = ReconnectOptions()
    assert reconnect_tuple(rc) == (2.0, None, 2.0)
    assert type(rc.retry_delay_s) is float and type(rc.disconnect_grace_s) is float
    assert crop_tuple(Crop()) == (0, 0, 0, 0)


def test_properties_are_the_only_public_names_in_storage_order():
    assert [k for k in vars(StreamOptions) if not k.startswith("_")] == STREAM_OPTION_FIELDS
    assert [k for k in vars(ReconnectOptions) if not k.startswith("_")] == [
        "retry_delay_s",
        "max_retries",
        "disconnect_grace_s",
    ]
    assert [k for k in vars(Crop) if not k.startswith("_")] == ["top", "bottom", "left", "right"]
    for cls in (StreamOptions, ReconnectOptions, Crop):
        for name in vars(cls):
            if not name.startswith("_"):
                assert not vars(cls)[name].__doc__


# --- construction -----------------------------------------------------------------


def test_every_stream_option_reads_back_what_was_given():
    opts = StreamOptions(
        Codec.AV1,
        1500,
        "1920x1080",
        True,
        25,
        5,
        FlipMode.Rotate270,
        Crop(1, 2, 3, 4),
        ReconnectOptions(0.5, 7, 1.5),
        True,
        False,
        EncoderProfile.Balanced,
    )
    assert opts.codec == Codec.AV1
    assert opts.bitrate == 1500
    assert opts.resolution == "1920x1080"
    assert opts.overlay is True
    assert opts.fps == 25
    assert opts.keyframe_interval == 5
    assert opts.flip == FlipMode.Rotate270 and int(opts.flip) == 4
    assert crop_tuple(opts.crop) == (1, 2, 3, 4)
    assert reconnect_tuple(opts.reconnect) == (0.5, 7, 1.5)
    assert opts.transcode is True
    assert opts.congestion_control is False
    assert opts.encoder_profile == EncoderProfile.Balanced


def test_nothing_is_validated_beyond_conversion():
    opts = StreamOptions(bitrate=0, fps=0, keyframe_interval=0, resolution="banana",
                         crop=Crop(2**32 - 1, 2**32 - 1, 0, 0))
    assert (opts.bitrate, opts.fps, opts.keyframe_interval, opts.resolution) == (0, 0, 0, "banana")
    rc = ReconnectOptions(retry_delay_s=-1.0, max_retries=0, disconnect_grace_s=float("inf"))
    assert reconnect_tuple(rc) == (-1.0, 0, float("inf"))
    assert math.isnan(ReconnectOptions(retry_delay_s=float("nan")).retry_delay_s)


def test_crop_accepts_bool_as_integer_and_refuses_none():
    assert Crop(top=True).top == 1
    assert type(Crop(top=True).top) is int
    with pytest.raises(TypeError) as info:
        Crop(top=None)
    assert str(info.value).startswith("argument 'top': ")
    with pytest.raises(OverflowError) as info:
        Crop(top=-1)
    assert str(info.value) == OUT_OF_RANGE


def test_overlay_refuses_integers():
    with pytest.raises(TypeError) as info:
        StreamOptions(overlay=1)
    assert str(info.value) == "argument 'overlay': 'int' object cannot be converted to 'PyBool'"


# --- getters return new objects -------------------------------------------------------


def test_getters_return_new_objects():
    opts = StreamOptions(crop=Crop(top=8), reconnect=ReconnectOptions(max_retries=3))
    assert opts.crop is not opts.crop
    assert opts.reconnect is not opts.reconnect
    assert opts.codec is not opts.codec
    assert opts.codec is not Codec.H264
    assert opts.codec == Codec.H264


def test_nested_records_are_held_by_value():
    crop = Crop(top=8)
    rc = ReconnectOptions(max_retries=3)
    opts = StreamOptions(crop=crop, reconnect=rc)

    # the objects passed in are copied
    crop.top = 9
    rc.max_retries = 4
    assert opts.crop.top == 8
    assert opts.reconnect.max_retries == 3

    # the objects read back are copies too
    read = opts.crop
    read.top = 10
    assert opts.crop.top == 8
    read_rc = opts.reconnect
    read_rc.retry_delay_s = 9.0
    assert opts.reconnect.retry_delay_s == 2.0

    # assigning the changed object stores its values, again as a copy
    opts.crop = read
    opts.reconnect = read_rc
    assert opts.crop.top == 10
    assert opts.reconnect.retry_delay_s == 9.0
    read.top = 11
    read_rc.retry_delay_s = 10.0
    assert opts.crop.top == 10
    assert opts.reconnect.retry_delay_s == 9.0


# --- setters ---------------------------------------------------------------------------


def populated(cls):
    """An instance whose optional fields all hold a value."""
    if cls is StreamOptions:
        return StreamOptions(resolution="320x240", fps=24, flip=FlipMode.Horizontal, crop=Crop(top=2),
                             reconnect=ReconnectOptions(max_retries=1))
    if cls is ReconnectOptions:
        return ReconnectOptions(max_retries=5)
    return Crop(1, 2, 3, 4)


SETTER_CASES = [
    (StreamOptions, "codec", Codec.H265, Codec.H265),
    (StreamOptions, "bitrate", 2500, 2500),
    (StreamOptions, "bitrate", Idx(12), 12),
    (StreamOptions, "resolution", "640x480", "640x480"),
    (StreamOptions, "resolution", "not a size", "not a size"),
    (StreamOptions, "resolution", None, None),
    (StreamOptions, "overlay", True, True),
    (StreamOptions, "fps", 60, 60),
    (StreamOptions, "fps", None, None),
    (StreamOptions, "flip", FlipMode.Vertical, FlipMode.Vertical),
    (StreamOptions, "flip", None, None),
    (StreamOptions, "crop", None, None),
    (StreamOptions, "reconnect", None, None),
    (StreamOptions, "transcode", True, True),
    (StreamOptions, "congestion_control", False, False),
    (StreamOptions, "keyframe_interval", 5, 5),
    (StreamOptions, "encoder_profile", EncoderProfile.HighQuality, EncoderProfile.HighQuality),
    (ReconnectOptions, "retry_delay_s", 0.25, 0.25),
    (ReconnectOptions, "retry_delay_s", 3, 3.0),
    (ReconnectOptions, "retry_delay_s", Floaty(1.5), 1.5),
    (ReconnectOptions, "max_retries", 0, 0),
    (ReconnectOptions, "max_retries", 2**32 - 1, 2**32 - 1),
    (ReconnectOptions, "max_retries", None, None),
    (ReconnectOptions, "disconnect_grace_s", -1.0, -1.0),
    (Crop, "top", 16, 16),
    (Crop, "bottom", True, 1),
    (Crop, "left", 2**32 - 1, 2**32 - 1),
    (Crop, "right", Idx(3), 3),
]


@pytest.mark.parametrize(
    "cls, field, value, expected",
    SETTER_CASES,
    ids=[f"{c.__name__}.{f}={show(v)}" for c, f, v, _ in SETTER_CASES],
)
def test_setter_stores_the_converted_value(cls, field, value, expected):
    obj = populated(cls)
    setattr(obj, field, value)
    got = getattr(obj, field)
    if expected is None:
        assert got is None
    else:
        assert got == expected
        assert type(got) is type(expected)


def test_setting_an_optional_to_none_clears_it():
    opts = StreamOptions(fps=30, flip=FlipMode.Vertical, crop=Crop(top=2), reconnect=ReconnectOptions(),
                         resolution="640x480")
    for field in ["fps", "flip", "crop", "reconnect", "resolution"]:
        setattr(opts, field, None)
        assert getattr(opts, field) is None
    # and setting it again restores a value
    opts.crop = Crop(left=4)
    assert crop_tuple(opts.crop) == (0, 0, 4, 0)


SETTER_ERRORS = [
    (StreamOptions, "codec", None, TypeError, "argument 'codec': 'NoneType' object cannot be converted to 'Codec'"),
    (StreamOptions, "codec", "H265", TypeError, "argument 'codec': 'str' object cannot be converted to 'Codec'"),
    (StreamOptions, "codec", 1, TypeError, "argument 'codec': 'int' object cannot be converted to 'Codec'"),
    (
        StreamOptions,
        "encoder_profile",
        None,
        TypeError,
        "argument 'encoder_profile': 'NoneType' object cannot be converted to 'EncoderProfile'",
    ),
    (StreamOptions, "flip", Codec.H264, TypeError,
     "argument 'flip': 'Codec' object cannot be converted to 'FlipMode'"),
    (StreamOptions, "overlay", 1, TypeError, "argument 'overlay': 'int' object cannot be converted to 'PyBool'"),
    (StreamOptions, "overlay", None, TypeError,
     "argument 'overlay': 'NoneType' object cannot be converted to 'PyBool'"),
    (StreamOptions, "transcode", "yes", TypeError,
     "argument 'transcode': 'str' object cannot be converted to 'PyBool'"),
    (StreamOptions, "congestion_control", None, TypeError,
     "argument 'congestion_control': 'NoneType' object cannot be converted to 'PyBool'"),
    (StreamOptions, "resolution", 720, TypeError,
     "argument 'resolution': 'int' object cannot be converted to 'PyString'"),
    (StreamOptions, "crop", ReconnectOptions(), TypeError,
     "argument 'crop': 'ReconnectOptions' object cannot be converted to 'Crop'"),
    (StreamOptions, "reconnect", Crop(), TypeError,
     "argument 'reconnect': 'Crop' object cannot be converted to 'ReconnectOptions'"),
    (StreamOptions, "bitrate", None, TypeError, None),
    (StreamOptions, "bitrate", "4000", TypeError, None),
    (StreamOptions, "keyframe_interval", None, TypeError, None),
    (StreamOptions, "fps", 29.97, TypeError, None),
    (ReconnectOptions, "retry_delay_s", None, TypeError, None),
    (ReconnectOptions, "disconnect_grace_s", "1", TypeError, None),
    (ReconnectOptions, "max_retries", 1.0, TypeError, None),
    (Crop, "top", None, TypeError, None),
    (Crop, "left", Codec.AV1, TypeError, None),
    (StreamOptions, "bitrate", -1, OverflowError, OUT_OF_RANGE),
    (StreamOptions, "fps", 2**32, OverflowError, OUT_OF_RANGE),
    (StreamOptions, "keyframe_interval", -30, OverflowError, OUT_OF_RANGE),
    (ReconnectOptions, "max_retries", -1, OverflowError, OUT_OF_RANGE),
    (Crop, "bottom", -1, OverflowError, OUT_OF_RANGE),
    (Crop, "right", 2**32, OverflowError, OUT_OF_RANGE),
]


@pytest.mark.parametrize(
    "cls, field, value, error, message",
    SETTER_ERRORS,
    ids=[f"{c.__name__}.{f}={show(v)}" for c, f, v, _, _ in SETTER_ERRORS],
)
def test_failed_assignment_raises_and_keeps_the_old_value(cls, field, value, error, message):
    obj = populated(cls)
    before = getattr(obj, field)
    with pytest.raises(error) as info:
        setattr(obj, field, value)
    assert type(info.value) is error
    if message is None:
        assert str(info.value).startswith(f"argument '{field}': ")
    else:
        assert str(info.value) == message
    after = getattr(obj, field)
    if field == "crop":
        assert crop_tuple(after) == crop_tuple(before)
    elif field == "reconnect":
        assert reconnect_tuple(after) == reconnect_tuple(before)
    else:
        assert after == before


DELETABLE = [(StreamOptions, f) for f in STREAM_OPTION_FIELDS] + [
    (ReconnectOptions, f) for f in ["retry_delay_s", "max_retries", "disconnect_grace_s"]
] + [(Crop, f) for f in ["top", "bottom", "left", "right"]]


@pytest.mark.parametrize("cls, field", DELETABLE, ids=[f"{c.__name__}.{f}" for c, f in DELETABLE])
def test_deleting_a_property_is_refused(cls, field):
    obj = cls()
    before = getattr(obj, field)
    with pytest.raises(AttributeError) as info:
        delattr(obj, field)
    assert str(info.value) == "can't delete attribute"
    after = getattr(obj, field)
    assert (after is None) == (before is None)
    if field not in ("crop", "reconnect"):
        assert after == before


def test_records_compare_by_identity():
    a, b = StreamOptions(), StreamOptions()
    assert a == a and a != b
    assert Crop() != Crop()
    assert ReconnectOptions() != ReconnectOptions()
    assert hash(a) == hash(a)
