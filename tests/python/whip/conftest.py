"""Peers of the WHIP tests: an aiortc endpoint in its own process, plain HTTP
servers with fixed answers, and a collector of the engine's log records.

WebRTC needs an address other than loopback. The endpoint tests run inside the
private network namespace of scripts/isolated.sh (OV_NETNS=1, veth pair with
10.77.0.1 and 10.77.0.2) and skip elsewhere. The plain HTTP fixtures listen on
127.0.0.1 and work anywhere.
"""

import contextlib
import http.server
import logging
import os
import socket
import ssl
import subprocess
import threading

import pytest

from endpoint_process import ENDPOINT_HOST, WhipEndpoint, wait_until

IN_NAMESPACE = os.environ.get("OV_NETNS") == "1"
NAMESPACE_REASON = (
    "WebRTC needs a non-loopback interface: run as root under scripts/isolated.sh, "
    "which provides the private network namespace with the veth pair 10.77.0.1/10.77.0.2"
)

# The log bridge fixes the level of each logger at the first record it forwards
# and keeps it for the life of the process. Set before any stream exists, so
# the statistics loop's debug lines reach these tests whatever ran earlier.
for _name in ("orvane_video.stream", "orvane_video.whip"):
    logging.getLogger(_name).setLevel(logging.DEBUG)


def pytest_report_header(config):
    if not IN_NAMESPACE:
        return f"WHIP endpoint tests will skip: {NAMESPACE_REASON}"
    return None


@pytest.fixture(autouse=True)
def _direct_connections(monkeypatch):
    # libcurl honours proxy variables; the tests talk to local peers only.
    for name in ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def endpoint_factory():
    if not IN_NAMESPACE:
        pytest.skip(NAMESPACE_REASON)
    started = []

    def make(host=ENDPOINT_HOST):
        started.append(WhipEndpoint(host))
        return started[-1]

    yield make
    for endpoint in started:
        endpoint.kill()


@pytest.fixture
def endpoint(endpoint_factory):
    return endpoint_factory()


class EngineLog(logging.Handler):
    """Every record of the orvane_video loggers while a test runs."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self._guard = threading.Lock()
        self._records = []

    def emit(self, record):
        with self._guard:
            self._records.append(record)

    def records(self, logger=None, prefix=""):
        with self._guard:
            return [
                r
                for r in self._records
                if (logger is None or r.name == logger) and r.getMessage().startswith(prefix)
            ]

    def messages(self, logger=None, prefix=""):
        return [r.getMessage() for r in self.records(logger, prefix)]

    def wait_for(self, prefix, count=1, timeout=20, logger=None):
        """The matching records once there are `count` of them; None after timeout."""

        def enough():
            found = self.records(logger, prefix)
            return found if len(found) >= count else None

        return wait_until(enough, timeout)


@pytest.fixture
def engine_log():
    handler = EngineLog()
    logger = logging.getLogger("orvane_video")
    logger.addHandler(handler)
    yield handler
    logger.removeHandler(handler)


class PlainHttp:
    """An HTTP server on 127.0.0.1 that answers every POST with one fixed response.

    A truncated response announces more body than it sends and closes the
    connection after what it sent.
    """

    def __init__(self, status, body=b"", content_type="text/plain", truncated=False, tls_context=None):
        answer = (status, body, content_type, truncated)
        self.requests = []
        requests = self.requests

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                requests.append((self.command, self.path, dict(self.headers)))
                self.rfile.read(int(self.headers.get("Content-Length", 0)))
                code, payload, kind, cut = answer
                self.send_response(code)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(payload) + (100 if cut else 0)))
                self.end_headers()
                self.wfile.write(payload)
                self.close_connection = cut

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if tls_context is not None:
            self.server.socket = tls_context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class SilentServer:
    """Accepts connections on 127.0.0.1 and never answers."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.accepted = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        with contextlib.suppress(OSError):
            while True:
                self.accepted.append(self.listener.accept()[0])

    def close(self):
        self.listener.close()
        for connection in self.accepted:
            connection.close()


@pytest.fixture
def plain_http():
    servers = []

    def make(*args, **kwargs):
        servers.append(PlainHttp(*args, **kwargs))
        return servers[-1]

    yield make
    for server in servers:
        server.close()


@pytest.fixture
def silent_server():
    server = SilentServer()
    yield server
    server.close()


@pytest.fixture
def self_signed_tls(tmp_path):
    """A TLS server context with a certificate that no authority signed."""
    key, cert = tmp_path / "key.pem", tmp_path / "cert.pem"
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
         "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
         "-keyout", str(key), "-out", str(cert)],
        check=True,
        capture_output=True,
    )
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


@pytest.fixture
def free_port():
    """A port on 127.0.0.1 that nothing listens on."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
