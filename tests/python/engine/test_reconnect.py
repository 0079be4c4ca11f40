"""Rebuilding a failed stream under a reconnect policy, giving up, and the
watchdog that turns a silent source into an error."""

import logging
import os
import re
import subprocess
import time

import pytest

import orvane_video as ov
from engine_support import (
    call_in_thread,
    collect_frames,
    free_udp_port,
    rtp_sender_command,
    run_script,
    udp_socket,
)

GIVE_UP_ERROR = "configuration error: max reconnect attempts reached"
GIVE_UP_LINE = "[stream] max reconnect attempts reached, giving up"


def policy(retry_delay_s, max_retries=None):
    return ov.StreamOptions(reconnect=ov.ReconnectOptions(retry_delay_s=retry_delay_s, max_retries=max_retries))


@pytest.fixture
def failing_source(garbage_copy):
    """A file source that opens, fails once running, and is gone for every rebuild."""

    def open_stream(options, streams):
        stream = streams(ov.Stream(ov.Src.file(str(garbage_copy)), ov.Sink.fake(), options))
        stream.open()
        os.unlink(garbage_copy)
        return stream

    return open_stream


def test_frames_resume_after_the_rtsp_server_restarts(rtsp_server, logs, streams):
    stream = streams(ov.Stream(ov.Src.rtsp(rtsp_server.url), ov.Sink.app(), policy(0.5)))
    stream.open()
    assert len(collect_frames(stream.recv_frame, 5, timeout=20)) == 5

    rtsp_server.stop()
    assert logs.wait_for(r"^\[stream\] reconnecting in 0\.5s \(attempt \d+\)$", timeout=20), logs.messages()
    rtsp_server.start()
    restarted = time.time_ns()

    frames = collect_frames(stream.recv_frame, 30, timeout=30)
    fresh = [f for f in frames if f.timestamp_ns >= restarted]
    assert len(fresh) >= 5, f"{len(fresh)} frames after the server came back"
    assert all((f.width, f.height) == (320, 240) for f in fresh)
    assert logs.matching(r"^\[stream\] reconnected$")
    assert stream.close() is None


@pytest.mark.parametrize("max_retries", [0, 3])
def test_limited_retries_log_each_attempt_then_give_up(max_retries, failing_source, logs, streams):
    stream = failing_source(policy(0.1, max_retries), streams)
    finished, _, error = call_in_thread(stream.run, timeout=60)
    assert finished
    assert isinstance(error, RuntimeError) and str(error) == GIVE_UP_ERROR

    lines = logs.messages(logger="orvane_video.stream")
    story = [m for m in lines if m.startswith("[stream]")]
    assert re.match(r"^\[stream\] pipeline error: \[typefind\] Could not determine type of stream\.\n  debug: ",
                    story[0]), story
    expected = []
    for attempt in range(1, max_retries + 1):
        expected.append(f"[stream] reconnecting in 0.1s (attempt {attempt})")
        expected.append("[stream] reconnect failed: configuration error: [filesrc")
    expected.append(GIVE_UP_LINE)
    assert len(story) == len(expected) + 1, story
    for line, start in zip(story[1:], expected):
        assert line.startswith(start), (line, start)
    assert all("Resource not found" in m for m in story if "reconnect failed" in m)
    levels = {r.getMessage(): r.levelno for r in logs.records}
    assert levels[GIVE_UP_LINE] == logging.WARNING
    assert levels[story[0]] == logging.ERROR


def test_unlimited_retries_keep_trying_until_closed(failing_source, logs, streams):
    stream = failing_source(policy(0.1), streams)
    assert logs.wait_for(r"^\[stream\] reconnecting in 0\.1s \(attempt 6\)$", timeout=30), logs.messages()
    finished, result, error = call_in_thread(stream.close, timeout=10)
    assert finished and error is None and result is None
    attempts = [int(m) for m in re.findall(r"\(attempt (\d+)\)", "\n".join(logs.messages()))]
    assert attempts[:6] == [1, 2, 3, 4, 5, 6]
    assert GIVE_UP_LINE not in logs.messages()


