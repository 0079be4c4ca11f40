"""How every callable binds its arguments and converts Python values.

Texts produced by the module itself are checked exactly; texts produced by the
interpreter's own conversions are checked only for the module's prefix.
"""

import re

import pytest

from orvane_video import (
    Codec,
    Crop,
    ImageFormat,
    ReconnectOptions,
    Sink,
    Src,
    Stream,
    StreamOptions,
    h264_encoder,
)

from _helpers import Floaty, Idx, IntOnly

OUT_OF_RANGE = "out of range integral type conversion attempted"


def call(fn, *args, **kwargs):
    return lambda: fn(*args, **kwargs)


# --- binding -------------------------------------------------------------------

BINDING_ERRORS = [
    # too many positional arguments, every parameter required
    (call(Sink.udp_rtp, "h", 1, 2), "Sink.udp_rtp() takes 2 positional arguments but 3 were given"),
    (call(Sink.udp_mpegts, "h", 1, 2, 3), "Sink.udp_mpegts() takes 2 positional arguments but 4 were given"),
    (call(Src.rtsp, "a", "b"), "Src.rtsp() takes 1 positional arguments but 2 were given"),
    (call(Src.app_image, ImageFormat.Png, 1), "Src.app_image() takes 1 positional arguments but 2 were given"),
    # too many positional arguments, some optional
    (call(Crop, 1, 2, 3, 4, 5), "Crop.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    (
        call(StreamOptions, *range(13)),
        "StreamOptions.__new__() takes from 0 to 12 positional arguments but 13 were given",
    ),
    (
        call(ReconnectOptions, 1.0, 1, 1.0, 1),
        "ReconnectOptions.__new__() takes from 0 to 3 positional arguments but 4 were given",
    ),
    (call(Stream, 1, 2, 3, 4), "Stream.__new__() takes from 2 to 3 positional arguments but 4 were given"),
    (call(Src.images, "d", 1, 2, 3), "Src.images() takes from 2 to 3 positional arguments but 4 were given"),
    (call(Src.camera, 0, None, 1), "Src.camera() takes from 0 to 2 positional arguments but 3 were given"),
    (call(Src.app, 1, 2, "RGB", True, 5), "Src.app() takes from 2 to 4 positional arguments but 5 were given"),
    (call(Sink.app, "RGB", 1), "Sink.app() takes from 0 to 1 positional arguments but 2 were given"),
    (call(Sink.whip, "e", None, None, None), "Sink.whip() takes from 1 to 3 positional arguments but 4 were given"),
    # unknown keyword
    (call(Src.camera, device=1), "Src.camera() got an unexpected keyword argument 'device'"),
    (call(Crop, width=1), "Crop.__new__() got an unexpected keyword argument 'width'"),
    (
        call(Stream, src=Src.test(), sink=Sink.fake(), option=None),
        "Stream.__new__() got an unexpected keyword argument 'option'",
    ),
    (call(Sink.whip, "e", stun="x"), "Sink.whip() got an unexpected keyword argument 'stun'"),
    (call(StreamOptions, Codec=Codec.H264), "StreamOptions.__new__() got an unexpected keyword argument 'Codec'"),
    # one parameter given twice
    (call(Src.images, "d", 1, path="e"), "Src.images() got multiple values for argument 'path'"),
    (call(Crop, 1, top=2), "Crop.__new__() got multiple values for argument 'top'"),
    (call(Sink.udp_rtp, "h", 1, port=2), "Sink.udp_rtp() got multiple values for argument 'port'"),
    (
        call(Stream, Src.test(), Sink.fake(), options=None, src=Src.test()),
        "Stream.__new__() got multiple values for argument 'src'",
    ),
    # required parameters missing
    (call(Src.rtsp), "Src.rtsp() missing 1 required positional argument: 'url'"),
    (call(Src.app_image), "Src.app_image() missing 1 required positional argument: 'format'"),
    (call(Src.images), "Src.images() missing 2 required positional arguments: 'path' and 'fps'"),
    (call(Src.images, "d"), "Src.images() missing 1 required positional argument: 'fps'"),
    (call(Src.images, fps=1, start_ns=0), "Src.images() missing 1 required positional argument: 'path'"),
    (call(Src.app), "Src.app() missing 2 required positional arguments: 'width' and 'height'"),
    (call(Src.app, format="RGB"), "Src.app() missing 2 required positional arguments: 'width' and 'height'"),
    (call(Sink.udp_rtp), "Sink.udp_rtp() missing 2 required positional arguments: 'host' and 'port'"),
    (call(Sink.whip, token="t"), "Sink.whip() missing 1 required positional argument: 'endpoint'"),
    (call(Stream), "Stream.__new__() missing 2 required positional arguments: 'src' and 'sink'"),
    (call(Stream, sink=Sink.fake()), "Stream.__new__() missing 1 required positional argument: 'src'"),
]


