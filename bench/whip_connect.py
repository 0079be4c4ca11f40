"""WHIP start-up and loss detection, measured against the aiortc test endpoint.

  connect: from Stream.open() to the endpoint's first decoded frame, one fresh
           endpoint process per run; the median of --runs runs.
  loss:    from killing the endpoint to the "... reconnecting" warning of the
           connection monitor; the median of --loss-runs runs (each takes about
           as long as the ICE agent needs to give up on a silent peer).

WebRTC needs the private network namespace:
  PYTHONPATH=build/<dir> scripts/isolated.sh python3 bench/whip_connect.py
"""

import argparse
import json
import logging
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python", "whip"))

import orvane_video as ov  # noqa: E402
from endpoint_process import WhipEndpoint, wait_until  # noqa: E402


class LossWarning(logging.Handler):
    def __init__(self):
        super().__init__(logging.WARNING)
        self.seen = threading.Event()
        self.at = None

    def emit(self, record):
        if record.getMessage().endswith(", reconnecting") and not self.seen.is_set():
            self.at = time.monotonic()
            self.seen.set()


def connect_once():
    endpoint = WhipEndpoint()
    stream = ov.Stream(ov.Src.test(), ov.Sink.whip(endpoint.url))
    try:
        started = time.monotonic()
        stream.open()
        opened = time.monotonic() - started
        first = wait_until(lambda: endpoint.state()["first_frame_at"], timeout=20, step=0.01)
        if first is None:
            raise RuntimeError("the endpoint decoded no frame")
        return opened, first - started
    finally:
        stream.close()
        endpoint.kill()


def loss_once():
    endpoint = WhipEndpoint()
    watcher = LossWarning()
    logger = logging.getLogger("orvane_video.whip")
    logger.addHandler(watcher)
    stream = ov.Stream(ov.Src.test(), ov.Sink.whip(endpoint.url))
    try:
        stream.open()
        if not wait_until(lambda: endpoint.state()["frames"] >= 10, timeout=20):
            raise RuntimeError("the endpoint decoded no frames")
        killed = time.monotonic()
        endpoint.kill()
        if not watcher.seen.wait(180):
            raise RuntimeError("no loss report within 180 s")
        return watcher.at - killed
    finally:
        logger.removeHandler(watcher)
        try:
            stream.close()
        except RuntimeError:
            pass  # the stream ended with the loss it was meant to report
        endpoint.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--loss-runs", type=int, default=1)
    args = parser.parse_args()
    if os.environ.get("OV_NETNS") != "1":
        sys.exit("needs the network namespace of scripts/isolated.sh (run as root)")
    logging.getLogger("orvane_video").setLevel(logging.WARNING)

    connect_once()  # warm-up: plugin loading and the first certificate
    runs = [connect_once() for _ in range(args.runs)]
    opens = [opened for opened, _ in runs]
    firsts = [first for _, first in runs]
    losses = [loss_once() for _ in range(args.loss_runs)]
    result = {
        "runs": args.runs,
        "open_s_median": round(statistics.median(opens), 3),
        "first_frame_s_median": round(statistics.median(firsts), 3),
        "first_frame_s_min": round(min(firsts), 3),
        "first_frame_s_max": round(max(firsts), 3),
        "loss_runs": args.loss_runs,
        "loss_report_s_median": round(statistics.median(losses), 1) if losses else None,
    }
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
