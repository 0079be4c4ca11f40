// The RTSP source bin: rtspsrc with its dynamic pads linked to a fixed
// queue-depayloader-parser chain, and the sender's capture times from RTCP
// turned into source timestamps.

#include <fmt/format.h>

#include <atomic>
#include <memory>
#include <string_view>

#include "core/log.hpp"
#include "media/codec_elements.hpp"
#include "media/source_bins_internal.hpp"
#include "media/source_timestamp.hpp"
#include "media/timestamp_probes.hpp"

namespace ov::media::detail {
namespace {

// Shared by the "pad-added" and "pad-removed" handlers of one rtspsrc. They
// may run concurrently on rtspsrc's threads, hence the atomic flag.
struct RtspPadState {
    RtspPadState(GstElement* queue, std::string encoding) : queue(queue), expected_encoding(std::move(encoding)) {}
    WeakElement queue;
    const std::string expected_encoding;
    std::atomic<bool> connected{false};
};
using SharedPadState = std::shared_ptr<RtspPadState>;

// The caps that decide whether a pad is ours: its fixed current caps, or what
// it can produce.
gst::CapsPtr pad_caps(GstPad* pad) {
    gst::CapsPtr caps = gst::CapsPtr::take(gst_pad_get_current_caps(pad));
    if (caps && gst_caps_is_fixed(caps.get())) return caps;
    return gst::CapsPtr::take(gst_pad_query_caps(pad, nullptr));
}

void link_rtsp_pad(RtspPadState& state, GstPad* pad) {
    if (state.connected.load()) return;
    const gst::ElementPtr queue = state.queue.get();
    if (!queue) return;

    const gst::CapsPtr caps = pad_caps(pad);
    if (gst_caps_is_empty(caps.get())) {
        OV_WARN(log::kPipeline, "Ignoring RTSP pad with empty caps");
        return;
    }
    if (!gst_caps_is_fixed(caps.get())) return;
    const GstStructure* structure = gst_caps_get_structure(caps.get(), 0);
    const char* media = gst_structure_get_string(structure, "media");
    // Audio and other streams of the session are not used.
    if (!gst_structure_has_name(structure, "application/x-rtp") || media == nullptr ||
        std::string_view(media) != "video") {
        return;
    }
    const char* encoding = gst_structure_get_string(structure, "encoding-name");
    if (encoding == nullptr || state.expected_encoding != encoding) {
        const std::string found = encoding ? fmt::format("Some(\"{}\")", encoding) : std::string("None");
        OV_WARN(log::kPipeline, "Ignoring RTSP pad with encoding {}, expected {}", found, state.expected_encoding);
        return;
    }

    const gst::PadPtr sink = gst::required_pad(queue.get(), "sink");
    if (gst_pad_is_linked(sink.get()) || !gst_pad_can_link(pad, sink.get())) return;
    const GstPadLinkReturn result = gst_pad_link(pad, sink.get());
    if (GST_PAD_LINK_FAILED(result)) {
        OV_WARN(log::kPipeline, "Failed to link RTSP source pad: {}", link_failure_reason(result));
        return;
    }
    state.connected.store(true);
    OV_INFO(log::kPipeline, "[RTSP] Source connected");
}

void on_pad_added(GstElement*, GstPad* pad, gpointer data) {
    try {
        link_rtsp_pad(**static_cast<SharedPadState*>(data), pad);
    } catch (...) {
        // A streaming thread must not unwind; a missing queue pad cannot happen.
    }
}

// rtspsrc removes and re-adds its pads when it reconnects; the new video pad
// must find the queue free again.
void on_pad_removed(GstElement*, GstPad* pad, gpointer data) {
    RtspPadState& state = **static_cast<SharedPadState*>(data);
    if (!state.connected.load()) return;
    const gst::ElementPtr queue = state.queue.get();
    if (!queue) return;
    const gst::PadPtr sink = gst::static_pad(queue.get(), "sink");
    if (sink) gst_pad_unlink(pad, sink.get());
    // GStreamer unlinks a pad before announcing its removal, so the removed
    // pad cannot be asked; the queue's input tells whether it was the video pad
    // (a removed audio pad leaves the video link in place).
    if (!sink || !gst_pad_is_linked(sink.get())) state.connected.store(false);
}

void on_new_manager(GstElement*, GstElement* manager, gpointer) {
    try {
        if (gst::has_property(manager, "add-reference-timestamp-meta")) {
            gst::set_property(manager, "add-reference-timestamp-meta", true);
        }
    } catch (...) {
        // Never unwind into GStreamer; without the metas the fallback stamps frames.
    }
}

// The session manager stamps buffers with the sender's capture time from RTCP
// sender reports in NTP terms: nanoseconds since 1900. Our source timestamps
// count from the Unix epoch. Upstream of the queue the session manager is the
// only element that attaches "timestamp/x-ntp" metas, so every such meta that
// reaches the queue counts from 1900 and is moved by the 2 208 988 800 s
// between the two epochs. A value that lies before 1970 has no Unix
// counterpart; that meta is dropped and the frame gets the wall-clock fallback.
constexpr uint64_t kNtpToUnixEpochNs = 2'208'988'800ull * GST_SECOND;

bool is_source_timestamp_meta(const GstMeta* meta) {
    if (meta->info->api != GST_REFERENCE_TIMESTAMP_META_API_TYPE) return false;
    const auto* reference = reinterpret_cast<const GstReferenceTimestampMeta*>(meta);
    return gst_caps_can_intersect(reference->reference, source_timestamp_caps());
}

bool has_source_timestamp_meta(GstBuffer* buffer) {
    gpointer state = nullptr;
    while (GstMeta* meta = gst_buffer_iterate_meta_filtered(buffer, &state, GST_REFERENCE_TIMESTAMP_META_API_TYPE)) {
        if (is_source_timestamp_meta(meta)) return true;
    }
    return false;
}

gboolean rebase_meta(GstBuffer*, GstMeta** meta, gpointer) {
    if (!is_source_timestamp_meta(*meta)) return TRUE;
    auto* reference = reinterpret_cast<GstReferenceTimestampMeta*>(*meta);
    if (GST_CLOCK_TIME_IS_VALID(reference->timestamp) && reference->timestamp >= kNtpToUnixEpochNs) {
        reference->timestamp -= kNtpToUnixEpochNs;
    } else {
        *meta = nullptr;  // removes it
    }
    return TRUE;
}

GstBuffer* rebase_buffer(GstBuffer* buffer) {
    if (!has_source_timestamp_meta(buffer)) return buffer;
    buffer = gst_buffer_make_writable(buffer);
    gst_buffer_foreach_meta(buffer, rebase_meta, nullptr);
    return buffer;
}

gboolean rebase_list_item(GstBuffer** buffer, guint, gpointer) {
    *buffer = rebase_buffer(*buffer);
    return TRUE;
}

GstPadProbeReturn rebase_ntp_metas(GstPad*, GstPadProbeInfo* info, gpointer) {
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        GST_PAD_PROBE_INFO_DATA(info) = rebase_buffer(GST_PAD_PROBE_INFO_BUFFER(info));
    } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* list = gst_buffer_list_make_writable(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
        gst_buffer_list_foreach(list, rebase_list_item, nullptr);
        GST_PAD_PROBE_INFO_DATA(info) = list;
    }
    return GST_PAD_PROBE_OK;
}

}  // namespace

