"""Many Python threads on one stream at once."""

import pytest

from engine_support import run_script

HAMMER = """
import json, random, threading, time
import orvane_video as ov

NOT_OPEN = "stream not open — call open() first or use as a context manager"
WIDTH, HEIGHT = 64, 48
FRAME = bytes(WIDTH * HEIGHT * 3)
stream = __STREAM__

ACTIONS = {
    "open": lambda: stream.open(),
    "close": lambda: stream.close(),
    "restart": lambda: stream.restart(),
    "run": lambda: stream.run(0.02),
    "send_frame": lambda: stream.send_frame(FRAME, timestamp_ns=time.time_ns()),
    "send_encoded": lambda: stream.send_encoded(b"\\x00\\x00\\x00\\x01\\x09\\x10"),
    "recv_frame": lambda: stream.recv_frame(timeout_ms=20),
    "recv_now": lambda: stream.recv_frame(timeout_ms=0),
}
WEIGHTS = {"open": 3, "close": 3, "restart": 1, "run": 1, "send_frame": 8,
           "send_encoded": 1, "recv_frame": 6, "recv_now": 4}
unexpected = []
counts = {name: 0 for name in ACTIONS}
lock = threading.Lock()
stop_at = time.monotonic() + __SECONDS__


def worker(seed):
    rng = random.Random(seed)
    names = list(WEIGHTS)
    weights = [WEIGHTS[n] for n in names]
    while time.monotonic() < stop_at:
        name = rng.choices(names, weights)[0]
        try:
            ACTIONS[name]()
        except RuntimeError as exc:
            if str(exc) != NOT_OPEN:
                with lock:
                    unexpected.append(f"{name}: {exc!r}")
        except BaseException as exc:
            with lock:
                unexpected.append(f"{name}: {exc!r}")
        with lock:
            counts[name] += 1


threads = [threading.Thread(target=worker, args=(seed,), daemon=True) for seed in range(__THREADS__)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join(60)
stuck = sum(thread.is_alive() for thread in threads)

# The stream is still usable afterwards.
stream.close()
stream.open()
sent = stream.send_frame(FRAME, timestamp_ns=1_700_000_000_000_000_000)
frame = stream.recv_frame(timeout_ms=5000)
stream.close()
print(json.dumps({"stuck": stuck, "unexpected": unexpected, "counts": counts, "sent": sent,
                  "received": None if frame is None else frame.timestamp_ns}))
"""


@pytest.mark.parametrize(
    "stream",
    [
        "ov.Stream(ov.Src.app(WIDTH, HEIGHT, auto_timestamp=False), ov.Sink.app())",
        # A live source feeding a raw and an encoded branch, under a reconnect policy.
        "ov.Stream(ov.Src.test(), [ov.Sink.app(), ov.Sink.udp_rtp('127.0.0.1', 9)], "
        "ov.StreamOptions(reconnect=ov.ReconnectOptions(retry_delay_s=0.1)))",
    ],
    ids=["app-to-app", "test-to-app-and-rtp"],
)
def test_threads_calling_every_method_at_once(stream):
    code = HAMMER.replace("__STREAM__", stream).replace("__SECONDS__", "4").replace("__THREADS__", "6")
    result, stderr = run_script(code, timeout=180)
    assert result["stuck"] == 0, "threads did not finish: deadlock"
    assert result["unexpected"] == [], result["unexpected"][:10]
    assert all(count > 0 for count in result["counts"].values()), result["counts"]
    if "Src.app" in stream:
        assert result["sent"] is True
        assert result["received"] == 1_700_000_000_000_000_000
    else:
        assert result["received"] is not None
