"""Input the engine must survive: broken descriptions, missing files, frames of
the wrong size, garbage on the network, calls that do not fit the stream."""

import random
import subprocess

import pytest

import orvane_video as ov
from engine_support import (
    NOT_OPEN,
    call_in_thread,
    exactly,
    collect_frames,
    free_udp_port,
    mpegts_sender_command,
    rtp_sender_command,
    run_script,
    udp_socket,
)


def empty_dir(tmp_path):
    path = tmp_path / "no_images"
    path.mkdir()
    (path / "notes.txt").write_text("not an image")
    return str(path)


OPEN_FAILURES = [
    ("unknown-element", lambda tmp: ov.Src.custom("nosuchelement0 ! h264parse"), lambda tmp: ov.Sink.fake(), None,
     exactly('pipeline build failed: Failed to parse pipeline description: no element "nosuchelement0"')),
    ("syntax-error", lambda tmp: ov.Src.custom("videotestsrc ! ! h264parse"), lambda tmp: ov.Sink.fake(), None,
     r"^pipeline build failed: Failed to parse pipeline description: .+"),
    ("no-parser", lambda tmp: ov.Src.custom("videotestsrc ! x264enc"), lambda tmp: ov.Sink.fake(), None,
     exactly("pipeline build failed: No parser found in pipeline description — make sure it ends with e.g. h264parse")),
    ("missing-file", lambda tmp: ov.Src.file("/nonexistent.mp4"), lambda tmp: ov.Sink.fake(), None,
     r'(?s)^configuration error: \[filesrc\d+\] Resource not found\.\n  debug: .*No such file "/nonexistent\.mp4"$'),
    ("missing-image-dir", lambda tmp: ov.Src.images(str(tmp / "absent"), 30), lambda tmp: ov.Sink.fake(), None,
     exactly("pipeline build failed: Cannot read image directory: No such file or directory (os error 2)")),
    ("no-images", lambda tmp: ov.Src.images(empty_dir(tmp), 30), lambda tmp: ov.Sink.fake(), None,
     r"^pipeline build failed: No PNG or JPEG images found in directory: .*/no_images$"),
    ("file-sink-in-missing-dir", lambda tmp: ov.Src.test(), lambda tmp: ov.Sink.file(str(tmp / "absent" / "x.mp4")),
     None, r'^configuration error: \[filesink\d+\] Could not open file ".*/absent/x\.mp4" for writing\.\n  debug: '),
    ("empty-sink-list", lambda tmp: ov.Src.test(), lambda tmp: [], None,
     exactly("configuration error: sink list is empty")),
    ("two-displays", lambda tmp: ov.Src.test(), lambda tmp: [ov.Sink.display(), ov.Sink.display()], None,
     exactly("configuration error: at most one Sink::Display allowed in multi-sink")),
    ("app-and-app-encoded", lambda tmp: ov.Src.test(), lambda tmp: [ov.Sink.app(), ov.Sink.app_encoded()], None,
     exactly("configuration error: cannot use both Sink::App and Sink::AppEncoded in multi-sink")),
    ("two-apps", lambda tmp: ov.Src.test(), lambda tmp: [ov.Sink.app(), ov.Sink.app()], None,
     exactly("configuration error: at most one Sink::App or Sink::AppEncoded allowed in multi-sink")),
    ("bad-resolution", lambda tmp: ov.Src.test(), lambda tmp: ov.Sink.fake(), ov.StreamOptions(resolution="banana"),
     exactly("Invalid resolution 'banana'. Expected format WIDTHxHEIGHT (e.g., 1280x720).")),
]


@pytest.mark.parametrize("make_src, make_sink, options, message",
                         [case[1:] for case in OPEN_FAILURES], ids=[case[0] for case in OPEN_FAILURES])