@pytest.mark.parametrize("thunk, message", BINDING_ERRORS, ids=[m for _, m in BINDING_ERRORS])
def test_binding_error_text(thunk, message):
    with pytest.raises(TypeError) as info:
        thunk()
    assert str(info.value) == message


def test_binding_happens_before_conversion():
    # the surplus argument is reported even though the first one would not convert
    with pytest.raises(TypeError) as info:
        Src.rtsp(5, 6)
    assert str(info.value) == "Src.rtsp() takes 1 positional arguments but 2 were given"
    with pytest.raises(TypeError) as info:
        Crop(-1, bogus=1)
    assert str(info.value) == "Crop.__new__() got an unexpected keyword argument 'bogus'"


def test_every_parameter_can_be_given_by_keyword():
    assert isinstance(Src.camera(device_index=1, resolution="640x480"), Src)
    assert isinstance(Src.images(path="d", fps=5, start_ns=7), Src)
    assert isinstance(Src.app(width=4, height=2, format="GRAY8", auto_timestamp=False), Src)
    assert isinstance(Sink.whip(endpoint="http://h/whip", token="t", stun_server="stun:s:3478"), Sink)
    assert isinstance(Stream(src=Src.test(), sink=Sink.fake(), options=StreamOptions()), Stream)
    crop = Crop(right=4, left=3, bottom=2, top=1)
    assert (crop.top, crop.bottom, crop.left, crop.right) == (1, 2, 3, 4)


NO_ARGUMENT_FUNCTIONS = [Src.test, Sink.fake, Sink.display, Sink.app_encoded, h264_encoder]


@pytest.mark.parametrize("fn", NO_ARGUMENT_FUNCTIONS, ids=lambda f: f.__name__)
def test_no_argument_functions_refuse_any_argument(fn):
    with pytest.raises(TypeError):
        fn(1)
    with pytest.raises(TypeError):
        fn(None)
    with pytest.raises(TypeError):
        fn(x=1)


# --- conversion: texts made by the module ---------------------------------------