gst::ElementResult build_rtsp_bin(const source::Rtsp& rtsp, Codec codec) {
    gst::ElementPtr bin = gst::make_bin("src_bin");
    OV_TRY_ELEMENT(source, gst::make_element({"rtspsrc",
                                              std::nullopt,
                                              {{"location", rtsp.url},
                                               {"latency", 50u},
                                               {"drop-on-latency", true}}}));
    g_signal_connect(source.get(), "new-manager", G_CALLBACK(on_new_manager), nullptr);
    OV_TRY_ELEMENT(queue, make_plain_queue());
    OV_TRY_ELEMENT(depayloader, make_depayloader(codec));
    OV_TRY_ELEMENT(parser, make_parser(codec));

    gst_pad_add_probe(gst::required_pad(queue.get(), "sink").get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      rebase_ntp_metas, nullptr, nullptr);
    carry_timestamps(depayloader.get());
    carry_timestamps(parser.get());
    stamp_wall_clock_fallback(parser.get(), false);

    const gst::ElementPtr elements[] = {source, queue, depayloader, parser};
    if (auto error = gst::add_elements(bin.get(), elements)) return *error;
    const gst::ElementPtr chain[] = {queue, depayloader, parser};
    if (auto error = gst::link_chain(chain)) return *error;

    const auto state = std::make_shared<RtspPadState>(queue.get(), codec_names(codec).rtp_encoding);
    g_signal_connect_data(source.get(), "pad-added", G_CALLBACK(on_pad_added), new SharedPadState(state),
                          delete_handler_state<SharedPadState>, GConnectFlags{});
    g_signal_connect_data(source.get(), "pad-removed", G_CALLBACK(on_pad_removed), new SharedPadState(state),
                          delete_handler_state<SharedPadState>, GConnectFlags{});
    return finish_with_src(std::move(bin), parser.get());
}

}  // namespace ov::media::detail
