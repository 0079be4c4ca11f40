"""Control of the aiortc WHIP endpoint process (whip_endpoint.py) from the
tests and from bench/whip_connect.py."""

import json
import os
import select
import subprocess
import sys
import time
import urllib.request

ENDPOINT_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "whip_endpoint.py")
ENDPOINT_HOST = "10.77.0.1"


def wait_until(predicate, timeout, step=0.1):
    """Poll until predicate() is truthy and return its value; None after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value or None
        time.sleep(step)


class WhipEndpoint:
    """The aiortc endpoint process; kill() makes it vanish, start() brings it back on the same port."""

    def __init__(self, host=ENDPOINT_HOST):
        self.host = host
        self.port = 0
        self.process = None
        self.start()

    @property
    def url(self):
        return f"http://{self.host}:{self.port}/whip"

    def start(self):
        self.process = subprocess.Popen(
            [sys.executable, ENDPOINT_SCRIPT, "--host", self.host, "--port", str(self.port)],
            stdout=subprocess.PIPE,
            text=True,
        )
        ready, _, _ = select.select([self.process.stdout], [], [], 20)
        line = self.process.stdout.readline() if ready else ""
        if not line.startswith("READY "):
            self.kill()
            raise RuntimeError(f"WHIP endpoint did not start: {line!r}")
        self.port = int(line.split()[1])

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
        if self.process:
            self.process.wait(timeout=10)
            self.process.stdout.close()

    def restart(self):
        self.kill()
        self.start()

    def _call(self, path, command=None):
        data = None if command is None else json.dumps(command).encode()
        request = urllib.request.Request(
            f"http://{self.host}:{self.port}{path}", data=data, headers={"Content-Type": "application/json"}
        )
        with urllib.request.urlopen(request, timeout=10) as response:
            return json.load(response)

    def state(self):
        return self._call("/state")

    def control(self, **command):
        return self._call("/control", command)

    def frames(self):
        return self.state()["frames"]

    def wait_frames(self, count, timeout=20):
        return wait_until(lambda: self.frames() >= count, timeout, step=0.2)
