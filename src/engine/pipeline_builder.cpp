#include "engine/pipeline_builder.hpp"

#include <fmt/format.h>

#include "core/log.hpp"
#include "engine/branch_isolation.hpp"
#include "engine/pipeline_tail.hpp"
#include "engine/topology.hpp"
#include "gst/element.hpp"
#include "media/convert_bin.hpp"
#include "media/h264_choice.hpp"
#include "media/sink_bins.hpp"
#include "media/source_bins.hpp"

namespace ov::engine {
namespace {

using gst::ElementPtr;
using gst::Status;

std::string sink_log_name(const SinkKind& sink) {
    return std::visit(
        [](const auto& s) -> std::string {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, sink::Whip>) return s.endpoint;
            else if constexpr (std::is_same_v<T, sink::UdpRtp>) return "udp-rtp";
            else if constexpr (std::is_same_v<T, sink::UdpMpegTs>) return "udp-mpegts";
            else if constexpr (std::is_same_v<T, sink::File>) return s.location;
            else if constexpr (std::is_same_v<T, sink::Fake>) return "fake";
            else if constexpr (std::is_same_v<T, sink::Display>) return "display";
            else if constexpr (std::is_same_v<T, sink::App>) return "app";
            else return "app-encoded";
        },
        sink);
}

std::string encoder_element_name(Codec codec) {
    switch (codec) {
        case Codec::H265: return "x265enc";
        case Codec::AV1: return "rav1enc";
        case Codec::H264: break;
    }
    return h264_factory(choose_h264_encoder());
}

void log_start(const SourceKind& source, const std::vector<SinkKind>& sinks, const PipelineConfig& config) {
    const std::string encoder = encoder_element_name(config.codec);  // the choice runs even when not logged
    std::string sink_names;
    for (const auto& sink : sinks) {
        if (!sink_names.empty()) sink_names += ", ";
        sink_names += sink_log_name(sink);
    }
    OV_INFO(log::kStream, "[orvane-video] src={} sink={} codec={} profile={} bitrate={}kbps", describe(source),
            sink_names, encoder, plain_name(config.encoder_profile), config.bitrate);
}

// Running time of a live pipeline is wall-clock time since the Unix epoch, so
// presentation timestamps stamped by live sources are capture times.
void use_wall_clock(GstElement* pipeline) {
    const gst::ObjectPtr<GstClock> clock = gst::ObjectPtr<GstClock>::take(gst_system_clock_obtain());
    g_object_set(clock.get(), "clock-type", GST_CLOCK_TYPE_REALTIME, nullptr);
    gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock.get());
    gst_element_set_base_time(pipeline, 0);
    gst_element_set_start_time(pipeline, GST_CLOCK_TIME_NONE);
}

// Adds the elements to the pipeline and links them in order.
Status add_and_link(GstElement* pipeline, std::vector<ElementPtr> chain) {
    if (auto error = gst::add_elements(pipeline, chain)) return error;
    return gst::link_chain(chain);
}

class Assembler {
public:
    Assembler(GstElement* pipeline, const SourceKind& source, const std::vector<SinkKind>& sinks,
              const PipelineConfig& config)
        : pipeline_(pipeline), source_(source), sinks_(sinks), config_(config), live_(is_live(source)),
          level_(source_level(source)) {}

    Status single(ElementPtr source_bin) {
        auto sink_bin = media::build_sink_bin(sinks_.front(), config_.codec, live_, 0);
        if (!sink_bin) return sink_bin.take_error();
        const SingleChain chain = choose_single_chain(sinks_.front(), level_, config_);
        std::vector<ElementPtr> elements;
        elements.push_back(std::move(source_bin));
        switch (chain.kind) {
            case SingleChain::Kind::Passthrough:
                for (const auto option : requested_options(config_)) {
                    OV_WARN(log::kPipeline, "{} requested for {} source — set transcode=true to enable", option,
                            to_string(OutputKind::Encoded));
                }
                break;
            case SingleChain::Kind::Direct:
                break;
            case SingleChain::Kind::Convert: {
                auto convert = media::build_convert_bin(chain.from, chain.to, config_, live_);
                if (!convert) return convert.take_error();
                elements.push_back(std::move(convert).value());
                break;
            }
            case SingleChain::Kind::DecodeThenEncode: {
                auto decoder = media::build_convert_bin(OutputKind::Encoded, OutputKind::Raw, config_, live_);
                if (!decoder) return decoder.take_error();
                auto encoder = media::build_convert_bin(OutputKind::Raw, chain.to, config_, live_);
                if (!encoder) return encoder.take_error();
                elements.push_back(std::move(decoder).value());
                elements.push_back(std::move(encoder).value());
                break;
            }
        }
        elements.push_back(std::move(sink_bin).value());
        return add_and_link(pipeline_, std::move(elements));
    }

