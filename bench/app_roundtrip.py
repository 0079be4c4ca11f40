#!/usr/bin/env python3
"""Lockstep frame round trip: send_frame -> recv_frame through one stream.

Measures frames per second and per-frame latency (median, p99) of
    Stream(Src.app(w, h, auto_timestamp=False), Sink.app())
and of the same pipeline written by hand with PyGObject,
    appsrc ! queue ! videoconvert ! appsink
doing the same work per frame (copy in, presentation timestamp and a
capture-time reference meta on the buffer, pull, read the meta, copy out).

Our module runs in this interpreter; the PyGObject pipeline runs under
/usr/bin/python3 (Debian's python3-gi), in a subprocess, so the two never
share a process. Rounds alternate between the two to spread machine noise.

    PYTHONPATH=build/dev python3 bench/app_roundtrip.py [--frames N] [--rounds R]
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import textwrap
import time

SIZES = [(1920, 1080), (640, 480)]
BASE_NS = 1_700_000_000 * 1_000_000_000
FRAME_STEP_NS = 33_333_333

PYGOBJECT_RUN = textwrap.dedent(
    """
    import json, sys, time
    import gi
    gi.require_version("Gst", "1.0")
    from gi.repository import Gst

    width, height, frames, warmup = (int(a) for a in sys.argv[1:5])
    extra_caps = sys.argv[5]
    BASE_NS, STEP = %d, %d
    Gst.init(None)
    pipeline = Gst.parse_launch(
        "appsrc name=src format=time caps=video/x-raw,format=RGB,width=%%d,height=%%d%%s "
        "! queue ! videoconvert ! appsink name=sink caps=video/x-raw,format=RGB sync=false "
        "max-buffers=1 drop=true" %% (width, height, extra_caps))
    src = pipeline.get_by_name("src")
    sink = pipeline.get_by_name("sink")
    ref_caps = Gst.Caps.from_string("timestamp/x-ntp")
    pipeline.set_state(Gst.State.PLAYING)
    payload = bytes(range(256)) * (width * height * 3 // 256)
    latencies = []
    mismatched = 0
    start = None
    for index in range(warmup + frames):
        if index == warmup:
            start = time.perf_counter_ns()
        stamp = BASE_NS + index * STEP
        t0 = time.perf_counter_ns()
        buffer = Gst.Buffer.new_wrapped(payload)
        buffer.pts = stamp
        buffer.add_reference_timestamp_meta(ref_caps, stamp, Gst.CLOCK_TIME_NONE)
        src.emit("push-buffer", buffer)
        sample = sink.emit("try-pull-sample", 2 * Gst.SECOND)
        out = sample.get_buffer()
        meta = out.get_reference_timestamp_meta(ref_caps)
        data = out.extract_dup(0, out.get_size())
        t1 = time.perf_counter_ns()
        if meta is None or meta.timestamp != stamp or len(data) != len(payload):
            mismatched += 1
        if index >= warmup:
            latencies.append(t1 - t0)
    elapsed = time.perf_counter_ns() - start
    pipeline.set_state(Gst.State.NULL)
    print(json.dumps({"latencies": latencies, "elapsed_ns": elapsed, "mismatched": mismatched,
                      "python": sys.version.split()[0], "gstreamer": Gst.version_string()}))
    """
    % (BASE_NS, FRAME_STEP_NS)
)


def run_ours(width, height, frames, warmup):
    import orvane_video as ov

    stream = ov.Stream(ov.Src.app(width, height, auto_timestamp=False), ov.Sink.app())
    stream.open()
    payload = bytes(range(256)) * (width * height * 3 // 256)
    latencies = []
    mismatched = 0
    start = None
    try:
        for index in range(warmup + frames):
            if index == warmup:
                start = time.perf_counter_ns()
            stamp = BASE_NS + index * FRAME_STEP_NS
            t0 = time.perf_counter_ns()
            stream.send_frame(payload, timestamp_ns=stamp)
            frame = stream.recv_frame(timeout_ms=2000)
            data = frame.data if frame is not None else b""
            t1 = time.perf_counter_ns()
            if frame is None or frame.timestamp_ns != stamp or len(data) != len(payload):
                mismatched += 1
            if index >= warmup:
                latencies.append(t1 - t0)
        elapsed = time.perf_counter_ns() - start
    finally:
        stream.close()
    return {"latencies": latencies, "elapsed_ns": elapsed, "mismatched": mismatched}


def run_pygobject(python, width, height, frames, warmup, extra_caps):
    proc = subprocess.run([python, "-c", PYGOBJECT_RUN, str(width), str(height), str(frames), str(warmup), extra_caps],
                          capture_output=True, text=True, timeout=600, env={**os.environ, "PYTHONPATH": ""})
    if proc.returncode != 0:
        raise RuntimeError(f"PyGObject run failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def summarise(run, frames):
    latencies = sorted(run["latencies"])
    return {
        "fps": frames / (run["elapsed_ns"] / 1e9),
        "median_ms": statistics.median(latencies) / 1e6,
        "p99_ms": latencies[min(len(latencies) - 1, int(round(0.99 * (len(latencies) - 1))))] / 1e6,
        "mismatched": run["mismatched"],
    }


def median_of(rounds, key):
    return statistics.median(r[key] for r in rounds)


# The PyGObject baselines: the caps our application source sets (format and
# size only), and the same with framerate=0/1, which makes videoconvert's
# output caps equal its input caps so it passes buffers through untouched.
BASELINES = [("pygobject", ""), ("pygobject+fr", ",framerate=0/1")]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=500, help="measured frames per round and size")
    parser.add_argument("--warmup", type=int, default=30, help="unmeasured frames before each round")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds per implementation")
    parser.add_argument("--python", default="/usr/bin/python3", help="interpreter with PyGObject (gi)")
    parser.add_argument("--json", action="store_true", help="print the results as JSON as well")
    args = parser.parse_args()

    import orvane_video

    print(f"machine: {platform.node()} {platform.machine()} {os.cpu_count()} CPUs, {platform.platform()}")
    print(f"ours: {orvane_video.__file__} under Python {platform.python_version()}; PyGObject under {args.python}")
    print(f"{args.rounds} rounds x {args.frames} frames (+{args.warmup} warm-up), lockstep send -> receive, RGB\n")
    print(f"{'size':>9} {'impl':>13} {'fps':>8} {'median ms':>10} {'p99 ms':>8}")
    results = {}
    for width, height in SIZES:
        rounds = {"ours": []} | {name: [] for name, _ in BASELINES}
        peer = None
        for _ in range(args.rounds):
            rounds["ours"].append(summarise(run_ours(width, height, args.frames, args.warmup), args.frames))
            for name, extra_caps in BASELINES:
                raw = run_pygobject(args.python, width, height, args.frames, args.warmup, extra_caps)
                peer = {"python": raw["python"], "gstreamer": raw["gstreamer"]}
                rounds[name].append(summarise(raw, args.frames))
        row = {"peer": peer}
        for name, runs in rounds.items():
            row[name] = {key: median_of(runs, key) for key in ("fps", "median_ms", "p99_ms")}
            row[name]["mismatched"] = sum(r["mismatched"] for r in runs)
            print(f"{width}x{height:<5} {name:>13} {row[name]['fps']:8.1f} {row[name]['median_ms']:10.3f} "
                  f"{row[name]['p99_ms']:8.3f}")
        for name, _ in BASELINES:
            fps_ratio = row["ours"]["fps"] / row[name]["fps"]
            latency_ratio = row["ours"]["median_ms"] / row[name]["median_ms"]
            row[f"ratio_vs_{name}"] = {"fps": fps_ratio, "median_latency": latency_ratio}
            print(f"{'':>9} {'ours/' + name:>13} fps {fps_ratio:5.2f}x, median latency {latency_ratio:5.2f}x")
        for name in rounds:
            if row[name]["mismatched"]:
                print(f"{'':>9} warning: {name} returned {row[name]['mismatched']} frames that were not the one sent")
        results[f"{width}x{height}"] = row
    print("\n(fps: higher is better; latency: lower is better)")
    if args.json:
        print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
