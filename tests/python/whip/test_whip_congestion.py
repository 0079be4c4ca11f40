"""Congestion control against a receiver that loses packets on purpose."""

import re

import pytest

import orvane_video as ov

DECREASE = re.compile(r"^\[AIMD\] (?:pli\+\d+ )?loss=\d+\.\d% \u2192 (\d+) \u2192 (\d+) kbps$")
CYCLE = re.compile(r"^\[WHIP\] actual=\d+kbps target=(\d+)kbps rtt=\S+ms jitter=\S+ms loss=\S+% pli\+\d+$")


def targets(engine_log):
    lines = engine_log.messages("orvane_video.stream", "[WHIP] actual=")
    return [int(CYCLE.match(line).group(1)) for line in lines]


@pytest.mark.slow
def test_bitrate_falls_under_loss_and_climbs_back_after_it(endpoint, engine_log):
    stream = ov.Stream(ov.Src.test(), ov.Sink.whip(endpoint.url), ov.StreamOptions(bitrate=2000))
    try:
        stream.open()
        assert endpoint.wait_frames(10)
        endpoint.control(drop=0.3)
        decreases = engine_log.wait_for("[AIMD]", count=2, timeout=30, logger="orvane_video.stream")
        assert decreases, f"no decrease under loss; cycles: {targets(engine_log)}"
        steps = [tuple(map(int, DECREASE.match(r.getMessage()).groups())) for r in decreases]
        assert all(r.levelname == "INFO" for r in decreases)
        assert steps[0] == (2000, 1700)
        assert steps[1] == (1700, 1445)

        endpoint.control(drop=0)
        seen = len(targets(engine_log))
        climbed = engine_log.wait_for("[WHIP] actual=", count=seen + 12, timeout=30, logger="orvane_video.stream")
        assert climbed
    finally:
        stream.close()

    after = targets(engine_log)[seen:]
    lowest = min(after)
    assert lowest < 2000
    # once the losses stop, the target climbs by 100 per cycle
    rising = after[after.index(lowest):]
    assert any(b - a == 100 for a, b in zip(rising, rising[1:])), rising
    assert rising[-1] > lowest
