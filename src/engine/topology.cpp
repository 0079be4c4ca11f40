#include "engine/topology.hpp"

namespace ov::engine {

OutputKind source_level(const SourceKind& source) {
    const bool encoded = std::holds_alternative<source::Rtsp>(source) || std::holds_alternative<source::UdpRtp>(source) ||
                         std::holds_alternative<source::UdpMpegTs>(source) ||
                         std::holds_alternative<source::Custom>(source) ||
                         std::holds_alternative<source::AppEncoded>(source);
    return encoded ? OutputKind::Encoded : OutputKind::Raw;
}

std::string_view source_label(const SourceKind& source) {
    static constexpr std::string_view kLabels[] = {"Test",   "Camera", "RTSP", "UDP",  "UDP",    "Source",
                                                   "App",    "App",    "App",  "File", "Images", "Display"};
    return kLabels[source.index()];
}

bool processing_requested(const PipelineConfig& config) {
    return config.fps || config.resolution || config.crop || config.overlay || config.flip;
}

bool is_raw_sink(const SinkKind& sink) {
    return std::holds_alternative<sink::Display>(sink) || std::holds_alternative<sink::App>(sink);
}

bool is_encoded_sink(const SinkKind& sink) {
    return !is_raw_sink(sink) && !std::holds_alternative<sink::Fake>(sink);
}

SingleChain choose_single_chain(const SinkKind& sink, OutputKind level, const PipelineConfig& config) {
    using Kind = SingleChain::Kind;
    const bool processing = processing_requested(config);
    if (std::holds_alternative<sink::Fake>(sink)) return {Kind::Direct};
    if (is_raw_sink(sink)) {
        if (level == OutputKind::Raw) {
            return processing ? SingleChain{Kind::Convert, OutputKind::Raw, OutputKind::Raw} : SingleChain{Kind::Direct};
        }
        return {Kind::Convert, OutputKind::Encoded, OutputKind::Raw};
    }
    const bool rtp = std::holds_alternative<sink::Whip>(sink) || std::holds_alternative<sink::UdpRtp>(sink);
    const OutputKind wanted = rtp ? OutputKind::Rtp : OutputKind::Encoded;
    if (level == OutputKind::Raw) return {Kind::Convert, OutputKind::Raw, wanted};
    if (rtp) {
        if (config.transcode) return {Kind::DecodeThenEncode, OutputKind::Encoded, OutputKind::Rtp};
        return {Kind::Convert, OutputKind::Encoded, OutputKind::Rtp};
    }
    if (config.transcode) {
        return processing ? SingleChain{Kind::DecodeThenEncode, OutputKind::Encoded, OutputKind::Encoded}
                          : SingleChain{Kind::Direct};
    }
    return {Kind::Passthrough};
}

MultiPlan plan_multi(const std::vector<SinkKind>& sinks, OutputKind level, const PipelineConfig& config) {
    bool any_raw = false, any_encoded = false;
    for (const auto& sink : sinks) {
        any_raw = any_raw || is_raw_sink(sink);
        any_encoded = any_encoded || is_encoded_sink(sink);
    }
    MultiPlan plan{any_raw ? OutputKind::Raw : OutputKind::Encoded, any_raw && any_encoded, MultiPlan::PreTee::None};
    if (level == plan.main_level && !processing_requested(config)) {
        plan.pre_tee = MultiPlan::PreTee::None;
    } else if (level == OutputKind::Encoded && plan.main_level == OutputKind::Encoded && config.transcode) {
        plan.pre_tee = MultiPlan::PreTee::DecodeThenEncode;
    } else {
        plan.pre_tee = MultiPlan::PreTee::Convert;
    }
    return plan;
}

PipelineConfig reduced_config(const PipelineConfig& config) {
    PipelineConfig reduced;
    reduced.codec = config.codec;
    reduced.bitrate = config.bitrate;
    reduced.keyframe_interval = config.keyframe_interval;
    return reduced;
}

std::vector<std::string_view> requested_options(const PipelineConfig& config) {
    std::vector<std::string_view> names;
    if (config.overlay) names.emplace_back("overlay");
    if (config.resolution) names.emplace_back("resolution");
    if (config.fps) names.emplace_back("fps");
    if (config.flip) names.emplace_back("flip");
    if (config.crop) names.emplace_back("crop");
    return names;
}

}  // namespace ov::engine
