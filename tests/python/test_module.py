"""The importable module: its names, its classes' type properties and signatures."""

import gc
import inspect
import weakref

import pytest

import orvane_video as ov
from orvane_video import (
    Codec,
    Crop,
    EncodedFrame,
    EncoderProfile,
    FlipMode,
    Frame,
    ImageFormat,
    ReconnectOptions,
    Sink,
    Src,
    Stream,
    StreamOptions,
)

EXPORTED = [
    "EncodedFrame",
    "Frame",
    "Crop",
    "StreamOptions",
    "ReconnectOptions",
    "Stream",
    "Codec",
    "EncoderProfile",
    "ImageFormat",
    "FlipMode",
    "Src",
    "Sink",
    "h264_encoder",
]

CLASSES = [name for name in EXPORTED if name != "h264_encoder"]
NO_CONSTRUCTOR = ["EncodedFrame", "Frame", "Codec", "EncoderProfile", "ImageFormat", "FlipMode", "Src", "Sink"]

Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10


def sample_instances():
    """One instance of every class that Python code can obtain without a stream."""
    return {
        "Crop": Crop(),
        "StreamOptions": StreamOptions(),
        "ReconnectOptions": ReconnectOptions(),
        "Stream": Stream(Src.test(), Sink.fake()),
        "Codec": Codec.H264,
        "EncoderProfile": EncoderProfile.Balanced,
        "ImageFormat": ImageFormat.Png,
        "FlipMode": FlipMode.Rotate90,
        "Src": Src.test(),
        "Sink": Sink.fake(),
    }


def test_all_lists_the_exported_names_in_order():
    assert isinstance(ov.__all__, list)
    assert ov.__all__ == EXPORTED
    for name in EXPORTED:
        assert hasattr(ov, name)


def test_star_import_brings_exactly_the_exported_names():
    namespace = {}
    exec("from orvane_video import *", namespace)
    namespace.pop("__builtins__")
    assert sorted(namespace) == sorted(EXPORTED)


def test_module_docstring_is_empty():
    assert not ov.__doc__


def test_reimport_returns_the_same_module_object(run_python):
    result = run_python(
        """
        import importlib, json, sys
        import orvane_video as first
        all_before = list(first.__all__)
        src_class = first.Src
        del sys.modules["orvane_video"]
        second = importlib.import_module("orvane_video")
        print(json.dumps({
            "same": second is first,
            "same_class": second.Src is src_class,
            "all": second.__all__,
            "all_before": all_before,
        }))
        """
    )
    assert result["same"]
    assert result["same_class"]
    # nothing is registered a second time
    assert result["all"] == result["all_before"] == EXPORTED


def test_second_interpreter_cannot_import_but_first_keeps_working(run_python):
    result = run_python(
        """
        import json
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print(json.dumps({"skip": True}))
            raise SystemExit(0)
        import orvane_video
        interp = interpreters.create()
        error = None
        try:
            interpreters.run_string(interp, "import orvane_video")
        except Exception as exc:
            error = str(exc)
        finally:
            interpreters.destroy(interp)
        print(json.dumps({
            "skip": False,
            "error": error,
            "still_works": isinstance(orvane_video.Src.test(), orvane_video.Src),
        }))
        """
    )
    if result["skip"]:
        pytest.skip("this interpreter has no sub-interpreter module")
    assert result["error"] is not None and "ImportError" in result["error"]
    assert result["still_works"]


@pytest.mark.parametrize("name", CLASSES)
def test_class_is_a_final_heap_type_in_builtins(name):
    cls = getattr(ov, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__flags__ & Py_TPFLAGS_HEAPTYPE
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_class_without_constructor_refuses_direct_construction(name):
    cls = getattr(ov, name)
    for args in [(), (0,), ("H264",)]:
        with pytest.raises(TypeError) as info:
            cls(*args)
        assert str(info.value) == f"No constructor defined for {name}"


@pytest.mark.parametrize("name", list(sample_instances()))
def test_instances_have_no_dict_no_weakref_and_no_extra_attributes(name):
    obj = sample_instances()[name]
    assert type(obj).__name__ == name
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.not_a_field = 1
    assert not gc.is_tracked(obj)


@pytest.mark.parametrize(
    "cls, signature",
    [
        (Crop, "(top=0, bottom=0, left=0, right=0)"),
        (Stream, "(src, sink, options=None)"),
        (
            StreamOptions,
            "(codec=None, bitrate=4000, resolution=None, overlay=False, fps=None, "
            "keyframe_interval=30, flip=None, crop=None, reconnect=None, transcode=False, "
            "congestion_control=True, encoder_profile=None)",
        ),
        (ReconnectOptions, "(retry_delay_s=2.0, max_retries=None, disconnect_grace_s=2.0)"),
    ],
)
def test_constructor_signature_is_exposed(cls, signature):
    assert cls.__text_signature__ == signature
    assert str(inspect.signature(cls)) == signature
    # nothing follows the signature in the docstring
    assert not cls.__doc__


@pytest.mark.parametrize("cls", [Src, Sink, Codec, EncoderProfile, ImageFormat, FlipMode, Frame, EncodedFrame])
def test_class_without_constructor_has_empty_docstring_and_no_signature(cls):
    assert not cls.__doc__
    assert cls.__text_signature__ is None


SRC_SIGNATURES = {
    "test": "()",
    "camera": "(device_index=0, resolution=None)",
    "rtsp": "(url)",
    "udp_rtp": "(port)",
    "udp_mpegts": "(port)",
    "custom": "(description)",
    "file": "(location, start_ns=None)",
    "images": "(path, fps, start_ns=None)",
    "app": '(width, height, format="RGB", auto_timestamp=True)',
    "app_encoded": "(codec=None)",
    "app_image": "(format)",
    "display": "(monitor_index=0)",
}

SINK_SIGNATURES = {
    "whip": "(endpoint, token=None, stun_server=None)",
    "udp_rtp": "(host, port)",
    "udp_mpegts": "(host, port)",
    "app_encoded": "()",
    "fake": "()",
    "file": "(location)",
    "display": "()",
    "app": '(format="RGB")',
}


@pytest.mark.parametrize(
    "cls, name, signature",
    [(Src, n, s) for n, s in SRC_SIGNATURES.items()] + [(Sink, n, s) for n, s in SINK_SIGNATURES.items()],
    ids=[f"Src.{n}" for n in SRC_SIGNATURES] + [f"Sink.{n}" for n in SINK_SIGNATURES],
)
def test_static_constructor_signature(cls, name, signature):
    method = getattr(cls, name)
    assert method.__name__ == name
    assert method.__text_signature__ == signature
    # the docstring holds the signature only
    assert not method.__doc__


@pytest.mark.parametrize("cls, names", [(Src, list(SRC_SIGNATURES)), (Sink, list(SINK_SIGNATURES))])
def test_static_constructors_are_the_only_public_names_in_declaration_order(cls, names):
    assert [k for k in vars(cls) if not k.startswith("_")] == names


def test_static_constructors_can_be_called_on_an_instance():
    assert isinstance(Src.test().camera(), Src)
    assert isinstance(Src.test().images("frames", 30), Src)
    assert isinstance(Sink.fake().udp_rtp("127.0.0.1", 5000), Sink)


def test_h264_encoder_is_a_builtin_bound_to_the_module():
    fn = ov.h264_encoder
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == "h264_encoder"
    assert fn.__module__ == "orvane_video"
    assert fn.__self__ is ov
    assert fn.__text_signature__ == "()"
    assert not fn.__doc__
