"""Shared helpers for the Python-surface tests of orvane_video."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import orvane_video


def _module_dir():
    return os.path.dirname(os.path.abspath(orvane_video.__file__))


@pytest.fixture
def run_python():
    """Run a Python snippet in a fresh interpreter and return what it printed as JSON.

    The snippet must print exactly one JSON document on its last stdout line.
    Some behaviour (the logging bridge's per-target cache, the import guard)
    is per process, so it can only be observed from a new process.
    """

    def run(code, env=None, timeout=120):
        full_env = os.environ.copy()
        full_env.pop("ORVANE_H264_ENCODER", None)
        path = full_env.get("PYTHONPATH")
        full_env["PYTHONPATH"] = _module_dir() + (os.pathsep + path if path else "")
        if env:
            for key, value in env.items():
                if value is None:
                    full_env.pop(key, None)
                else:
                    full_env[key] = value
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            env=full_env,
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        assert proc.returncode == 0, (
            f"child failed with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        )
        lines = proc.stdout.strip().splitlines()
        assert lines, f"child printed nothing\nstderr:\n{proc.stderr}"
        return json.loads(lines[-1])

    return run
