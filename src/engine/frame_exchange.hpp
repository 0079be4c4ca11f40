#pragma once

// Frames pushed into "appsrc" and pulled from "appsink"/"appsink_encoded" of a
// stream's current pipeline, found by name on every call so they follow a
// rebuilt pipeline.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "engine/running_stream.hpp"

namespace ov::engine {

enum class PushKind { Frame, Encoded };
enum class PushOutcome { Accepted, Refused, ErrorOnBus };

// Copies `data` into a buffer with the timestamps of its kind and pushes it.
// An error waiting on the bus is consumed and reported instead of pushing (the
// caller decides about reconnecting). Call with the stream's running slot held.
PushOutcome push(RunningStream& stream, std::span<const uint8_t> data, std::optional<uint64_t> timestamp_ns,
                 PushKind kind);

// Waits up to `timeout_ns` for a sample of the named application sink; empty
// on time-out, end of stream, flushing or when there is no such sink.
gst::SamplePtr pull_sample(RunningStream& stream, const char* sink_name, uint64_t timeout_ns);

struct RawFrameInfo {
    GstBuffer* buffer;  // owned by the sample
    uint32_t width;
    uint32_t height;
    std::string format;
    std::optional<uint64_t> timestamp_ns;
};
// Raw video description of a sample; empty when the caps are not raw video.
std::optional<RawFrameInfo> raw_frame_info(GstSample* sample);

}  // namespace ov::engine
