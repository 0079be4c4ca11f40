"""Opening, running and closing a stream, seen through the Python API."""

import gc
import re
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import orvane_video as ov
from engine_support import (
    NOT_OPEN,
    call_in_thread,
    exactly,
    falls_silent,
    ffprobe_video,
    receive_datagrams,
)

START_LINE = r"^\[orvane-video\] src="


def test_open_and_close_are_idempotent(logs, streams):
    stream = streams(ov.Stream(ov.Src.test(), ov.Sink.app()))
    assert stream.close() is None  # never opened
    assert stream.open() is None
    assert stream.open() is None
    assert len(logs.matching(START_LINE)) == 1, "a second open() must not build another pipeline"
    assert stream.recv_frame(timeout_ms=5000) is not None
    assert stream.close() is None
    assert stream.close() is None
    with pytest.raises(RuntimeError, match=exactly(NOT_OPEN)):
        stream.recv_frame(timeout_ms=0)

    stream.open()  # reopens after close
    assert len(logs.matching(START_LINE)) == 2
    assert stream.recv_frame(timeout_ms=5000) is not None
    stream.close()


@pytest.mark.parametrize("history", ["never opened", "opened and closed"])
@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda s: s.run(), NOT_OPEN),
        (lambda s: s.run(1.0), NOT_OPEN),
        (lambda s: s.recv_frame(timeout_ms=0), NOT_OPEN),
        (lambda s: s.recv_encoded(timeout_ms=0), NOT_OPEN),
        (lambda s: s.send_frame(bytes(4 * 2 * 3)), False),
        (lambda s: s.send_frame(bytes(4 * 2 * 3), timestamp_ns=1), False),
        (lambda s: s.send_encoded(b"\x00\x00\x00\x01\x09\x10"), False),
        (lambda s: s.close(), None),
    ],
    ids=["run", "run-seconds", "recv_frame", "recv_encoded", "send_frame", "send_frame-ts",
         "send_encoded", "close"],
)
def test_methods_of_a_closed_stream(history, call, expected):
    stream = ov.Stream(ov.Src.app(4, 2), ov.Sink.app_encoded())
    if history == "opened and closed":
        stream.open()
        stream.close()
    if isinstance(expected, str):
        with pytest.raises(RuntimeError, match=exactly(expected)):
            call(stream)
    else:
        assert call(stream) is expected


def test_context_manager_opens_closes_and_reraises(streams):
    stream = streams(ov.Stream(ov.Src.test(), ov.Sink.app()))
    with pytest.raises(ZeroDivisionError):
        with stream as entered:
            assert entered is stream
            assert stream.recv_frame(timeout_ms=5000) is not None
            1 / 0
    with pytest.raises(RuntimeError, match=exactly(NOT_OPEN)):
        stream.recv_frame(timeout_ms=0)


@pytest.mark.parametrize("seconds", [0, 0.5, 1])
def test_run_with_a_time_limit_closes_the_stream(streams, seconds):
    stream = streams(ov.Stream(ov.Src.test(), ov.Sink.app()))
    stream.open()
    finished, result, error = call_in_thread(lambda: stream.run(seconds), timeout=30)
    assert finished and error is None and result is None
    with pytest.raises(RuntimeError, match=exactly(NOT_OPEN)):
        stream.recv_frame(timeout_ms=0)


def test_run_returns_when_a_file_ends(media, streams):
    stream = streams(ov.Stream(ov.Src.file(str(media["clip"])), ov.Sink.fake()))
    stream.open()
    finished, result, error = call_in_thread(stream.run, timeout=30)
    assert finished, "run() did not return after the file ended"
    assert error is None and result is None
    with pytest.raises(RuntimeError, match=exactly(NOT_OPEN)):
        stream.run()


def test_ended_stream_stays_open_until_closed(media, streams, logs):
    stream = streams(ov.Stream(ov.Src.file(str(media["clip"])), ov.Sink.app()))
    stream.open()
    frames = []
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        frame = stream.recv_frame(timeout_ms=3000)
        if frame is None:
            break
        frames.append(frame)
    assert len(frames) >= 10, "a one-second 30 fps clip should yield most of its frames"
    assert {(f.width, f.height, f.format) for f in frames} == {(320, 240, "RGB")}

    # Ended, but open: open() does not rebuild, receiving answers None.
    assert stream.open() is None
    assert len(logs.matching(START_LINE)) == 1
    assert stream.recv_frame(timeout_ms=100) is None
    finished, result, error = call_in_thread(stream.run, timeout=30)
    assert finished and error is None and result is None


