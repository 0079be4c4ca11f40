"""The main job on an embedded default: which H.264 encoder this machine uses,
and a stream described from a test pattern to an MP4 file."""

import orvane_video as ov


def main() -> None:
    print(f"H.264 encoder family: {ov.h264_encoder()}")
    options = ov.StreamOptions(
        codec=ov.Codec.H264,
        bitrate=2500,
        resolution="1280x720",
        overlay=True,
        fps=30,
        encoder_profile=ov.EncoderProfile.Balanced,
        reconnect=ov.ReconnectOptions(retry_delay_s=1.0, max_retries=3),
    )
    stream = ov.Stream(ov.Src.test(), [ov.Sink.file("demo.mp4"), ov.Sink.fake()], options)
    print(f"described {type(stream).__name__}: test pattern -> demo.mp4 + discard, "
          f"{options.resolution} at {options.fps} fps, {options.bitrate} kbit/s {options.codec}, "
          f"profile {options.encoder_profile}, overlay {options.overlay}")


if __name__ == "__main__":
    main()
