// Source bins that receive RTP or an MPEG transport stream on a UDP port.

#include "gst/caps.hpp"
#include "media/codec_elements.hpp"
#include "media/source_bins_internal.hpp"
#include "media/timestamp_probes.hpp"

namespace ov::media::detail {
namespace {

// Bursts of a high-rate stream overrun the kernel's default receive buffer.
constexpr int32_t kReceiveBufferBytes = 2 * 1024 * 1024;

void on_demuxer_pad_added(GstElement*, GstPad* pad, gpointer data) {
    try {
        const gst::ElementPtr parser = static_cast<WeakElement*>(data)->get();
        if (!parser) return;
        const gst::PadPtr sink = gst::required_pad(parser.get(), "sink");
        // Whichever stream links first feeds the parser; a pad of another
        // codec fails to link and leaves it free for the next one.
        if (!gst_pad_is_linked(sink.get())) (void)gst_pad_link(pad, sink.get());
    } catch (...) {
        // A streaming thread must not unwind.
    }
}

}  // namespace

gst::ElementResult build_udp_rtp_bin(const source::UdpRtp& udp, Codec codec) {
    gst::ElementPtr bin = gst::make_bin("src_bin");
    const std::string encoding = codec_names(codec).rtp_encoding;
    const auto caps = gst::make_caps("application/x-rtp", {{"media", std::string("video")},
                                                           {"encoding-name", encoding},
                                                           {"clock-rate", int32_t{90000}}});
    OV_TRY_ELEMENT(source, gst::make_element({"udpsrc",
                                              std::nullopt,
                                              {{"port", static_cast<int32_t>(udp.port)},
                                               {"caps", caps},
                                               {"do-timestamp", true},
                                               {"buffer-size", kReceiveBufferBytes}}}));
    OV_TRY_ELEMENT(queue, make_plain_queue());
    OV_TRY_ELEMENT(jitter, gst::make_element({"rtpjitterbuffer",
                                              std::nullopt,
                                              {{"latency", 10u}, {"drop-on-latency", true}}}));
    OV_TRY_ELEMENT(depayloader, make_depayloader(codec));
    OV_TRY_ELEMENT(parser, make_parser(codec));
    read_rtp_timestamp_extension(jitter.get());
    carry_timestamps(depayloader.get());
    carry_timestamps(parser.get());
    stamp_wall_clock_fallback(parser.get(), false);
    const gst::ElementPtr chain[] = {source, queue, jitter, depayloader, parser};
    if (auto error = add_and_link(bin.get(), chain)) return *error;
    return finish_with_src(std::move(bin), parser.get());
}

gst::ElementResult build_udp_mpegts_bin(const source::UdpMpegTs& udp, Codec codec) {
    gst::ElementPtr bin = gst::make_bin("src_bin");
    OV_TRY_ELEMENT(source, gst::make_element({"udpsrc",
                                              std::nullopt,
                                              {{"port", static_cast<int32_t>(udp.port)},
                                               {"caps", gst::make_caps("video/mpegts", {{"systemstream", true}})},
                                               {"do-timestamp", true},
                                               {"buffer-size", kReceiveBufferBytes}}}));
    OV_TRY_ELEMENT(demuxer, gst::make_element({"tsdemux", std::nullopt, {}}));
    OV_TRY_ELEMENT(parser, make_parser(codec));
    stamp_wall_clock_fallback(parser.get(), false);
    const gst::ElementPtr elements[] = {source, demuxer, parser};
    if (auto error = gst::add_elements(bin.get(), elements)) return *error;
    if (auto error = gst::link(source.get(), demuxer.get())) return *error;
    g_signal_connect_data(demuxer.get(), "pad-added", G_CALLBACK(on_demuxer_pad_added), new WeakElement(parser.get()),
                          delete_handler_state<WeakElement>, GConnectFlags{});
    return finish_with_src(std::move(bin), parser.get());
}

}  // namespace ov::media::detail
