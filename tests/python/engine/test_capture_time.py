"""A capture time given by the program survives encoding, RTP and a second stream."""

import pytest

import orvane_video as ov
from engine_support import NS_PER_S, free_udp_port

WIDTH, HEIGHT = 320, 240
FRAME_INTERVAL_NS = 33_333_333
# The RTP extension carries a 32-bit binary fraction of a second. Multiples of
# 1/512 s (1 953 125 ns) are exact in it; other values come back up to 1 ns lower.
EXACT_STEP_NS = NS_PER_S // 512
BASE_NS = 1_600_000_000 * NS_PER_S


@pytest.mark.parametrize(
    "step_ns, tolerance_ns",
    [(17 * EXACT_STEP_NS, 0), (FRAME_INTERVAL_NS, 1)],
    ids=["exact-in-the-extension", "any-nanosecond"],
)
def test_pushed_capture_times_come_out_of_the_receiving_stream(step_ns, tolerance_ns, streams):
    port = free_udp_port()
    receiver = streams(ov.Stream(ov.Src.udp_rtp(port), ov.Sink.app()))
    receiver.open()
    sender = streams(ov.Stream(ov.Src.app(WIDTH, HEIGHT, auto_timestamp=False), ov.Sink.udp_rtp("127.0.0.1", port)))
    sender.open()

    pixels = bytes(range(256)) * (WIDTH * HEIGHT * 3 // 256)
    pushed = []
    received = []
    for index in range(300):
        stamp = BASE_NS + index * step_ns
        pushed.append(stamp)
        assert sender.send_frame(pixels, timestamp_ns=stamp) is True
        frame = receiver.recv_frame(timeout_ms=30)
        if frame is not None:
            received.append(frame)
        if len(received) >= 20:
            break
    assert len(received) >= 20, f"only {len(received)} frames came through"
    for frame in received:
        assert (frame.width, frame.height) == (WIDTH, HEIGHT)
        nearest = min(pushed, key=lambda p: abs(p - frame.timestamp_ns))
        assert 0 <= nearest - frame.timestamp_ns <= tolerance_ns, (frame.timestamp_ns, nearest)
    stamps = [f.timestamp_ns for f in received]
    assert stamps == sorted(stamps)