MODULE_TYPE_ERRORS = [
    # text parameters
    (call(Src.rtsp, 5), "url", "int", "PyString"),
    (call(Src.custom, b"videotestsrc"), "description", "bytes", "PyString"),
    (call(Src.file, None), "location", "NoneType", "PyString"),
    (call(Src.images, None, 1), "path", "NoneType", "PyString"),
    (call(Src.app, 1, 2, None), "format", "NoneType", "PyString"),
    (call(Src.camera, 0, 1280), "resolution", "int", "PyString"),
    (call(Sink.whip, None), "endpoint", "NoneType", "PyString"),
    (call(Sink.whip, "e", token=1), "token", "int", "PyString"),
    (call(Sink.whip, "e", stun_server=b"stun:s"), "stun_server", "bytes", "PyString"),
    (call(Sink.udp_rtp, None, 1), "host", "NoneType", "PyString"),
    (call(Sink.udp_mpegts, 1, 1), "host", "int", "PyString"),
    (call(Sink.file, 1), "location", "int", "PyString"),
    (call(Sink.app, None), "format", "NoneType", "PyString"),
    (call(StreamOptions, resolution=(1280, 720)), "resolution", "tuple", "PyString"),
    # bool parameters
    (call(Src.app, 1, 2, "RGB", 1), "auto_timestamp", "int", "PyBool"),
    (call(Src.app, 1, 2, "RGB", None), "auto_timestamp", "NoneType", "PyBool"),
    (call(StreamOptions, overlay=1), "overlay", "int", "PyBool"),
    (call(StreamOptions, overlay=None), "overlay", "NoneType", "PyBool"),
    (call(StreamOptions, transcode=0), "transcode", "int", "PyBool"),
    (call(StreamOptions, congestion_control="yes"), "congestion_control", "str", "PyBool"),
    # class-typed parameters
    (call(Src.app_encoded, "H265"), "codec", "str", "Codec"),
    (call(Src.app_encoded, 1), "codec", "int", "Codec"),
    (call(Src.app_encoded, ImageFormat.Jpeg), "codec", "ImageFormat", "Codec"),
    (call(Src.app_image, None), "format", "NoneType", "ImageFormat"),
    (call(Src.app_image, "Png"), "format", "str", "ImageFormat"),
    (call(StreamOptions, codec="H264"), "codec", "str", "Codec"),
    (call(StreamOptions, codec=0), "codec", "int", "Codec"),
    (call(StreamOptions, flip=1), "flip", "int", "FlipMode"),
    (call(StreamOptions, encoder_profile=Codec.H264), "encoder_profile", "Codec", "EncoderProfile"),
    (call(StreamOptions, crop=ReconnectOptions()), "crop", "ReconnectOptions", "Crop"),
    (call(StreamOptions, reconnect=Crop()), "reconnect", "Crop", "ReconnectOptions"),
    (call(Stream, "test", Sink.fake()), "src", "str", "Src"),
    (call(Stream, Sink.fake(), Sink.fake()), "src", "Sink", "Src"),
    (call(Stream, Src.test(), Sink.fake(), Crop()), "options", "Crop", "StreamOptions"),
    (call(Stream, Src.test(), Sink.fake(), options=5), "options", "int", "StreamOptions"),
]


@pytest.mark.parametrize(
    "thunk, param, given, wanted",
    MODULE_TYPE_ERRORS,
    ids=[f"{p}-{g}-{w}" for _, p, g, w in MODULE_TYPE_ERRORS],
)
def test_conversion_type_error_text(thunk, param, given, wanted):
    with pytest.raises(TypeError) as info:
        thunk()
    assert str(info.value) == f"argument '{param}': '{given}' object cannot be converted to '{wanted}'"


# --- conversion: the interpreter's own texts behind the module's prefix ---------

PREFIXED_INTERPRETER_ERRORS = [
    (call(Src.camera, "0"), "device_index"),
    (call(Src.camera, 1.0), "device_index"),
    (call(Src.camera, IntOnly(1)), "device_index"),
    (call(Src.udp_rtp, "5000"), "port"),
    (call(Src.udp_mpegts, None), "port"),
    (call(Src.images, "d", 2.5), "fps"),
    (call(Src.images, "d", None), "fps"),
    (call(Src.app, "640", 480), "width"),
    (call(Src.app, 640, 480.0), "height"),
    (call(Src.display, None), "monitor_index"),
    (call(Src.file, "f", start_ns="0"), "start_ns"),
    (call(Src.file, "f", start_ns=1.0), "start_ns"),
    (call(Src.images, "d", 1, start_ns=b"1"), "start_ns"),
    (call(Sink.udp_rtp, "h", "5000"), "port"),
    (call(Sink.udp_mpegts, "h", None), "port"),
    (call(Crop, top=None), "top"),
    (call(Crop, left=Codec.H264), "left"),
    (call(Crop, right=1.0), "right"),
    (call(StreamOptions, bitrate=None), "bitrate"),
    (call(StreamOptions, fps="30"), "fps"),
    (call(StreamOptions, keyframe_interval=None), "keyframe_interval"),
    (call(ReconnectOptions, retry_delay_s=None), "retry_delay_s"),
    (call(ReconnectOptions, retry_delay_s="2"), "retry_delay_s"),
    (call(ReconnectOptions, disconnect_grace_s=[2.0]), "disconnect_grace_s"),
    (call(ReconnectOptions, max_retries=1.5), "max_retries"),
]


