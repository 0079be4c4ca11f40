"""Every sink kind fed from a live and from a file source, checked from outside."""

import subprocess
import time

import pytest

import orvane_video as ov
from engine_support import (
    NS_PER_S,
    ONE_BYTE_EXTENSION_PROFILE,
    PAYLOAD_TYPE,
    RTP_VERSION,
    TIMESTAMP_EXTENSION_ID,
    capture_time_ns,
    collect_frames,
    ffprobe_video,
    parse_rtp,
    receive_datagrams,
)

# Source timestamps of live streams are wall-clock capture times; allow for a
# slow machine between capture and the check.
WALL_CLOCK_SLACK_NS = 5 * NS_PER_S
FILE_START_NS = 1_500_000_000 * NS_PER_S


def make_source(kind, media, start_ns=None):
    if kind == "live":
        return ov.Src.test()
    return ov.Src.file(str(media["clip"]), start_ns)


SOURCES = ["live", "file"]


@pytest.mark.parametrize("source", SOURCES)
def test_file_sink_writes_h264_mp4(source, media, tmp_path, streams):
    out = tmp_path / "out.mp4"
    stream = streams(ov.Stream(make_source(source, media), ov.Sink.file(str(out))))
    stream.open()
    assert stream.run(0.8) is None  # close() finishes the file with end of stream
    probe = ffprobe_video(out)
    assert probe["codec"] == "h264"
    assert probe["frames"] > 0
    assert (probe["width"], probe["height"]) == (320, 240)


def assert_rtp_video(packets):
    assert packets, "no RTP packets arrived"
    parsed = [parse_rtp(p) for p in packets]
    for rtp in parsed:
        assert rtp["version"] == RTP_VERSION
        assert rtp["payload_type"] == PAYLOAD_TYPE
        assert rtp["profile"] == ONE_BYTE_EXTENSION_PROFILE
        assert TIMESTAMP_EXTENSION_ID in rtp["elements"]
    assert len({rtp["ssrc"] for rtp in parsed}) == 1
    return parsed


@pytest.mark.parametrize(
    "source, start_ns",
    [("live", None), ("file", None), ("file", FILE_START_NS)],
    ids=["live", "file", "file-start_ns"],
)
def test_udp_rtp_sink_carries_capture_time(source, start_ns, media, rtp_receivers, streams):
    rtp_sock, rtcp_sock = rtp_receivers
    port = rtp_sock.getsockname()[1]
    stream = streams(ov.Stream(make_source(source, media, start_ns), ov.Sink.udp_rtp("127.0.0.1", port)))
    before = time.time_ns()
    stream.open()
    packets = receive_datagrams(rtp_sock, 10, until=lambda d: len(d) >= 30)
    after = time.time_ns()
    parsed = assert_rtp_video(packets)
    stamps = [capture_time_ns(rtp) for rtp in parsed]
    if start_ns is None:
        # Live capture times, or the wall clock standing in for a file without an origin.
        assert all(before - WALL_CLOCK_SLACK_NS <= ts <= after + WALL_CLOCK_SLACK_NS for ts in stamps), stamps
    else:
        # The file's frames count from the given origin (the clip lasts one second).
        assert all(start_ns <= ts <= start_ns + 2 * NS_PER_S for ts in stamps), stamps
    if source == "live":
        rtcp = receive_datagrams(rtcp_sock, 15, until=lambda d: len(d) >= 1)
        assert rtcp, f"no RTCP on port {port + 1}"
        assert rtcp[0][0] >> 6 == RTP_VERSION
        assert 200 <= rtcp[0][1] <= 204  # sender or receiver report, SDES, BYE, APP
    stream.close()


def test_udp_rtp_sink_on_the_last_port_sends_without_rtcp(udp_receiver, streams):
    try:
        sock = udp_receiver(65535)
    except OSError:
        pytest.skip("UDP port 65535 is taken on this machine")
    stream = streams(ov.Stream(ov.Src.test(), ov.Sink.udp_rtp("127.0.0.1", 65535)))
    stream.open()
    assert_rtp_video(receive_datagrams(sock, 10, until=lambda d: len(d) >= 10))


@pytest.mark.parametrize("source", SOURCES)
def test_udp_mpegts_sink_sends_a_readable_transport_stream(source, media, udp_receiver, tmp_path, streams):
    sock = udp_receiver()
    stream = streams(ov.Stream(make_source(source, media), ov.Sink.udp_mpegts("127.0.0.1", sock.getsockname()[1])))
    stream.open()
    datagrams = receive_datagrams(sock, 10, until=lambda d: len(d) >= 60)
    stream.close()
    assert datagrams
    for datagram in datagrams:
        assert len(datagram) % 188 == 0
        assert all(datagram[i] == 0x47 for i in range(0, len(datagram), 188)), "lost TS sync byte"
    capture = tmp_path / "capture.ts"
    capture.write_bytes(b"".join(datagrams))
    probe = ffprobe_video(capture)
    assert probe["codec"] == "h264"
    assert probe["frames"] > 0