def test_open_failure_leaves_the_stream_closed(make_src, make_sink, options, message, tmp_path):
    stream = ov.Stream(make_src(tmp_path), make_sink(tmp_path), options)
    with pytest.raises(RuntimeError, match=message):
        stream.open()
    with pytest.raises(RuntimeError, match=exactly(NOT_OPEN)):
        stream.run()
    with pytest.raises(RuntimeError, match=message):
        stream.open()  # may be retried, and fails the same way
    assert stream.close() is None


def test_failed_open_releases_what_the_pipeline_held(tmp_path):
    port = free_udp_port()
    stream = ov.Stream(ov.Src.udp_rtp(port), [ov.Sink.app(), ov.Sink.file(str(tmp_path / "absent" / "x.mp4"))])
    with pytest.raises(RuntimeError, match=r"^configuration error: \[filesink\d+\] "):
        stream.open()
    # The source had bound the port; a pipeline brought down releases it.
    udp_socket(port).close()


WIDTH, HEIGHT = 64, 48
GOOD_FRAME = bytes(range(256)) * (WIDTH * HEIGHT * 3 // 256)
MARK_NS = 1_700_000_000_000_000_000


@pytest.mark.parametrize("size", [1, 10, WIDTH * HEIGHT * 3 - 1, WIDTH * HEIGHT * 3 + 100, WIDTH * HEIGHT * 6])
@pytest.mark.parametrize("auto_timestamp", [True, False])
def test_wrong_frame_sizes_do_not_break_the_stream(size, auto_timestamp, streams):
    stream = streams(ov.Stream(ov.Src.app(WIDTH, HEIGHT, auto_timestamp=auto_timestamp), ov.Sink.app()))
    stream.open()
    for index in range(5):
        accepted = stream.send_frame(bytes([index]) * size, timestamp_ns=MARK_NS - 1000 + index)
        assert isinstance(accepted, bool)
    assert stream.send_frame(GOOD_FRAME, timestamp_ns=MARK_NS) in (True, False)
    frames = []
    try:
        while not frames or frames[-1].timestamp_ns != MARK_NS:
            frame = stream.recv_frame(timeout_ms=3000)
            if frame is None:
                break
            frames.append(frame)
        stream.close()
    except RuntimeError as exc:  # the stream may end on its own, but only with an error text
        assert str(exc).startswith("pipeline error: "), str(exc)
        return
    for frame in frames:
        assert (frame.width, frame.height, len(frame.data)) == (WIDTH, HEIGHT, WIDTH * HEIGHT * 3)
    assert frames and frames[-1].timestamp_ns == MARK_NS, "the good frame was lost"
    assert frames[-1].data == GOOD_FRAME


EMPTY_PUSH = """
import json
import orvane_video as ov
stream = ov.Stream(__STREAM__)
stream.open()
accepted = stream.__CALL__
stream.close()
print(json.dumps({"accepted": accepted}))
"""


@pytest.mark.parametrize(
    "stream, call",
    [
        ("ov.Src.app(64, 48), ov.Sink.app()", "send_frame(b'')"),
        ("ov.Src.app(64, 48, auto_timestamp=False), ov.Sink.app()", "send_frame(b'', timestamp_ns=5)"),
        ("ov.Src.app_encoded(), ov.Sink.app_encoded()", "send_encoded(b'')"),
    ],
    ids=["send_frame", "send_frame-ts", "send_encoded"],
)
def test_empty_push_is_refused_without_crashing(stream, call):
    result, stderr = run_script(EMPTY_PUSH.replace("__STREAM__", stream).replace("__CALL__", call), timeout=60)
    assert isinstance(result["accepted"], bool)
    assert "CRITICAL" not in stderr, stderr


def garbage_datagrams(rng):
    """Random bytes, RTP-looking headers with random payloads, and TS-looking packets."""
    datagrams = []
    for _ in range(100):
        datagrams.append(rng.randbytes(rng.randint(1, 1400)))
        rtp_header = bytes([0x80 | rng.choice([0, 0x10]), 96]) + rng.randbytes(10)
        datagrams.append(rtp_header + rng.randbytes(rng.randint(0, 1200)))
        datagrams.append(b"".join(b"\x47" + rng.randbytes(187) for _ in range(7)))
    return datagrams


@pytest.mark.parametrize("kind", ["udp_rtp", "udp_mpegts"])
def test_garbage_on_a_udp_source_port_is_survived(kind, streams):
    port = free_udp_port()
    source = ov.Src.udp_rtp(port) if kind == "udp_rtp" else ov.Src.udp_mpegts(port)
    stream = streams(ov.Stream(source, ov.Sink.app()))
    stream.open()
    rng = random.Random(7)
    with udp_socket() as sender:
        for datagram in garbage_datagrams(rng):
            sender.sendto(datagram, ("127.0.0.1", port))
    command = rtp_sender_command(port, 4) if kind == "udp_rtp" else mpegts_sender_command(port, 4)
    peer = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        frames = collect_frames(stream.recv_frame, 10, timeout=15)
    finally:
        peer.kill()
        peer.wait(10)
    assert len(frames) == 10, "real video after the garbage did not come through"
    assert all((f.width, f.height) == (320, 240) for f in frames)


RECV_ENCODED_REFUSED = "recv_encoded requires Sink.app_encoded()"


@pytest.mark.parametrize("opened", [False, True], ids=["closed", "open"])
@pytest.mark.parametrize(
    "sink",
    [lambda: ov.Sink.app(), lambda: ov.Sink.fake(), lambda: [ov.Sink.app(), ov.Sink.fake()]],
    ids=["app", "fake", "app+fake"],
)
def test_recv_encoded_needs_an_app_encoded_sink(sink, opened, streams):
    stream = streams(ov.Stream(ov.Src.test(), sink()))
    if opened:
        stream.open()
    with pytest.raises(RuntimeError, match=exactly(RECV_ENCODED_REFUSED)):
        stream.recv_encoded(timeout_ms=0)


def test_pushes_and_pulls_that_do_not_fit_the_stream(streams):
    stream = streams(ov.Stream(ov.Src.test(), ov.Sink.fake()))
    stream.open()
    assert stream.send_frame(GOOD_FRAME) is False  # no application source
    assert stream.send_encoded(b"\x00\x00\x00\x01\x09\x10") is False
    assert stream.recv_frame(timeout_ms=50) is None  # no application sink


def test_recv_frame_without_a_waiting_frame_returns_none(streams):
    stream = streams(ov.Stream(ov.Src.app(WIDTH, HEIGHT, auto_timestamp=False), ov.Sink.app()))
    stream.open()
    # Ten immediate polls finish long before ten default one-second waits would.
    finished, results, error = call_in_thread(lambda: [stream.recv_frame(timeout_ms=0) for _ in range(10)],
                                              timeout=5)
    assert finished and error is None and results == [None] * 10
    finished, result, error = call_in_thread(stream.recv_frame, timeout=15)  # default wait, bounded
    assert finished and error is None and result is None
    assert stream.send_frame(GOOD_FRAME, timestamp_ns=MARK_NS) is True
    frame = stream.recv_frame(timeout_ms=5000)
    assert frame is not None and frame.timestamp_ns == MARK_NS


def test_short_raw_frames_are_refused_and_long_ones_cut_to_the_frame(streams):
    stream = streams(ov.Stream(ov.Src.app(WIDTH, HEIGHT, auto_timestamp=False), ov.Sink.app()))
    stream.open()
    assert stream.send_frame(GOOD_FRAME[:-1], timestamp_ns=MARK_NS - 1) is False
    assert stream.send_frame(GOOD_FRAME + b"tail", timestamp_ns=MARK_NS) is True
    frame = stream.recv_frame(timeout_ms=3000)
    assert frame is not None and frame.timestamp_ns == MARK_NS
    assert frame.data == GOOD_FRAME
