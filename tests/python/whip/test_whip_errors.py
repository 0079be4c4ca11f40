"""What a failed WHIP negotiation tells the program, against plain HTTP peers.

The offer is real (a test pattern through webrtcbin); the peers answer with
fixed statuses, never answer, or are not there. They all listen on 127.0.0.1.
"""

import time

import pytest

import orvane_video as ov

TOKEN = "s3cr3t-t0ken"


def open_error(endpoint, token=None):
    stream = ov.Stream(ov.Src.test(), ov.Sink.whip(endpoint, token=token))
    try:
        with pytest.raises(RuntimeError) as raised:
            stream.open()
    finally:
        stream.close()
    return str(raised.value)


@pytest.mark.parametrize(
    "status, body, content_type, truncated, text",
    [
        (401, b"denied", "text/plain", False, "WHIP server rejected offer: 401 Unauthorized \u2014 denied"),
        (404, b"", "text/plain", False, "WHIP server rejected offer: 404 Not Found \u2014 "),
        (404, b"gone", "text/plain", True, "WHIP server rejected offer: 404 Not Found \u2014 "),
        (599, b"overloaded", "text/plain", False,
         "WHIP server rejected offer: 599 <unknown status code> \u2014 overloaded"),
        (201, b"<html><body>created</body></html>", "text/html", False, "WHIP server answer is not SDP"),
        (200, b"v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n", "application/sdp", False,
         "WHIP server answer is not SDP: it has no media section"),
        (201, b"v=0\r\n", "application/sdp", True, "request or response body error for url (http://127.0.0.1:{port}/whip)"),
    ],
    ids=["401-with-body", "404-empty", "404-unreadable-body", "599-unknown", "2xx-html", "2xx-sdp-without-media",
         "2xx-unreadable-body"],
)
def test_answers_the_session_cannot_use(plain_http, engine_log, status, body, content_type, truncated, text):
    server = plain_http(status, body, content_type, truncated)
    error = open_error(f"http://127.0.0.1:{server.port}/whip", token=TOKEN)
    assert error == "WHIP negotiation failed: " + text.format(port=server.port)
    assert len(server.requests) == 1
    method, path, headers = server.requests[0]
    assert (method, path) == ("POST", "/whip")
    assert headers["Authorization"] == "Bearer " + TOKEN
    # the token goes to the server and nowhere else
    assert TOKEN not in error
    assert not [m for m in engine_log.messages() if TOKEN in m]


def test_server_that_never_answers_fails_at_the_request_limit(silent_server):
    started = time.monotonic()
    error = open_error(f"http://127.0.0.1:{silent_server.port}/whip")
    waited = time.monotonic() - started
    assert error == f"WHIP negotiation failed: error sending request for url (http://127.0.0.1:{silent_server.port}/whip)"
    # the request limit ended it, well before the connection wait would have started
    assert 9.5 <= waited < 30


@pytest.mark.parametrize(
    "endpoint, text",
    [
        ("http://127.0.0.1:{port}/whip", "error sending request for url (http://127.0.0.1:{port}/whip)"),
        ("http://127.0.0.1:{port}", "error sending request for url (http://127.0.0.1:{port}/)"),
        ("127.0.0.1:{port}/whip", "builder error"),
        ("", "builder error"),
    ],
    ids=["refused", "refused-empty-path", "no-scheme", "empty"],
)
def test_unreachable_or_unusable_endpoints(free_port, endpoint, text):
    error = open_error(endpoint.format(port=free_port))
    assert error == "WHIP negotiation failed: " + text.format(port=free_port)


def test_certificate_of_an_unknown_authority_is_refused(plain_http, self_signed_tls):
    server = plain_http(201, b"", tls_context=self_signed_tls)
    error = open_error(f"https://127.0.0.1:{server.port}/whip")
    assert error == f"WHIP negotiation failed: error sending request for url (https://127.0.0.1:{server.port}/whip)"
    assert server.requests == []