@pytest.mark.parametrize(
    "thunk, param",
    PREFIXED_INTERPRETER_ERRORS,
    ids=[f"{p}-{i}" for i, (_, p) in enumerate(PREFIXED_INTERPRETER_ERRORS)],
)
def test_conversion_type_error_names_the_parameter(thunk, param):
    with pytest.raises(TypeError) as info:
        thunk()
    text = str(info.value)
    assert re.match(rf"argument '{param}': \S", text), text
    # the prefix is added once, around the interpreter's message
    assert text.count("argument '") == 1, text


# --- integer ranges -------------------------------------------------------------

RANGE_ERRORS = [
    call(Src.camera, -1),
    call(Src.camera, 2**32),
    call(Src.udp_rtp, 65536),
    call(Src.udp_rtp, -1),
    call(Src.udp_mpegts, 65536),
    call(Src.images, "d", -1),
    call(Src.images, "d", 2**32),
    call(Src.app, -1, 1),
    call(Src.app, 1, 2**32),
    call(Src.display, -1),
    call(Sink.udp_rtp, "h", 65536),
    call(Sink.udp_mpegts, "h", -1),
    call(Crop, top=-1),
    call(Crop, right=2**32),
    call(Crop, bottom=Idx(-5)),
    call(StreamOptions, bitrate=-1),
    call(StreamOptions, fps=2**32),
    call(StreamOptions, keyframe_interval=-1),
    call(ReconnectOptions, max_retries=-1),
]


@pytest.mark.parametrize("thunk", RANGE_ERRORS)
def test_integer_out_of_range_is_overflow_error_without_prefix(thunk):
    with pytest.raises(OverflowError) as info:
        thunk()
    assert str(info.value) == OUT_OF_RANGE


INTERPRETER_OVERFLOWS = [
    # beyond the signed 64-bit range: the interpreter's own conversion fails first
    call(Crop, top=2**63),
    call(Src.udp_rtp, -(2**70)),
    call(StreamOptions, bitrate=2**64),
    # unsigned 64-bit parameters: the interpreter's own unsigned conversion
    call(Src.file, "f", start_ns=-1),
    call(Src.file, "f", start_ns=2**64),
    call(Src.images, "d", 1, start_ns=-1),
    call(Src.images, "d", 1, Idx(2**64)),
]


@pytest.mark.parametrize("thunk", INTERPRETER_OVERFLOWS)
def test_interpreter_overflow_propagates_unchanged(thunk):
    with pytest.raises(OverflowError) as info:
        thunk()
    assert not str(info.value).startswith("argument ")


def test_integer_boundaries_are_accepted():
    assert Crop(top=2**32 - 1).top == 2**32 - 1
    assert Crop(top=0).top == 0
    assert isinstance(Src.camera(2**32 - 1), Src)
    assert isinstance(Src.udp_rtp(65535), Src)
    assert isinstance(Src.udp_mpegts(0), Src)
    assert isinstance(Sink.udp_rtp("h", 65535), Sink)
    assert isinstance(Src.file("f", start_ns=2**64 - 1), Src)
    assert isinstance(Src.file("f", start_ns=0), Src)
    assert isinstance(Src.images("d", 2**32 - 1, 2**64 - 1), Src)


