#pragma once

// The source timestamp: when a picture was taken, in nanoseconds since the
// Unix epoch, carried as a reference timestamp meta with caps "timestamp/x-ntp".

#include <gst/gst.h>

#include <cstdint>
#include <optional>

namespace ov::media {

// "timestamp/x-ntp"; lives for the process.
GstCaps* source_timestamp_caps();

// The first reference timestamp meta whose caps intersect "timestamp/x-ntp".
std::optional<uint64_t> source_timestamp(GstBuffer* buffer);

// Adds a meta to a writable buffer. Never attaches GStreamer's "none".
void add_source_timestamp(GstBuffer* buffer, uint64_t timestamp_ns);

// The system time in nanoseconds since the Unix epoch (0 before the epoch).
uint64_t wall_clock_now_ns();

}  // namespace ov::media
