"""Constructing a Stream from a source, one sink or a list of sinks, and options.

Construction only copies values: nothing is checked against the media
framework, and the rules for several sinks wait until the stream is opened.
"""

import pytest

from orvane_video import (
    Crop,
    EncodedFrame,
    Frame,
    ReconnectOptions,
    Sink,
    Src,
    Stream,
    StreamOptions,
)


class SinkList(list):
    pass


@pytest.mark.parametrize(
    "sink",
    [
        Sink.fake(),
        [Sink.fake()],
        [],
        [Sink.fake(), Sink.udp_rtp("127.0.0.1", 5004)],
        # several-sink rules are enforced when the stream opens, not here
        [Sink.display(), Sink.display()],
        [Sink.app(), Sink.app_encoded()],
        [Sink.app(), Sink.app()],
        SinkList([Sink.fake(), Sink.file("/tmp/out.mov")]),
        SinkList(),
    ],
    ids=["single", "list-of-one", "empty-list", "two", "two-displays", "app-and-encoded", "two-apps",
         "list-subclass", "empty-list-subclass"],
)
def test_sink_argument_forms_are_accepted(sink):
    stream = Stream(Src.test(), sink)
    assert type(stream) is Stream


@pytest.mark.parametrize(
    "options",
    [
        None,
        StreamOptions(),
        # values that only opening the stream refuses
        StreamOptions(resolution="banana"),
        StreamOptions(reconnect=ReconnectOptions(retry_delay_s=-1.0, disconnect_grace_s=float("nan"))),
        StreamOptions(crop=Crop(10, 10, 10, 10), fps=0, bitrate=0),
    ],
    ids=["none", "defaults", "bad-resolution", "bad-durations", "odd-values"],
)
def test_options_are_accepted_without_validation(options):
    assert type(Stream(Src.test(), Sink.fake(), options)) is Stream
    assert type(Stream(src=Src.test(), sink=Sink.fake(), options=options)) is Stream


def test_options_default_to_none():
    assert type(Stream(Src.camera(), Sink.fake())) is Stream


def test_one_source_and_sink_can_feed_several_streams():
    src, sink, opts = Src.udp_rtp(5000), Sink.fake(), StreamOptions()
    first = Stream(src, sink, opts)
    second = Stream(src, [sink, sink], opts)
    assert first is not second
    assert first != second


def test_the_list_passed_in_is_not_changed():
    sinks = [Sink.fake(), Sink.display()]
    snapshot = list(sinks)
    Stream(Src.test(), sinks)
    assert sinks == snapshot
    assert all(a is b for a, b in zip(sinks, snapshot))


@pytest.mark.parametrize(
    "sink, type_name",
    [
        ((Sink.fake(),), "tuple"),
        ((), "tuple"),
        (None, "NoneType"),
        (Src.test(), "Src"),
        ("fake", "str"),
        (Sink, "type"),
        ({Sink.fake()}, "set"),
        (iter([Sink.fake()]), "list_iterator"),
        # an offending element is named by its own type
        ([Sink.fake(), 5], "int"),
        ([None], "NoneType"),
        ([Sink.fake(), [Sink.fake()]], "list"),
        ([Sink.fake(), (Sink.fake(),)], "tuple"),
        ([Src.test()], "Src"),
    ],
    ids=["tuple", "empty-tuple", "none", "src", "str", "class", "set", "iterator", "int-item", "none-item",
         "nested-list", "tuple-item", "src-item"],
)
def test_refused_sink_argument_has_no_argument_prefix(sink, type_name):
    with pytest.raises(TypeError) as info:
        Stream(Src.test(), sink)
    assert str(info.value) == f"'{type_name}' object cannot be converted to 'Sink'"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"src": "test"}, "argument 'src': 'str' object cannot be converted to 'Src'"),
        ({"src": None}, "argument 'src': 'NoneType' object cannot be converted to 'Src'"),
        ({"src": Src}, "argument 'src': 'type' object cannot be converted to 'Src'"),
        ({"options": 5}, "argument 'options': 'int' object cannot be converted to 'StreamOptions'"),
        ({"options": {}}, "argument 'options': 'dict' object cannot be converted to 'StreamOptions'"),
        (
            {"options": ReconnectOptions()},
            "argument 'options': 'ReconnectOptions' object cannot be converted to 'StreamOptions'",
        ),
    ],
)
def test_refused_src_or_options_name_the_argument(kwargs, message):
    args = {"src": Src.test(), "sink": Sink.fake(), **kwargs}
    with pytest.raises(TypeError) as info:
        Stream(**args)
    assert str(info.value) == message


def test_arguments_are_converted_in_order():
    # src before sink
    with pytest.raises(TypeError) as info:
        Stream("x", (Sink.fake(),), 5)
    assert str(info.value) == "argument 'src': 'str' object cannot be converted to 'Src'"
    # sink before options
    with pytest.raises(TypeError) as info:
        Stream(Src.test(), (Sink.fake(),), 5)
    assert str(info.value) == "'tuple' object cannot be converted to 'Sink'"


@pytest.mark.parametrize("cls", [Frame, EncodedFrame], ids=lambda c: c.__name__)
def test_frame_classes_cannot_be_built_by_the_program(cls):
    with pytest.raises(TypeError) as info:
        cls(b"\x00\x00\x00\x01")
    assert str(info.value) == f"No constructor defined for {cls.__name__}"
