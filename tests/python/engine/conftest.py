"""Fixtures of the stream engine tests: media made by ffmpeg, the RTSP test
server, UDP receivers and the engine's log records."""

import logging
import os
import re
import select
import shutil
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

from engine_support import udp_socket, wait_until

REPO_ROOT = Path(__file__).resolve().parents[3]

# The logging bridge caches each target's level at the first record it
# forwards, for the life of the process. Setting the level while pytest
# collects, before any test runs, lets every test here see info records.
logging.getLogger("orvane_video").setLevel(logging.DEBUG)


@pytest.fixture(scope="session")
def media(tmp_path_factory):
    """Media files made by ffmpeg once per session."""
    if shutil.which("ffmpeg") is None or shutil.which("ffprobe") is None:
        pytest.skip("ffmpeg and ffprobe are needed to make and check media")
    root = tmp_path_factory.mktemp("media")

    def ffmpeg(*args):
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", *args], check=True, timeout=120)

    clip = root / "clip.mp4"
    # An audio track first, then one second of 320x240 H.264 video at 30 fps.
    ffmpeg("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
           "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30",
           "-map", "0:a", "-map", "1:v", "-t", "1",
           "-c:a", "aac", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "15", str(clip))
    garbage = root / "garbage.mp4"
    garbage.write_bytes(os.urandom(256 * 1024))
    return {"clip": clip, "garbage": garbage, "root": root}


@pytest.fixture
def garbage_copy(media, tmp_path):
    """A private copy of a file no demuxer recognises (the test may delete it)."""
    path = tmp_path / "unreadable.mp4"
    shutil.copy(media["garbage"], path)
    return path


class LogRecords(logging.Handler):
    """Every record of the orvane_video loggers, with helpers to wait for lines."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self._lock = threading.Lock()
        self.records = []

    def emit(self, record):
        with self._lock:
            self.records.append(record)

    def messages(self, logger=None, level=None):
        with self._lock:
            records = list(self.records)
        return [r.getMessage() for r in records
                if (logger is None or r.name == logger) and (level is None or r.levelno == level)]

    def matching(self, pattern, logger=None, level=None):
        regex = re.compile(pattern)
        return [m for m in self.messages(logger, level) if regex.search(m)]

    def wait_for(self, pattern, timeout=10.0, count=1, logger=None, level=None):
        """Wait until `count` messages match; return the matches (maybe fewer on time-out)."""
        wait_until(lambda: len(self.matching(pattern, logger, level)) >= count, timeout)
        return self.matching(pattern, logger, level)

    def record_for(self, pattern):
        regex = re.compile(pattern)
        with self._lock:
            return next((r for r in self.records if regex.search(r.getMessage())), None)


@pytest.fixture
def logs():
    handler = LogRecords()
    logger = logging.getLogger("orvane_video")
    logger.addHandler(handler)
    yield handler
    logger.removeHandler(handler)


@pytest.fixture
def udp_receiver():
    """Make bound UDP sockets on 127.0.0.1; closed after the test."""
    sockets = []

    def make(port=0):
        sock = udp_socket(port)
        sockets.append(sock)
        return sock

    yield make
    for sock in sockets:
        sock.close()


@pytest.fixture
def rtp_receivers(udp_receiver):
    """Two sockets on neighbouring ports P (RTP) and P+1 (RTCP)."""
    for _ in range(50):
        rtp = udp_receiver()
        port = rtp.getsockname()[1]
        if port >= 65535:
            continue
        try:
            rtcp = udp_receiver(port + 1)
        except OSError:
            continue
        return rtp, rtcp
    pytest.fail("no two neighbouring UDP ports are free")


@pytest.fixture
def streams():
    """Streams made by a test; any still open are closed afterwards."""
    made = []

    def track(stream):
        made.append(stream)
        return stream

    yield track
    for stream in made:
        try:
            stream.close()
        except RuntimeError:
            pass


def _rtsp_server_binary():
    configured = os.environ.get("ORVANE_RTSP_SERVER")
    if configured:
        return configured if os.access(configured, os.X_OK) else None
    for build in ("build/release", "build/dev"):
        candidate = REPO_ROOT / build / "tests" / "peers" / "rtsp_server"
        if os.access(candidate, os.X_OK):
            return str(candidate)
    return None


class RtspServer:
    """Our RTSP test server on a fixed port, which can be stopped and started again."""

    def __init__(self, binary, codec="h264"):
        self.binary = binary
        self.codec = codec
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
            sock.bind(("127.0.0.1", 0))
            self.port = sock.getsockname()[1]
        self.url = f"rtsp://127.0.0.1:{self.port}/test"
        self.process = None

    def start(self, timeout=20.0):
        self.process = subprocess.Popen(
            [self.binary, "--port", str(self.port), "--codec", self.codec],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [], 0.1)
            if ready:
                line = self.process.stdout.readline()
                if line.strip() == "ready":
                    return
                if not line:
                    break
        self.stop()
        pytest.fail(f"RTSP test server did not become ready on port {self.port}")

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.process = None


@pytest.fixture
def rtsp_server():
    binary = _rtsp_server_binary()
    if binary is None:
        pytest.skip("RTSP test server not built (set ORVANE_RTSP_SERVER or build tests/peers/rtsp_server)")
    server = RtspServer(binary)
    server.start()
    yield server
    server.stop()