    Status multi(ElementPtr source_bin) {
        const MultiPlan plan = plan_multi(sinks_, level_, config_);
        if (auto error = gst::add_element(pipeline_, source_bin.get())) return error;
        GstElement* last = source_bin.get();
        std::vector<ElementPtr> pre_tee;
        if (plan.pre_tee == MultiPlan::PreTee::DecodeThenEncode) {
            auto decoder = media::build_convert_bin(OutputKind::Encoded, OutputKind::Raw, config_, live_);
            if (!decoder) return decoder.take_error();
            pre_tee.push_back(std::move(decoder).value());
            auto encoder = media::build_convert_bin(OutputKind::Raw, OutputKind::Encoded, reduced_config(config_), live_);
            if (!encoder) return encoder.take_error();
            pre_tee.push_back(std::move(encoder).value());
        } else if (plan.pre_tee == MultiPlan::PreTee::Convert) {
            auto convert = media::build_convert_bin(level_, plan.main_level, config_, live_);
            if (!convert) return convert.take_error();
            pre_tee.push_back(std::move(convert).value());
        }
        for (auto& element : pre_tee) {
            if (auto error = gst::add_element(pipeline_, element.get())) return error;
            if (auto error = gst::link(last, element.get())) return error;
            last = element.get();
        }
        const bool encoded_tee = plan.main_level == OutputKind::Encoded;
        auto tee = gst::make_element({"tee", encoded_tee ? "tee_enc" : "tee_raw", {}});
        if (!tee) return tee.take_error();
        if (auto error = gst::add_element(pipeline_, tee.value().get())) return error;
        if (auto error = gst::link(last, tee.value().get())) return error;

        for (size_t index = 0; index < sinks_.size(); ++index) {
            const SinkKind& sink = sinks_[index];
            if (plan.shared_encoder && is_encoded_sink(sink)) continue;
            if (auto error = hang_branch(tee.value().get(), sink, index, encoded_tee)) return error;
        }
        if (plan.shared_encoder) return shared_encoder(tee.value().get());
        return std::nullopt;
    }

private:
    Status hang_branch(GstElement* tee, const SinkKind& sink, size_t index, bool encoded_tee) {
        auto branch = media::build_branch(sink, index, encoded_tee, config_.codec, live_);
        if (!branch) return branch.take_error();
        if (auto error = gst::add_element(pipeline_, branch.value().get())) return error;
        return media::link_tee_branch(tee, branch.value().get());
    }

    // Raw and encoded sinks together: encode once, behind a queue that never
    // holds raw sinks back, and give every encoded sink its copy from "tee_enc".
    Status shared_encoder(GstElement* raw_tee) {
        std::vector<gst::Property> queue_properties;
        if (live_) {
            queue_properties = {{"leaky", gst::FromString{"2"}}, {"max-size-buffers", 1u}};
        } else {
            queue_properties = {{"max-size-buffers", 5u}};
        }
        auto queue = gst::make_element({"queue", "encode_queue", std::move(queue_properties)});
        if (!queue) return queue.take_error();
        auto encoder = media::build_convert_bin(OutputKind::Raw, OutputKind::Encoded, reduced_config(config_), live_);
        if (!encoder) return encoder.take_error();
        auto tee = gst::make_element({"tee", "tee_enc", {}});
        if (!tee) return tee.take_error();
        std::vector<ElementPtr> chain;
        chain.push_back(std::move(queue).value());
        chain.push_back(std::move(encoder).value());
        chain.push_back(std::move(tee).value());
        if (auto error = gst::add_elements(pipeline_, chain)) return error;
        if (auto error = media::link_tee_branch(raw_tee, chain.front().get())) return error;
        if (auto error = gst::link_chain(chain)) return error;
        for (size_t index = 0; index < sinks_.size(); ++index) {
            if (!is_encoded_sink(sinks_[index])) continue;
            if (auto error = hang_branch(chain.back().get(), sinks_[index], index, true)) return error;
        }
        return std::nullopt;
    }

    GstElement* pipeline_;
    const SourceKind& source_;
    const std::vector<SinkKind>& sinks_;
    const PipelineConfig& config_;
    bool live_;
    OutputKind level_;
};

bool is_app_source(const SourceKind& source) {
    return std::holds_alternative<source::App>(source) || std::holds_alternative<source::AppEncoded>(source) ||
           std::holds_alternative<source::AppImage>(source);
}

bool has_whip_sink(const std::vector<SinkKind>& sinks) {
    for (const auto& sink : sinks) {
        if (std::holds_alternative<sink::Whip>(sink)) return true;
    }
    return false;
}

// Sets the pipeline to NULL when a build fails after it went past READY.
class NullOnFailure {
public:
    explicit NullOnFailure(GstElement* pipeline) : pipeline_(pipeline) {}
    ~NullOnFailure() {
        if (pipeline_ != nullptr) stop_pipeline(pipeline_);
    }
    void release() { pipeline_ = nullptr; }

private:
    GstElement* pipeline_;
};

}  // namespace

void stop_pipeline(GstElement* pipeline) { gst_element_set_state(pipeline, GST_STATE_NULL); }

Result<BuiltPipeline, StreamError> build_pipeline(const SourceKind& source, const std::vector<SinkKind>& sinks,
                                                  const PipelineConfig& config) {
    log_start(source, sinks, config);
    ElementPtr pipeline = ElementPtr::ref(gst_pipeline_new("pipeline"));
    NullOnFailure guard(pipeline.get());
    if (is_live(source)) use_wall_clock(pipeline.get());

    auto source_bin = media::build_src_bin(source, config.codec);
    if (!source_bin) return StreamError::build_failed(source_bin.error());
    Assembler assembler(pipeline.get(), source, sinks, config);
    const Status assembled = sinks.size() == 1 ? assembler.single(std::move(source_bin).value())
                                               : assembler.multi(std::move(source_bin).value());
    if (assembled) return StreamError::build_failed(*assembled);
    if (sinks.size() != 1) isolate_failing_branches(pipeline.get());

    const std::string_view label = source_label(source);
    const bool whip = has_whip_sink(sinks);
    const bool watch_without_whip = !whip && !is_app_source(source) && !std::holds_alternative<source::File>(source);
    watch_source(pipeline.get(), label, watch_without_whip);

    auto tail = finish_pipeline(pipeline.get(), sinks, config, label, whip && !is_app_source(source));
    if (!tail) return tail.take_error();
    guard.release();
    return BuiltPipeline{std::move(pipeline), std::move(tail).value()};
}

}  // namespace ov::engine