def test_close_interrupts_a_long_retry_delay(failing_source, logs, streams):
    stream = failing_source(policy(30.0), streams)
    assert logs.wait_for(r"^\[stream\] reconnecting in 30\.0s \(attempt 1\)$", timeout=20), logs.messages()
    finished, result, error = call_in_thread(stream.close, timeout=10)
    assert finished, "close() waited for the retry delay"
    assert error is None and result is None
    assert not logs.matching(r"reconnect failed|reconnected")


PUSH_RECONNECTION = """
import json, logging, os, threading, time
import orvane_video as ov

records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append((record.thread, record.getMessage()))
logging.getLogger("orvane_video").setLevel(logging.DEBUG)
logging.getLogger("orvane_video").addHandler(Keep())

WIDTH, HEIGHT = 320, 240
noise = os.urandom(WIDTH * HEIGHT * 3)


def attempt():
    records.clear()
    options = ov.StreamOptions(reconnect=ov.ReconnectOptions(retry_delay_s=30.0))
    # The file sink fails once the muxer flushes into a full device.
    stream = ov.Stream(ov.Src.app(WIDTH, HEIGHT, auto_timestamp=False), ov.Sink.file("/dev/full"), options)
    stream.open()
    stop = threading.Event()
    pusher_done = threading.Event()

    def push():
        while not stop.is_set():
            stream.send_frame(noise, timestamp_ns=time.time_ns())
        pusher_done.set()

    pusher = threading.Thread(target=push, daemon=True)
    pusher.start()

    def waiting():
        return any("reconnecting in 30.0s" in message for _, message in records)

    deadline = time.monotonic() + 30
    while not waiting() and time.monotonic() < deadline:
        time.sleep(0.05)  # runs only while no call holds the interpreter lock
    time.sleep(0.2)
    closer = threading.Thread(target=stream.close, daemon=True)
    closer.start()
    closer.join(10)
    stop.set()
    pusher_done.wait(10)
    return {
        "waiting": waiting(),
        "closed": not closer.is_alive(),
        "pusher_returned": pusher_done.is_set(),
        "by_pusher": any(thread == pusher.ident for thread, m in records if "reconnecting in" in m),
    }


# The push and the supervision thread race for the error message; try until
# a push has taken it at least once.
attempts = []
while len(attempts) < 8 and not any(a["by_pusher"] for a in attempts):
    attempts.append(attempt())
print(json.dumps(attempts))
"""


def test_close_stops_a_reconnection_started_by_a_push():
    if not os.path.exists("/dev/full"):
        pytest.skip("/dev/full is needed for a sink that fails while running")
    attempts, stderr = run_script(PUSH_RECONNECTION, timeout=300)
    assert any(a["by_pusher"] for a in attempts), (attempts, stderr[-2000:])
    for attempt in attempts:
        assert attempt["waiting"], (attempts, stderr[-2000:])
        assert attempt["closed"], "close() blocked behind the reconnection"
        assert attempt["pusher_returned"], "send_frame stayed in the retry delay after close()"


@pytest.mark.slow
def test_silent_udp_source_ends_the_stream(logs, streams):
    port = free_udp_port()
    stream = streams(ov.Stream(ov.Src.udp_rtp(port), ov.Sink.app()))
    stream.open()
    sender = subprocess.Popen(rtp_sender_command(port, seconds=1.5), stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)
    try:
        frames = collect_frames(stream.recv_frame, 5, timeout=15)
    finally:
        _, sender_errors = sender.communicate(timeout=60)
    assert sender.returncode == 0, sender_errors
    assert len(frames) == 5, "the sender's video did not arrive"

    finished, _, error = call_in_thread(lambda: stream.run(40), timeout=60)
    assert finished
    assert isinstance(error, RuntimeError)
    assert str(error) == "pipeline error: [pipeline] Source timed out — no data received\n  debug: none"
    warnings = logs.matching(r"^No data from source for 10s$", logger="orvane_video.pipeline", level=logging.WARNING)
    assert len(warnings) == 1
    # The failed pipeline was brought down: its socket no longer holds the port.
    udp_socket(port).close()
