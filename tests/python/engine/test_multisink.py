"""Several sinks on one stream: each receives, and one failing branch does not
take the others down."""

import logging
import os
import re

import pytest

import orvane_video as ov
from engine_support import (
    TIMESTAMP_EXTENSION_ID,
    collect_frames,
    ffprobe_video,
    parse_rtp,
    receive_datagrams,
)

BRANCH_1_REMOVED = r"^\[stream\] branch 1 error, removing: \[(filesink|qtmux)\d+\] "


@pytest.fixture
def unwritable_file():
    """A file that opens for writing and fails on the first flush (ENOSPC)."""
    if not os.path.exists("/dev/full"):
        pytest.skip("/dev/full is needed for a sink that fails while running")
    return "/dev/full"


@pytest.mark.parametrize("source", ["live", "file"])
def test_raw_and_encoded_sinks_all_receive(source, media, tmp_path, udp_receiver, streams):
    out = tmp_path / "out.mp4"
    rtp = udp_receiver()
    src = ov.Src.test() if source == "live" else ov.Src.file(str(media["clip"]))
    stream = streams(ov.Stream(src, [ov.Sink.app(), ov.Sink.file(str(out)),
                                     ov.Sink.udp_rtp("127.0.0.1", rtp.getsockname()[1])]))
    stream.open()
    frames = collect_frames(stream.recv_frame, 10, timeout=15)
    packets = receive_datagrams(rtp, 10, until=lambda d: len(d) >= 10)
    stream.close()
    assert len(frames) == 10
    assert all((f.width, f.height, f.format) == (320, 240, "RGB") for f in frames)
    assert len(packets) >= 10
    assert all(TIMESTAMP_EXTENSION_ID in parse_rtp(p)["elements"] for p in packets)
    probe = ffprobe_video(out)
    assert probe["codec"] == "h264" and probe["frames"] > 0


def test_encoded_sinks_share_one_encoding(tmp_path, udp_receiver, streams):
    ts = udp_receiver()
    stream = streams(ov.Stream(ov.Src.test(), [ov.Sink.app_encoded(), ov.Sink.fake(),
                                               ov.Sink.udp_mpegts("127.0.0.1", ts.getsockname()[1])]))
    stream.open()
    units = collect_frames(stream.recv_encoded, 10, timeout=15)
    datagrams = receive_datagrams(ts, 10, until=lambda d: len(d) >= 60)
    stream.close()
    assert len(units) == 10
    assert all(u.data.startswith((b"\x00\x00\x00\x01", b"\x00\x00\x01")) for u in units)
    capture = tmp_path / "capture.ts"
    capture.write_bytes(b"".join(datagrams))
    probe = ffprobe_video(capture)
    assert probe["codec"] == "h264" and probe["frames"] > 0


def test_failing_branch_is_removed_with_a_warning(unwritable_file, logs, streams):
    stream = streams(ov.Stream(ov.Src.test(), [ov.Sink.app(), ov.Sink.file(unwritable_file)]))
    stream.open()
    removed = logs.wait_for(BRANCH_1_REMOVED, timeout=20, logger="orvane_video.stream", level=logging.WARNING)
    assert removed, logs.messages()
    assert "No space left" in removed[0] or "Could not multiplex" in removed[0]
    assert not logs.matching(r"branch 1: reconnecting"), "no rebuild without a reconnect policy"


def test_other_sinks_keep_receiving_after_a_branch_fails(unwritable_file, logs, streams):
    stream = streams(ov.Stream(ov.Src.test(), [ov.Sink.app(), ov.Sink.file(unwritable_file)]))
    stream.open()
    assert logs.wait_for(BRANCH_1_REMOVED, timeout=20)
    frames = collect_frames(stream.recv_frame, 30, timeout=15)
    assert len(frames) == 30
    assert stream.close() is None


def test_failed_branch_is_rebuilt_once_per_failure(unwritable_file, logs, streams):
    options = ov.StreamOptions(reconnect=ov.ReconnectOptions(retry_delay_s=0.1, max_retries=2))
    stream = streams(ov.Stream(ov.Src.test(), [ov.Sink.app(), ov.Sink.file(unwritable_file)], options))
    stream.open()
    assert logs.wait_for(r"^\[stream\] branch 1: (reconnected|reconnect failed)", timeout=20), logs.messages()
    stream.close()

    lines = logs.messages(logger="orvane_video.stream")
    first_removal = next(i for i, m in enumerate(lines) if re.match(BRANCH_1_REMOVED, m))
    first_outcome = next(i for i, m in enumerate(lines) if re.match(r"^\[stream\] branch 1: (reconnected|reconnect failed)", m))
    window = lines[first_removal:first_outcome]
    rebuilds = [m for m in window if m.startswith("[stream] branch 1: reconnecting")]
    # Every error message of the failed branch is reported, but one rebuild runs.
    assert rebuilds == ["[stream] branch 1: reconnecting in 0.1s (attempt 1)"], window


BRANCH_NAMED_PARSER = "filesrc location={} ! h264parse name=branch_7"


@pytest.mark.parametrize("policy", [None, 0], ids=["no-policy", "max_retries-0"])
def test_branch_named_element_outside_the_sink_list_fails_the_whole_pipeline(policy, media, logs, streams):
    options = None
    if policy is not None:
        options = ov.StreamOptions(reconnect=ov.ReconnectOptions(retry_delay_s=0.1, max_retries=policy))
    source = ov.Src.custom(BRANCH_NAMED_PARSER.format(media["garbage"]))
    stream = streams(ov.Stream(source, [ov.Sink.fake(), ov.Sink.app_encoded()], options))
    stream.open()
    with pytest.raises(RuntimeError) as raised:
        stream.run(30)
    if policy is None:
        assert re.match(r"pipeline error: \[branch_7\] No valid frames found before end of stream\n  debug: ",
                        str(raised.value)), str(raised.value)
    else:
        assert str(raised.value) == "configuration error: max reconnect attempts reached"
        assert re.match(r"^\[stream\] pipeline error: \[branch_7\] ",
                        logs.messages(logger="orvane_video.stream", level=logging.ERROR)[0])
    assert not logs.matching(r"branch 7"), "an index outside the sink list is not a branch"
