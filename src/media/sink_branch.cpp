// Branches: a sink bin behind a queue (and, where needed, a parser or a
// converter), hung on a tee of a multi-sink stream and taken off it again
// when it fails.

#include <fmt/format.h>

#include <vector>

#include "media/codec_elements.hpp"
#include "media/convert_bin.hpp"
#include "media/sink_bins.hpp"
#include "media/timestamp_probes.hpp"

namespace ov::media {
namespace {

// A branch re-encodes with fixed settings; the stream's processing options
// already applied before the tee.
PipelineConfig branch_config(Codec codec) {
    PipelineConfig config;
    config.bitrate = 4000;
    config.keyframe_interval = 30;
    config.codec = codec;
    config.encoder_profile = EncoderProfile::LowLatency;
    config.transcode = false;
    config.congestion_control = true;
    return config;
}

gst::ElementResult make_branch_queue(bool live) {
    // A live branch holds one buffer and drops the oldest, so a slow sink never
    // holds back the tee and the other sinks; files must lose nothing.
    if (live) {
        return gst::make_element({"queue", std::nullopt, {{"leaky", gst::FromString{"2"}}, {"max-size-buffers", 1u}}});
    }
    return gst::make_element({"queue", std::nullopt, {{"max-size-buffers", 5u}}});
}

}  // namespace

gst::ElementResult build_branch(const SinkKind& sink, size_t index, bool input_encoded, Codec codec, bool live) {
    gst::ElementPtr bin = gst::make_bin(fmt::format("branch_{}", index));
    auto queue = make_branch_queue(live);
    if (!queue) return queue;
    auto sink_bin = build_sink_bin(sink, codec, live, index);
    if (!sink_bin) return sink_bin;

    const bool fake = std::holds_alternative<sink::Fake>(sink);
    const OutputKind wanted = wanted_input(sink);
    const OutputKind input = input_encoded ? OutputKind::Encoded : OutputKind::Raw;
    std::vector<gst::ElementPtr> chain{queue.value()};
    // Sinks that take the elementary stream get parameter sets with every key
    // frame from their own parser, whatever joined the tee first.
    if (input_encoded && (wanted == OutputKind::Encoded || fake)) {
        auto parser = make_parser(codec);
        if (!parser) return parser;
        carry_timestamps(parser.value().get());
        chain.push_back(std::move(parser).value());
    }
    if (!fake && wanted != input) {
        auto converter = build_convert_bin(input, wanted, branch_config(codec), live);
        if (!converter) return converter;
        chain.push_back(std::move(converter).value());
    }
    chain.push_back(std::move(sink_bin).value());

    if (auto error = gst::add_elements(bin.get(), chain)) return *error;
    if (auto error = gst::link_chain(chain)) return *error;
    if (auto error = gst::expose_pad(bin.get(), gst::required_pad(queue.value().get(), "sink").get())) return *error;
    return bin;
}

gst::Status link_tee_branch(GstElement* tee, GstElement* branch) {
    const gst::PadPtr tee_pad = gst::PadPtr::take(gst_element_request_pad_simple(tee, "src_%u"));
    if (!tee_pad) return OV_BUILD_ERROR("Failed to request src pad from tee");
    const gst::PadPtr branch_pad = gst::static_pad(branch, "sink");
    if (!branch_pad) {
        gst_element_release_request_pad(tee, tee_pad.get());
        return OV_BUILD_ERROR("Branch has no sink pad");
    }
    if (GST_PAD_LINK_FAILED(gst_pad_link(tee_pad.get(), branch_pad.get()))) {
        gst_element_release_request_pad(tee, tee_pad.get());
        return OV_BUILD_ERROR("Failed to link tee to branch");
    }
    return std::nullopt;
}

void remove_branch(GstElement* pipeline, size_t index) {
    const std::string name = fmt::format("branch_{}", index);
    const gst::ElementPtr branch = gst::ElementPtr::take(gst_bin_get_by_name(GST_BIN(pipeline), name.c_str()));
    if (!branch) return;
    if (const gst::PadPtr input = gst::static_pad(branch.get(), "sink")) {
        if (const gst::PadPtr peer = gst::PadPtr::take(gst_pad_get_peer(input.get()))) {
            gst_pad_unlink(peer.get(), input.get());
            const gst::ElementPtr tee = gst::ElementPtr::take(gst_pad_get_parent_element(peer.get()));
            if (tee) gst_element_release_request_pad(tee.get(), peer.get());
        }
    }
    gst_element_set_state(branch.get(), GST_STATE_NULL);
    // Found recursively: the branch may sit in a bin below the pipeline.
    const auto parent = gst::ObjectPtr<GstObject>::take(gst_object_get_parent(GST_OBJECT(branch.get())));
    if (parent && GST_IS_BIN(parent.get())) gst_bin_remove(GST_BIN(parent.get()), branch.get());
}

}  // namespace ov::media
