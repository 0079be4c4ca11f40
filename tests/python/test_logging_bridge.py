"""The engine's log records as they reach Python's logging package.

h264_encoder() with an unknown ORVANE_H264_ENCODER value is the engine call
that logs a known warning on the "orvane_video::pipeline" target, so it drives
these tests. The bridge caches each target's level at its first forwarded
record for the life of the process, so every test that depends on that first
record runs in a fresh interpreter.
"""

import logging
import threading

import pytest

import orvane_video as ov

WARNING_TEXT = "[H264] ignoring unknown ORVANE_H264_ENCODER=OpenH264"

PRELUDE = """
import json, logging, os

os.environ["ORVANE_H264_ENCODER"] = "OpenH264"
seen = []

class Keep(logging.Handler):
    def emit(self, record):
        if record.getMessage().startswith("[H264] ignoring"):
            seen.append(record.levelno)

keep = Keep()
"""


class Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def test_record_reaches_a_handler_with_its_origin(monkeypatch):
    monkeypatch.setenv("ORVANE_H264_ENCODER", "OpenH264")
    handler = Collect()
    parent = logging.getLogger("orvane_video")
    parent.addHandler(handler)
    try:
        ov.h264_encoder()
    finally:
        parent.removeHandler(handler)
    records = [r for r in handler.records if r.getMessage() == WARNING_TEXT]
    assert len(records) == 1
    record = records[0]
    assert record.name == "orvane_video.pipeline"
    assert record.levelno == logging.WARNING
    assert record.levelname == "WARNING"
    assert record.msg == WARNING_TEXT
    assert record.args == ()
    assert record.exc_info is None
    # the location is the engine's logging call, not Python code
    assert record.pathname.endswith(".cpp")
    assert record.lineno > 0
    # made on the calling thread
    assert record.thread == threading.get_ident()


def test_records_follow_the_logger_hierarchy(run_python):
    out = run_python(
        PRELUDE
        + """
logging.getLogger().addHandler(keep)  # the root logger sees it through propagation
import orvane_video
orvane_video.h264_encoder()
logging.getLogger("orvane_video").propagate = False
orvane_video.h264_encoder()  # the root handler no longer sees it
print(json.dumps(seen))
"""
    )
    assert out == [30]


@pytest.mark.parametrize(
    "first_level, later_level, first_seen, later_seen",
    [
        # default configuration: warnings pass and keep passing
        (None, None, [30], [30]),
        # the level in force at the first record sticks: lowering it later is not observed
        ("ERROR", "DEBUG", [], []),
        ("CRITICAL", "DEBUG", [], []),
        # raising it later is observed, since each record still asks the logger
        ("DEBUG", "ERROR", [30], []),
        ("WARNING", "CRITICAL", [30], []),
    ],
    ids=["default", "error-then-debug", "critical-then-debug", "debug-then-error", "warning-then-critical"],
)
def test_level_at_first_record_sticks_for_the_target(run_python, first_level, later_level, first_seen,
                                                      later_seen):
    out = run_python(
        PRELUDE
        + f"""
log = logging.getLogger("orvane_video")
log.addHandler(keep)
if {first_level!r}:
    log.setLevel({first_level!r})
import orvane_video
orvane_video.h264_encoder()
first = list(seen)
del seen[:]
if {later_level!r}:
    log.setLevel({later_level!r})
orvane_video.h264_encoder()
print(json.dumps([first, list(seen)]))
"""
    )
    assert out == [first_seen, later_seen]


def test_first_record_caches_the_level_only_when_forwarded(run_python):
    # configuring the level after import but before the first record is honoured
    out = run_python(
        PRELUDE
        + """
import orvane_video
log = logging.getLogger("orvane_video")
log.addHandler(keep)
log.setLevel(logging.ERROR)
os.environ["ORVANE_H264_ENCODER"] = "x264"
orvane_video.h264_encoder()  # with a known family nothing is logged
log.setLevel(logging.WARNING)
os.environ["ORVANE_H264_ENCODER"] = "OpenH264"
orvane_video.h264_encoder()
print(json.dumps(seen))
"""
    )
    assert out == [30]


@pytest.mark.parametrize("exc", ["RuntimeError", "KeyError", "Boom"])
def test_raising_handler_does_not_escape(run_python, exc):
    out = run_python(
        PRELUDE
        + f"""
class Boom(BaseException):
    pass

class Raise(logging.Handler):
    def emit(self, record):
        raise {exc}("handler failed")

log = logging.getLogger("orvane_video")
log.addHandler(Raise())
import orvane_video
results = []
for _ in range(3):
    results.append(orvane_video.h264_encoder())
# the bridge still works afterwards
log.handlers.clear()
log.addHandler(keep)
results.append(orvane_video.h264_encoder())
print(json.dumps([results, seen]))
"""
    )
    results, seen = out
    assert len(results) == 4 and len(set(results)) == 1
    assert results[0] in {"x264", "openh264"}
    assert seen == [30]


def test_failing_logger_does_not_escape(run_python):
    out = run_python(
        PRELUDE
        + """
class Broken(logging.Logger):
    def isEnabledFor(self, level):
        raise RuntimeError("broken logger")

logging.setLoggerClass(Broken)
logging.getLogger("orvane_video.pipeline")
logging.setLoggerClass(logging.Logger)
import orvane_video
results = [orvane_video.h264_encoder(), orvane_video.h264_encoder()]
print(json.dumps(results))
"""
    )
    assert out[0] == out[1]
    assert out[0] in {"x264", "openh264"}


def test_records_from_another_python_thread(run_python):
    out = run_python(
        PRELUDE
        + """
import threading
names = []

class Where(logging.Handler):
    def emit(self, record):
        if record.getMessage().startswith("[H264] ignoring"):
            names.append(record.threadName)

logging.getLogger("orvane_video").addHandler(Where())
import orvane_video
threads = [threading.Thread(target=orvane_video.h264_encoder, name=f"worker-{i}") for i in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(json.dumps(sorted(names)))
"""
    )
    assert out == [f"worker-{i}" for i in range(4)]
