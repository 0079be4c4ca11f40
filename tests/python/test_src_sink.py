"""The source and sink descriptors built by the static constructors of Src and Sink.

Descriptors expose no attributes, so these tests check what a caller can see:
which calls build a descriptor and which raise, and that descriptors are plain
identity-compared values.
"""

import pytest

from orvane_video import Codec, ImageFormat, Sink, Src

OUT_OF_RANGE = "out of range integral type conversion attempted"

VALID_SOURCES = [
    ("test", (), {}),
    ("camera", (), {}),
    ("camera", (1,), {}),
    ("camera", (0, None), {}),
    ("camera", (2,), {"resolution": " 1280x720 "}),
    ("rtsp", ("rtsp://127.0.0.1:8554/cam",), {}),
    ("rtsp", ("",), {}),
    ("udp_rtp", (5000,), {}),
    ("udp_rtp", (0,), {}),
    ("udp_rtp", (65535,), {}),
    ("udp_mpegts", (5001,), {}),
    ("custom", ("videotestsrc ! x264enc ! h264parse",), {}),
    ("custom", ("",), {}),
    ("file", ("/tmp/in.mp4",), {}),
    ("file", ("in.mp4", None), {}),
    ("file", ("in.mp4",), {"start_ns": 1_700_000_000_000_000_000}),
    ("file", ("",), {"start_ns": 0}),
    ("images", ("frames", 30), {}),
    ("images", ("frames", 0), {}),
    ("images", ("frames", 1, None), {}),
    ("images", ("frames", 1, 5), {}),
    ("app", (640, 480), {}),
    ("app", (640, 480, "I420"), {}),
    ("app", (640, 480, "RGB", False), {}),
    ("app", (0, 0, ""), {"auto_timestamp": True}),
    ("app_encoded", (), {}),
    ("app_encoded", (None,), {}),
    ("app_encoded", (Codec.H265,), {}),
    ("app_encoded", (), {"codec": Codec.AV1}),
    ("app_image", (ImageFormat.Jpeg,), {}),
    ("app_image", (), {"format": ImageFormat.Png}),
    ("display", (), {}),
    ("display", (3,), {}),
    ("display", (), {"monitor_index": 0}),
]


@pytest.mark.parametrize("name, args, kwargs", VALID_SOURCES)
def test_source_constructor_builds_a_new_src(name, args, kwargs):
    first = getattr(Src, name)(*args, **kwargs)
    second = getattr(Src, name)(*args, **kwargs)
    assert type(first) is Src
    assert first is not second


VALID_SINKS = [
    ("whip", ("https://example.test/whip",), {}),
    ("whip", ("https://example.test/whip", None, None), {}),
    ("whip", ("https://example.test/whip",), {"token": None}),
    ("whip", ("https://example.test/whip", "secret", "stun:stun.example.test:3478"), {}),
    ("whip", ("",), {"stun_server": ""}),
    ("udp_rtp", ("127.0.0.1", 5004), {}),
    ("udp_rtp", ("127.0.0.1", 0), {}),
    ("udp_rtp", ("", 65535), {}),
    ("udp_mpegts", ("127.0.0.1", 5006), {}),
    ("app_encoded", (), {}),
    ("fake", (), {}),
    ("file", ("/tmp/out.mov",), {}),
    ("file", ("",), {}),
    ("display", (), {}),
    ("app", (), {}),
    ("app", ("I420",), {}),
    ("app", (), {"format": ""}),
]


@pytest.mark.parametrize("name, args, kwargs", VALID_SINKS)
def test_sink_constructor_builds_a_new_sink(name, args, kwargs):
    first = getattr(Sink, name)(*args, **kwargs)
    second = getattr(Sink, name)(*args, **kwargs)
    assert type(first) is Sink
    assert first is not second


@pytest.mark.parametrize("make", [Src.test, Sink.fake, lambda: Src.udp_rtp(5000)])
def test_descriptors_compare_and_hash_by_identity(make):
    a, b = make(), make()
    assert a == a
    assert a != b
    assert hash(a) == hash(a)
    assert len({a, b}) == 2
    assert object.__repr__(a) == repr(a)
    assert f"builtins.{type(a).__name__}" in repr(a)


@pytest.mark.parametrize("obj", [Src.camera(1), Sink.udp_rtp("h", 1)], ids=["Src", "Sink"])
def test_descriptors_have_no_readable_fields(obj):
    public = [n for n in dir(obj) if not n.startswith("_")]
    # only the static constructors are visible on an instance
    assert all(callable(getattr(obj, n)) for n in public)
    for field in ["device_index", "resolution", "port", "host", "kind"]:
        assert not hasattr(obj, field)


@pytest.mark.parametrize(
    "thunk",
    [
        lambda: Src.camera(-1),
        lambda: Src.camera(device_index=2**32),
        lambda: Src.udp_rtp(65536),
        lambda: Src.udp_rtp(-1),
        lambda: Src.udp_mpegts(65536),
        lambda: Src.display(-1),
        lambda: Src.images("frames", -30),
        lambda: Sink.udp_rtp("127.0.0.1", 65536),
        lambda: Sink.udp_mpegts("127.0.0.1", -1),
    ],
)
def test_port_and_index_ranges(thunk):
    with pytest.raises(OverflowError) as info:
        thunk()
    assert str(info.value) == OUT_OF_RANGE


@pytest.mark.parametrize(
    "thunk, message",
    [
        (lambda: Src.camera("0"), None),
        (lambda: Src.app_encoded("H265"), "argument 'codec': 'str' object cannot be converted to 'Codec'"),
        (lambda: Src.app_encoded(0), "argument 'codec': 'int' object cannot be converted to 'Codec'"),
        (
            lambda: Src.app_image(None),
            "argument 'format': 'NoneType' object cannot be converted to 'ImageFormat'",
        ),
        (
            lambda: Src.app_image(Codec.H264),
            "argument 'format': 'Codec' object cannot be converted to 'ImageFormat'",
        ),
        (lambda: Src.app(640, 480, None), "argument 'format': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: Sink.app(None), "argument 'format': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: Sink.whip(None), "argument 'endpoint': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: Src.rtsp(None), "argument 'url': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_wrong_value_types(thunk, message):
    with pytest.raises(TypeError) as info:
        thunk()
    if message is None:
        assert str(info.value).startswith("argument 'device_index': ")
    else:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "text, message",
    [
        ("1280 x 720", "Invalid width in resolution '1280 x 720'"),
        ("0x720", "Invalid resolution '0x720'. Width and height must be positive."),
        ("720p", "Invalid resolution '720p'. Expected format WIDTHxHEIGHT (e.g., 1280x720)."),
    ],
)
def test_camera_rejects_a_bad_resolution_at_once(text, message):
    with pytest.raises(RuntimeError) as info:
        Src.camera(0, text)
    assert str(info.value) == message
