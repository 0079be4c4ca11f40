"""Publishing to a live WHIP endpoint (aiortc) that decodes what it receives."""

import time

import pytest

import orvane_video as ov


def whip_requests(endpoint):
    return [(r["method"], r["path"]) for r in endpoint.state()["requests"]]


@pytest.mark.parametrize("token", [None, "TOKEN"], ids=["without-token", "with-token"])
def test_test_pattern_is_decoded_by_the_endpoint(endpoint, engine_log, token):
    stream = ov.Stream(ov.Src.test(), ov.Sink.whip(endpoint.url, token=token))
    try:
        stream.open()  # returns once the peer connection is up
        assert engine_log.messages("orvane_video.whip", "[WHIP] Connected") == ["[WHIP] Connected"]
        assert endpoint.wait_frames(30), "the endpoint decoded no frames"
    finally:
        stream.close()

    state = endpoint.state()
    assert [(r["method"], r["path"]) for r in state["requests"]] == [("POST", "/whip")]
    headers = state["requests"][0]["headers"]
    assert headers["Content-Type"] == "application/sdp"
    if token is None:
        assert "Authorization" not in headers
    else:
        assert headers["Authorization"] == "Bearer TOKEN"

    # the statistics loop notices the closed pipeline by itself
    ended = engine_log.wait_for("[WHIP stats] pipeline", timeout=5, logger="orvane_video.stream")
    assert ended
    assert ended[0].getMessage() in (
        "[WHIP stats] pipeline state Null, exiting",
        "[WHIP stats] pipeline dropped, exiting",
    )
    # closing sends nothing to the endpoint
    time.sleep(0.5)
    assert whip_requests(endpoint) == [("POST", "/whip")]


def test_frames_pushed_by_the_program_are_decoded(endpoint):
    width, height = 320, 240
    stream = ov.Stream(ov.Src.app(width, height), ov.Sink.whip(endpoint.url))
    try:
        stream.open()
        for i in range(90):
            shade = (i * 3) % 256
            stream.send_frame(bytes([shade, 255 - shade, 128]) * (width * height))
            time.sleep(1 / 30)
        assert endpoint.wait_frames(20, timeout=10), "the endpoint decoded too few pushed frames"
    finally:
        stream.close()
    assert whip_requests(endpoint) == [("POST", "/whip")]


def test_each_open_negotiates_once(endpoint):
    stream = ov.Stream(ov.Src.test(), ov.Sink.whip(endpoint.url))
    for _ in range(2):
        stream.open()
        stream.close()
    assert whip_requests(endpoint) == [("POST", "/whip")] * 2
