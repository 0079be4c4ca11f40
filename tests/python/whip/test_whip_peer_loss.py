"""A WHIP peer that vanishes: the loss report, and what each policy makes of it.

libnice 0.1.21 notices a silent peer only after about 45 seconds (consent
freshness cannot be switched on at run time there), and a peer that closes
cleanly is not noticed sooner, so these tests take about a minute each.
"""

import re

import pytest

import orvane_video as ov

LOSS = re.compile(r"WHIP (connection lost|ICE lost|disconnected)")
LOSS_WAIT_S = 120


def loss_warnings(engine_log):
    return [m for m in engine_log.messages("orvane_video.whip") if m.endswith(", reconnecting")]


def quick_retries():
    return ov.StreamOptions(reconnect=ov.ReconnectOptions(retry_delay_s=0.5))


@pytest.mark.slow
def test_without_a_policy_the_stream_ends_with_the_loss(endpoint, engine_log):
    stream = ov.Stream(ov.Src.test(), ov.Sink.whip(endpoint.url))
    stream.open()
    assert endpoint.wait_frames(10)
    endpoint.kill()
    with pytest.raises(RuntimeError) as raised:
        stream.run(LOSS_WAIT_S)
    text = str(raised.value)
    assert text.startswith("pipeline error: [webrtcbin_0] WHIP ")
    assert LOSS.search(text), text
    assert text.endswith("\n  debug: none")
    assert len(loss_warnings(engine_log)) == 1


@pytest.mark.slow
def test_one_sink_with_a_policy_rebuilds_the_pipeline_and_publishes_again(endpoint, engine_log):
    stream = ov.Stream(ov.Src.test(), ov.Sink.whip(endpoint.url), quick_retries())
    try:
        stream.open()
        assert endpoint.wait_frames(10)
        endpoint.restart()  # the old peer is gone; a fresh one listens on the same URL
        assert engine_log.wait_for("[stream] reconnected", timeout=LOSS_WAIT_S, logger="orvane_video.stream")
        assert endpoint.wait_frames(10), "the rebuilt pipeline published nothing"
        # the statistics loop of the replaced pipeline has ended by itself
        assert engine_log.wait_for("[WHIP stats] pipeline", timeout=5, logger="orvane_video.stream")
    finally:
        stream.close()
    assert [(r["method"], r["path"]) for r in endpoint.state()["requests"]] == [("POST", "/whip")]
    assert len(loss_warnings(engine_log)) == 1
    assert engine_log.messages("orvane_video.stream", "[stream] branch") == []


@pytest.mark.slow
def test_two_sinks_rebuild_only_the_lost_branch(endpoint_factory, engine_log):
    steady, lost = endpoint_factory(), endpoint_factory()
    sinks = [ov.Sink.whip(steady.url), ov.Sink.whip(lost.url)]
    stream = ov.Stream(ov.Src.test(), sinks, quick_retries())
    try:
        stream.open()
        assert steady.wait_frames(10) and lost.wait_frames(10)
        lost.restart()

        removed = engine_log.wait_for("[stream] branch 1 error, removing: ", timeout=LOSS_WAIT_S)
        assert removed, "the lost branch was never removed"
        assert LOSS.search(removed[0].getMessage())
        frames_at_loss = steady.frames()
        assert engine_log.wait_for("[stream] branch 1: reconnected", timeout=30)
        assert lost.wait_frames(10), "the rebuilt branch published nothing"
        # the other sink kept publishing through the loss and the rebuild
        assert steady.wait_frames(frames_at_loss + 30, timeout=10)
    finally:
        stream.close()

    assert [r["method"] for r in steady.state()["requests"]] == ["POST"]
    assert [r["method"] for r in lost.state()["requests"]] == ["POST"]
    assert engine_log.messages("orvane_video.stream", "[stream] reconnect") == []
    assert engine_log.messages("orvane_video.stream", "[stream] branch 0") == []