def test_integer_parameters_accept_index_objects_and_bools():
    assert Crop(top=Idx(7)).top == 7
    assert type(Crop(top=Idx(7)).top) is int
    assert Crop(left=True).left == 1
    assert Crop(right=False).right == 0
    assert StreamOptions(bitrate=Idx(2500)).bitrate == 2500
    assert isinstance(Src.udp_rtp(Idx(5000)), Src)
    assert isinstance(Src.file("f", start_ns=Idx(5)), Src)
    assert isinstance(Sink.udp_mpegts("h", True), Sink)


def test_float_parameters_accept_ints_and_number_protocols():
    assert ReconnectOptions(retry_delay_s=3).retry_delay_s == 3.0
    assert type(ReconnectOptions(retry_delay_s=3).retry_delay_s) is float
    assert ReconnectOptions(disconnect_grace_s=Floaty(0.25)).disconnect_grace_s == 0.25
    assert ReconnectOptions(retry_delay_s=Idx(4)).retry_delay_s == 4.0
    assert ReconnectOptions(retry_delay_s=True).retry_delay_s == 1.0


def test_text_parameters_accept_str_subclasses():
    class Text(str):
        pass

    assert isinstance(Src.rtsp(Text("rtsp://h/s")), Src)
    assert isinstance(Sink.app(Text("I420")), Sink)
    assert StreamOptions(resolution=Text("640x480")).resolution == "640x480"


def test_numpy_scalars_are_accepted():
    np = pytest.importorskip("numpy")
    opts = StreamOptions(overlay=np.bool_(True), bitrate=np.int64(1500), transcode=np.bool_(False))
    assert opts.overlay is True
    assert opts.transcode is False
    assert opts.bitrate == 1500
    assert ReconnectOptions(retry_delay_s=np.float32(0.5)).retry_delay_s == 0.5
    assert isinstance(Src.app(np.uint32(640), np.int16(480), "RGB", np.bool_(False)), Src)
    with pytest.raises(OverflowError) as info:
        Crop(top=np.int64(-1))
    assert str(info.value) == OUT_OF_RANGE


@pytest.mark.parametrize(
    "thunk, expected, param",
    [
        # conversion runs in parameter order and stops at the first failure
        (call(StreamOptions, codec="x", bitrate=-1), TypeError, "codec"),
        (call(StreamOptions, bitrate=-1, overlay=1), OverflowError, None),
        (call(StreamOptions, overlay=1, fps=-1), TypeError, "overlay"),
        # keyword order does not matter, parameter order does
        (call(StreamOptions, crop=5, flip=0), TypeError, "flip"),
        (call(StreamOptions, encoder_profile=0, keyframe_interval="k"), TypeError, "keyframe_interval"),
        (call(StreamOptions, keyframe_interval=-1, flip=0), OverflowError, None),
        (call(StreamOptions, reconnect=5, crop=5), TypeError, "crop"),
        (call(ReconnectOptions, disconnect_grace_s=None, max_retries=None, retry_delay_s="x"), TypeError, "retry_delay_s"),
        (call(Src.camera, -1, "bad"), OverflowError, None),
        (call(Src.app, -1, "480"), OverflowError, None),
        (call(Src.app, "640", -1), TypeError, "width"),
        (call(Src.images, 1, -1), TypeError, "path"),
        (call(Sink.udp_rtp, 1, 65536), TypeError, "host"),
        (call(Sink.whip, "e", stun_server=1, token=2), TypeError, "token"),
        (call(Stream, 5, Sink.fake(), 6), TypeError, "src"),
    ],
)
def test_first_failing_parameter_decides_the_error(thunk, expected, param):
    with pytest.raises(Exception) as info:
        thunk()
    assert type(info.value) is expected
    if param is None:
        assert str(info.value) == OUT_OF_RANGE
    else:
        assert str(info.value).startswith(f"argument '{param}': ")
