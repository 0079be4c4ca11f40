#pragma once

// Where decoding, processing and encoding happen between a source and its
// sinks: pure decisions, tested without pipelines.

#include <string_view>
#include <vector>

#include "core/pipeline_config.hpp"
#include "core/sink.hpp"
#include "core/source.hpp"

namespace ov::engine {

// Parsed encoded video (network, description and encoded-app sources) or raw.
OutputKind source_level(const SourceKind& source);
// "Test", "Camera", "RTSP", "UDP", "Source", "App", "File", "Images", "Display".
std::string_view source_label(const SourceKind& source);
bool processing_requested(const PipelineConfig& config);
bool is_raw_sink(const SinkKind& sink);      // Display, App
bool is_encoded_sink(const SinkKind& sink);  // all but Fake, Display, App

// One sink: what sits between the source bin and the sink bin.
struct SingleChain {
    enum class Kind { Direct, Convert, DecodeThenEncode, Passthrough } kind;
    OutputKind from = OutputKind::Raw;  // Convert only
    OutputKind to = OutputKind::Raw;    // Convert, and the encode step of DecodeThenEncode
};
SingleChain choose_single_chain(const SinkKind& sink, OutputKind source_level, const PipelineConfig& config);

// Several sinks: the level the main tee carries and what comes before it.
struct MultiPlan {
    OutputKind main_level;
    bool shared_encoder;  // raw and encoded sinks together
    enum class PreTee { None, DecodeThenEncode, Convert } pre_tee;
};
MultiPlan plan_multi(const std::vector<SinkKind>& sinks, OutputKind source_level, const PipelineConfig& config);

// The config of an encoder shared by several sinks: codec, bitrate and key-frame
// interval kept, no processing, LowLatency.
PipelineConfig reduced_config(const PipelineConfig& config);

// The names of the requested processing options, in warning order.
std::vector<std::string_view> requested_options(const PipelineConfig& config);

}  // namespace ov::engine
