"""The main job on an embedded default: a live test pattern with the capture
time burnt in, recorded to an MP4 file for a few seconds (or until Ctrl+C),
then a one-line summary of what was written."""

import logging
import os
import sys

import orvane_video as ov

SECONDS = float(os.environ.get("DEMO_SECONDS", "5"))
OUTPUT = os.environ.get("DEMO_OUTPUT", "demo.mp4")


def main() -> int:
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")
    options = ov.StreamOptions(resolution="1280x720", fps=30, overlay=True, bitrate=2500)
    stream = ov.Stream(ov.Src.test(), ov.Sink.file(OUTPUT), options)
    stream.open()
    interrupted = False
    try:
        stream.run(SECONDS)
    except KeyboardInterrupt:
        interrupted = True
    size = os.path.getsize(OUTPUT) if os.path.exists(OUTPUT) else 0
    how = "stopped by Ctrl+C" if interrupted else f"{SECONDS:g} s"
    print(f"wrote {OUTPUT}: {size} bytes of H.264 ({ov.h264_encoder()}) 1280x720 at 30 fps, {how}")
    return 0 if size > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
