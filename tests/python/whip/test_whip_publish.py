"""Publishing to a live WHIP endpoint (aiortc) that decodes what it receives."""

import contextlib
import socket
import time

import pytest

import orvane_video as ov


STUN_MAGIC_COOKIE = bytes.fromhex("2112a442")


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


def test_stun_server_is_asked_during_gathering(endpoint):
    # A STUN server that never answers: gathering asks it, gives up on it, and
    # publishing goes on with the host candidates.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stun:
        stun.bind(("10.77.0.2", 0))
        stun.settimeout(0.2)
        port = stun.getsockname()[1]
        stream = ov.Stream(ov.Src.test(), ov.Sink.whip(endpoint.url, stun_server=f"stun://10.77.0.2:{port}"))
        try:
            stream.open()
            assert endpoint.wait_frames(10)
        finally:
            stream.close()
        requests = []
        with contextlib.suppress(socket.timeout):
            while True:
                requests.append(stun.recv(2048))
    binding_requests = [r for r in requests if r[:2] == b"\x00\x01" and r[4:8] == STUN_MAGIC_COOKIE]
    assert binding_requests, "the STUN server was never asked"
