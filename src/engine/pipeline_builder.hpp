#pragma once

// Assembles the whole pipeline of a stream from its source, sinks and config,
// asks it to play and completes every WHIP negotiation.

#include <vector>

#include "core/pipeline_config.hpp"
#include "core/result.hpp"
#include "core/sink.hpp"
#include "core/source.hpp"
#include "core/stream_error.hpp"
#include "engine/running_stream.hpp"

namespace ov::engine {

struct BuiltPipeline {
    gst::ElementPtr pipeline;
    ByteCounter encoded_bytes;  // bytes produced by the element named "encoder"
};

Result<BuiltPipeline, StreamError> build_pipeline(const SourceKind& source, const std::vector<SinkKind>& sinks,
                                                  const PipelineConfig& config);

// Sets a pipeline to NULL; used wherever one is dropped.
void stop_pipeline(GstElement* pipeline);

}  // namespace ov::engine
