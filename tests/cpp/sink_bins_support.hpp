#pragma once

// What the sink bin and branch tests share: a stamped test source, the sink
// bins under test, and the WHIP sink that is never contacted.

#include <stdexcept>
#include <string>
#include <vector>

#include "media/convert_bin.hpp"
#include "media/sink_bins.hpp"
#include "media/timestamp_probes.hpp"
#include "media_test_support.hpp"

namespace ov::test {

constexpr uint64_t kStart = 1'700'000'000'000'000'000ULL;  // 2023-11-14T22:13:20Z
constexpr const char* kSmallVideo = "video/x-raw,width=160,height=120,framerate=30/1";

// Nothing is ever sent to it: negotiation is not part of these bins.
inline sink::Whip whip_sink() { return {"http://127.0.0.1:1/whip", std::nullopt, std::nullopt}; }

inline gst::ElementPtr sink_bin(const SinkKind& sink, Codec codec, bool live, size_t index = 0) {
    auto bin = media::build_sink_bin(sink, codec, live, index);
    if (!bin) throw std::runtime_error(bin.error().message);
    return std::move(bin).value();
}

struct SourceOptions {
    bool live = false;
    int frames = -1;  // endless
    bool stamped = true;  // source timestamps from kStart
    std::string caps = kSmallVideo;
};

// "pipeline": videotestsrc → caps → [Raw → `level` conversion] → `sink`.
inline gst::ElementPtr stream_pipeline(gst::ElementPtr sink, OutputKind level, const SourceOptions& source,
                                Codec codec = Codec::H264) {
    gst::ElementPtr pipeline = make_pipeline();
    std::vector<gst::ElementPtr> chain;
    chain.push_back(make(
        {"videotestsrc", std::nullopt, {{"is-live", source.live}, {"num-buffers", int32_t{source.frames}}}}));
    if (source.stamped) media::stamp_from_start(chain.back().get(), kStart);
    chain.push_back(make(
        {"capsfilter", std::nullopt, {{"caps", gst::CapsPtr::take(gst_caps_from_string(source.caps.c_str()))}}}));
    if (level != OutputKind::Raw) {
        PipelineConfig config;
        config.codec = codec;
        auto convert = media::build_convert_bin(OutputKind::Raw, level, config, source.live);
        if (!convert) throw std::runtime_error(convert.error().message);
        chain.push_back(std::move(convert).value());
    }
    chain.push_back(std::move(sink));
    if (gst::add_elements(pipeline.get(), chain) || gst::link_chain(chain)) throw std::runtime_error("link");
    return pipeline;
}

}  // namespace ov::test
