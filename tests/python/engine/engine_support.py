"""Plain helpers for the stream engine tests: RTP parsing, UDP reading, ffprobe."""

import json
import os
import re
import select
import socket
import subprocess
import sys
import textwrap
import threading
import time

import orvane_video as ov

RTP_VERSION = 2
PAYLOAD_TYPE = 96
ONE_BYTE_EXTENSION_PROFILE = 0xBEDE
TIMESTAMP_EXTENSION_ID = 1
NS_PER_S = 1_000_000_000

NOT_OPEN = "stream not open — call open() first or use as a context manager"


def exactly(text):
    """A regular expression that matches `text` and nothing else."""
    return "^" + re.escape(text) + "$"


def wait_until(predicate, timeout, step=0.02):
    """Poll predicate until it is true or timeout seconds pass; return its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def udp_socket(port=0):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 * 1024 * 1024)
    sock.bind(("127.0.0.1", port))
    return sock


def free_udp_port():
    """A UDP port that was free a moment ago, for elements that bind it themselves."""
    with udp_socket() as sock:
        return sock.getsockname()[1]


def receive_datagrams(sock, duration, until=None):
    """Read datagrams for `duration` seconds (or until `until(datagrams)` holds)."""
    datagrams = []
    deadline = time.monotonic() + duration
    while time.monotonic() < deadline:
        ready, _, _ = select.select([sock], [], [], 0.05)
        if ready:
            datagrams.append(sock.recv(65536))
            if until is not None and until(datagrams):
                break
    return datagrams


def drain(sock):
    sock.setblocking(False)
    try:
        while True:
            sock.recv(65536)
    except BlockingIOError:
        pass
    finally:
        sock.setblocking(True)


def falls_silent(sock, quiet=1.0, timeout=10.0):
    """True when no datagram arrives on sock for `quiet` seconds within `timeout`."""
    deadline = time.monotonic() + timeout
    last = time.monotonic()
    while time.monotonic() < deadline:
        ready, _, _ = select.select([sock], [], [], 0.05)
        now = time.monotonic()
        if ready:
            sock.recv(65536)
            last = now
        elif now - last >= quiet:
            return True
    return False


def parse_rtp(packet):
    """Header fields and the one-byte header extension elements of an RTP packet."""
    assert len(packet) >= 12, f"short RTP packet: {len(packet)} bytes"
    first = packet[0]
    csrc_count = first & 0x0F
    offset = 12 + 4 * csrc_count
    rtp = {
        "version": first >> 6,
        "extension": bool(first & 0x10),
        "payload_type": packet[1] & 0x7F,
        "sequence": int.from_bytes(packet[2:4], "big"),
        "timestamp": int.from_bytes(packet[4:8], "big"),
        "ssrc": int.from_bytes(packet[8:12], "big"),
        "profile": None,
        "elements": {},
    }
    if rtp["extension"]:
        rtp["profile"] = int.from_bytes(packet[offset:offset + 2], "big")
        words = int.from_bytes(packet[offset + 2:offset + 4], "big")
        data = packet[offset + 4:offset + 4 + 4 * words]
        if rtp["profile"] == ONE_BYTE_EXTENSION_PROFILE:
            i = 0
            while i < len(data):
                if data[i] == 0:  # padding
                    i += 1
                    continue
                element_id, length = data[i] >> 4, (data[i] & 0x0F) + 1
                if element_id == 15:
                    break
                rtp["elements"][element_id] = data[i + 1:i + 1 + length]
                i += 1 + length
    return rtp


def capture_time_ns(rtp):
    """Decode the identifier-1 extension: Unix seconds and a 2^-32 s fraction."""
    data = rtp["elements"][TIMESTAMP_EXTENSION_ID]
    assert len(data) == 8, f"timestamp extension has {len(data)} bytes"
    seconds = int.from_bytes(data[:4], "big")
    fraction = int.from_bytes(data[4:], "big")
    return seconds * NS_PER_S + fraction * NS_PER_S // 2**32


def ffprobe_video(path):
    """Codec name and decoded frame count of the first video stream of a file."""
    proc = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames",
         "-show_entries", "stream=codec_name,nb_read_frames,width,height", "-of", "json", str(path)],
        capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 0, f"ffprobe failed on {path}: {proc.stderr}"
    streams = json.loads(proc.stdout).get("streams", [])
    assert streams, f"ffprobe found no video stream in {path}: {proc.stderr}"
    stream = streams[0]
    return {
        "codec": stream.get("codec_name"),
        "frames": int(stream.get("nb_read_frames", 0)),
        "width": stream.get("width"),
        "height": stream.get("height"),
    }


def collect_frames(receive, count, timeout):
    """Call receive() until `count` results arrive or `timeout` seconds pass.

    receive is a bound recv_frame/recv_encoded; a pipeline that is being torn
    down answers None at once, so a short pause keeps the loop from spinning.
    """
    frames = []
    deadline = time.monotonic() + timeout
    while len(frames) < count and time.monotonic() < deadline:
        frame = receive(timeout_ms=200)
        if frame is None:
            time.sleep(0.02)
        else:
            frames.append(frame)
    return frames


def rtp_sender_command(port, seconds, codec="libx264"):
    """ffmpeg sending a live H.264 test pattern as RTP (payload type 96) to 127.0.0.1:port."""
    return [
        "ffmpeg", "-v", "error", "-nostdin", "-re",
        "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30", "-t", str(seconds),
        "-c:v", codec, "-preset", "ultrafast", "-tune", "zerolatency", "-pix_fmt", "yuv420p",
        # A key frame with its parameter sets every half second: a receiver that
        # loses the first one on a busy machine still gets a decodable picture.
        "-g", "15", *(["-x264-params", "repeat-headers=1"] if codec == "libx264" else []),
        "-bsf:v", "h264_mp4toannexb", "-payload_type", str(PAYLOAD_TYPE),
        "-f", "rtp", f"rtp://127.0.0.1:{port}",
    ]


def mpegts_sender_command(port, seconds):
    return [
        "ffmpeg", "-v", "error", "-nostdin", "-re",
        "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30", "-t", str(seconds),
        "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-pix_fmt", "yuv420p",
        "-g", "15", "-x264-params", "repeat-headers=1",
        "-f", "mpegts", f"udp://127.0.0.1:{port}?pkt_size=1316",
    ]


def run_script(code, timeout=90):
    """Run Python code in a fresh interpreter that imports the same module.

    For scenarios that could hang while holding the interpreter lock, or that
    need their own process (signals, garbage collection of a whole process).
    The code must print one JSON document as its last stdout line.
    """
    env = os.environ.copy()
    module_dir = os.path.dirname(os.path.abspath(ov.__file__))
    env["PYTHONPATH"] = module_dir + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    lines = proc.stdout.strip().splitlines()
    assert proc.returncode == 0 and lines, (
        f"child exited with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr[-4000:]}"
    )
    return json.loads(lines[-1]), proc.stderr


def call_in_thread(function, timeout):
    """Call function on a new thread and wait at most `timeout` seconds.

    Returns (finished, result, exception). A call that does not finish in
    time is left running on its daemon thread so the test can report it.
    """
    outcome = {}

    def target():
        try:
            outcome["result"] = function()
        except BaseException as exc:  # noqa: BLE001 - handed back to the test
            outcome["exception"] = exc

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(timeout)
    return not thread.is_alive(), outcome.get("result"), outcome.get("exception")
