#pragma once

// Pad probes that give buffers their source timestamp, carry it across
// elements that make new buffers, move it through RTP, and pace file sources
// to wall-clock speed. Each call installs probes on the element's pads; every
// probe lets the buffer pass.

#include <gst/gst.h>

#include <cstdint>

namespace ov::media {

// "src": a source timestamp equal to each valid presentation timestamp.
void stamp_from_pts(GstElement* element);
// "src": when a buffer has none, start + presentation timestamp (or + 0).
void stamp_from_start(GstElement* element, uint64_t start_ns);
// "src": when a buffer has none, wall-clock now; with `warn`, the first such
// buffer of this installation logs the fallback warning.
void stamp_wall_clock_fallback(GstElement* element, bool warn);
// "src" of a jitter buffer: the timestamp from the RTP extension, else now.
void read_rtp_timestamp_extension(GstElement* element);
// "sink" (or "video_sink") and "src": metas of the latest input onto every output.
void carry_timestamps(GstElement* element);
// "sink" and "src" of an RTP payloader: the latest input's source timestamp in
// every outgoing packet; with `rewrite_pts`, inputs get it as their PTS too.
void write_rtp_timestamp_extension(GstElement* payloader, bool rewrite_pts);
// "src": holds each buffer until wall-clock time reaches its presentation time.
void pace_realtime(GstElement* element);
// One-shot on `pad`: the target's "creation-time" from the first buffer's
// source timestamp. Holds the target weakly.
void set_creation_time(GstPad* pad, GstElement* target);

}  // namespace ov::media