@pytest.mark.parametrize(
    "source, fmt, frame_size",
    [
        ("live", "RGB", 320 * 240 * 3),
        ("live", "I420", 320 * 240 * 3 // 2),
        ("live", "GRAY8", 320 * 240),
        ("file", "RGB", 320 * 240 * 3),
    ],
)
def test_app_sink_delivers_raw_frames(source, fmt, frame_size, media, streams):
    stream = streams(ov.Stream(make_source(source, media), ov.Sink.app(fmt)))
    before = time.time_ns()
    stream.open()
    frames = collect_frames(stream.recv_frame, 5, timeout=15)
    after = time.time_ns()
    assert len(frames) == 5
    for frame in frames:
        assert (frame.width, frame.height, frame.format) == (320, 240, fmt)
        assert isinstance(frame.data, bytes) and len(frame.data) == frame_size
        assert frame.data is frame.data
        assert before - WALL_CLOCK_SLACK_NS <= frame.timestamp_ns <= after + WALL_CLOCK_SLACK_NS
    stamps = [f.timestamp_ns for f in frames]
    assert stamps == sorted(stamps) and len(set(stamps)) == len(stamps)


def nal_unit_types(access_unit):
    """H.264 NAL unit types of an Annex B access unit."""
    types = []
    i = 0
    while True:
        i = access_unit.find(b"\x00\x00\x01", i)
        if i < 0 or i + 3 >= len(access_unit):
            return types
        types.append(access_unit[i + 3] & 0x1F)
        i += 3


@pytest.mark.parametrize("source", SOURCES)
def test_app_encoded_sink_delivers_h264_access_units(source, media, streams):
    stream = streams(ov.Stream(make_source(source, media), ov.Sink.app_encoded()))
    before = time.time_ns()
    stream.open()
    units = collect_frames(stream.recv_encoded, 10, timeout=15)
    after = time.time_ns()
    assert len(units) == 10
    for unit in units:
        assert unit.data.startswith((b"\x00\x00\x00\x01", b"\x00\x00\x01")), unit.data[:8].hex()
        types = nal_unit_types(unit.data)
        assert any(t in (1, 5) for t in types), f"no picture in access unit: {types}"
        assert before - WALL_CLOCK_SLACK_NS <= unit.timestamp_ns <= after + WALL_CLOCK_SLACK_NS
    first = nal_unit_types(units[0].data)
    assert {7, 8, 5} <= set(first), f"first access unit lacks SPS/PPS/IDR: {first}"
    stamps = [u.timestamp_ns for u in units]
    assert stamps == sorted(stamps)


def obu_types(temporal_unit):
    """Walk a low-overhead AV1 bitstream (every OBU with a size field) and list OBU types."""
    types = []
    i = 0
    while i < len(temporal_unit):
        header = temporal_unit[i]
        assert header & 0x80 == 0, "forbidden bit set"
        assert header & 0x02, "OBU without size field: not an OBU stream"
        types.append((header >> 3) & 0x0F)
        i += 2 if header & 0x04 else 1
        size = shift = 0
        while True:
            byte = temporal_unit[i]
            i += 1
            size |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                break
        i += size
    assert i == len(temporal_unit), "OBU sizes do not add up to the buffer"
    return types


def test_app_encoded_sink_delivers_av1_temporal_units(tmp_path, streams):
    av1 = tmp_path / "clip.mkv"
    made = subprocess.run(
        ["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30",
         "-t", "1", "-c:v", "libsvtav1", "-preset", "12", str(av1)],
        capture_output=True, timeout=120)
    if made.returncode != 0:
        pytest.skip("this ffmpeg cannot encode AV1 with libsvtav1")
    description = f"filesrc location={av1} ! matroskademux ! av1parse"
    stream = streams(ov.Stream(ov.Src.custom(description), ov.Sink.app_encoded(),
                               ov.StreamOptions(codec=ov.Codec.AV1)))
    stream.open()
    units = collect_frames(stream.recv_encoded, 30, timeout=15)
    assert len(units) == 30, "every temporal unit of the clip reaches the application"
    assert 1 in obu_types(units[0].data), "first temporal unit carries the sequence header"
    for unit in units:
        assert any(t in (3, 6) for t in obu_types(unit.data)), "a temporal unit without a frame"


def test_app_source_frame_reaches_app_sink_unchanged(streams):
    stream = streams(ov.Stream(ov.Src.app(4, 2, auto_timestamp=False), ov.Sink.app()))
    stream.open()
    pixels = bytes(range(24))
    stamp = 1_700_000_000_123_456_789
    assert stream.send_frame(pixels, timestamp_ns=stamp) is True
    frame = stream.recv_frame(timeout_ms=5000)
    assert frame is not None
    assert (frame.width, frame.height, frame.format) == (4, 2, "RGB")
    assert frame.data == pixels
    assert frame.timestamp_ns == stamp


def test_auto_timestamped_app_source_warns_once_and_stamps_wall_clock(logs, streams):
    stream = streams(ov.Stream(ov.Src.app(64, 48), ov.Sink.app()))
    stream.open()
    before = time.time_ns()
    received = []
    for _ in range(5):
        assert stream.send_frame(bytes(64 * 48 * 3)) is True
        frame = stream.recv_frame(timeout_ms=5000)
        assert frame is not None
        received.append(frame)
    after = time.time_ns()
    assert all(before <= f.timestamp_ns <= after for f in received)
    warnings = logs.matching(r"^send_frame called without timestamp_ns — falling back to wall clock\. "
                             r"Pass timestamp_ns to send_frame for accurate timestamps\.$",
                             logger="orvane_video.pipeline")
    assert len(warnings) == 1