def test_restart_builds_a_new_pipeline(streams, logs):
    stream = streams(ov.Stream(ov.Src.test(), ov.Sink.app()))
    stream.open()
    assert stream.recv_frame(timeout_ms=5000) is not None
    assert stream.restart() is None
    assert len(logs.matching(START_LINE)) == 2
    assert stream.recv_frame(timeout_ms=5000) is not None
    stream.close()
    assert stream.restart() is None  # from closed it just opens
    assert len(logs.matching(START_LINE)) == 3


def test_pipeline_error_is_reported_once(garbage_copy, streams):
    stream = streams(ov.Stream(ov.Src.file(str(garbage_copy)), ov.Sink.fake()))
    stream.open()
    finished, _, error = call_in_thread(stream.run, timeout=30)
    assert finished
    assert isinstance(error, RuntimeError)
    assert re.match(r"pipeline error: \[typefind\] Could not determine type of stream\.\n  debug: .+",
                    str(error), re.S), str(error)
    assert stream.close() is None  # delivered once
    assert stream.open() is None  # and the stream can be opened afresh


def test_restart_after_a_failure_raises_it_then_opens(garbage_copy, streams, logs):
    stream = streams(ov.Stream(ov.Src.file(str(garbage_copy)), ov.Sink.fake()))
    stream.open()
    time.sleep(3)  # the demuxer gives up on the unreadable file well within this
    with pytest.raises(RuntimeError, match=r"^pipeline error: \[typefind\]"):
        stream.restart()
    with pytest.raises(RuntimeError, match=exactly(NOT_OPEN)):
        stream.run()  # stayed closed
    assert stream.restart() is None
    assert len(logs.matching(START_LINE)) == 2


CTRL_C_CHILD = """
import sys
import orvane_video as ov

stream = ov.Stream(ov.Src.test(), ov.Sink.file(sys.argv[1]))
stream.open()
print("ready", flush=True)
try:
    stream.run()
except KeyboardInterrupt as exc:
    print("caught", type(exc).__name__, str(exc), flush=True)
    raise
print("run returned", flush=True)
"""


def test_ctrl_c_during_run_closes_and_finishes_the_file(tmp_path):
    out = tmp_path / "interrupted.mp4"
    script = tmp_path / "child.py"
    script.write_text(textwrap.dedent(CTRL_C_CHILD))
    child = subprocess.Popen([sys.executable, str(script), str(out)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([child.stdout], [], [], 30)
        assert ready and child.stdout.readline().strip() == "ready"
        time.sleep(2)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert "caught KeyboardInterrupt interrupted" in stdout, stdout + stderr
    assert "KeyboardInterrupt: interrupted" in stderr
    assert "run returned" not in stdout
    probe = ffprobe_video(out)
    assert probe["codec"] == "h264"
    assert probe["frames"] > 0


def test_stream_dropped_while_open_stops_its_pipeline(udp_receiver):
    sock = udp_receiver()
    stream = ov.Stream(ov.Src.test(), ov.Sink.udp_rtp("127.0.0.1", sock.getsockname()[1]))
    stream.open()
    assert len(receive_datagrams(sock, 10, until=lambda d: len(d) >= 5)) >= 5
    del stream
    gc.collect()
    assert falls_silent(sock, quiet=1.0, timeout=10), "packets kept coming after the stream was dropped"


def test_racing_opens_leave_one_running_pipeline(udp_receiver, logs):
    sock = udp_receiver()
    stream = ov.Stream(ov.Src.test(), ov.Sink.udp_rtp("127.0.0.1", sock.getsockname()[1]))
    rounds, racers = 3, 4
    for _ in range(rounds):
        barrier = threading.Barrier(racers)

        def racer():
            barrier.wait(timeout=10)
            stream.open()

        threads = [threading.Thread(target=racer, daemon=True) for _ in range(racers)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        assert not any(thread.is_alive() for thread in threads)
        assert len(receive_datagrams(sock, 10, until=lambda d: len(d) >= 3)) >= 3
        stream.close()
        assert falls_silent(sock, quiet=1.0, timeout=10), "a pipeline kept sending after close()"
    # Several opens did build at once, so losers existed and were stopped.
    assert len(logs.matching(START_LINE)) > rounds
