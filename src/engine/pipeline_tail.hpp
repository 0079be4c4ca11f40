#pragma once

// The last steps of building a pipeline: the source's first-buffer line and
// watchdog, the PLAYING request, WHIP negotiations, the encoded-byte counter
// and the statistics loop.

#include <string_view>
#include <vector>

#include "core/pipeline_config.hpp"
#include "core/result.hpp"
#include "core/sink.hpp"
#include "core/stream_error.hpp"
#include "engine/running_stream.hpp"

namespace ov::engine {

// On the "src" pad of "src_bin", when the pipeline holds one: logs
// "[<label> src] Streaming" at the first buffer, and starts the source
// watchdog when `watchdog` is set and "src_bin" is a bin.
void watch_source(GstElement* pipeline, std::string_view label, bool watchdog);

// Debug graphs, PLAYING, WHIP, then the byte counter and statistics loop.
// `watch_after_whip`: start the watchdog once WHIP is connected.
Result<ByteCounter, StreamError> finish_pipeline(GstElement* pipeline, const std::vector<SinkKind>& sinks,
                                                 const PipelineConfig& config, std::string_view label,
                                                 bool watch_after_whip);

// Publishes "webrtcbin_<index>" of the pipeline to the sink's endpoint.
std::optional<StreamError> negotiate_whip_sink(GstElement* pipeline, const sink::Whip& sink, size_t index,
                                               const PipelineConfig& config, const char* missing_format);

}  // namespace ov::engine
