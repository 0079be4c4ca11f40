#include "media/sink_bins.hpp"

#include <fmt/format.h>

#include <atomic>
#include <vector>

#include "core/log.hpp"
#include "gst/caps.hpp"
#include "media/codec_elements.hpp"
#include "media/timestamp_probes.hpp"

namespace ov::media {
namespace {

using ElementList = std::vector<gst::ElementPtr>;

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

gst::ElementResult make_rtp_caps_filter(Codec codec) {
    auto caps = gst::make_caps("application/x-rtp", {{"media", std::string{"video"}},
                                                      {"encoding-name", std::string{codec_names(codec).rtp_encoding}},
                                                      {"clock-rate", int32_t{90000}},
                                                      {"payload", int32_t{96}}});
    return gst::make_element({"capsfilter", "video_rtp_filter", {{"caps", std::move(caps)}}});
}

// Sinks behind an RTP session skip the preroll: RTCP only exists once the
// pipeline plays, so its sink would hold the state change forever.
gst::ElementResult make_udpsink(const std::string& host, uint32_t port, bool skip_preroll) {
    std::vector<gst::Property> properties{{"host", host}, {"port", static_cast<int32_t>(port)}, {"sync", false}};
    if (skip_preroll) properties.push_back({"async", false});
    return gst::make_element({"udpsink", std::nullopt, std::move(properties)});
}

// The bin and the pad its ghost "sink" exposes, once every element is in.
gst::ElementResult finish(gst::ElementPtr bin, GstPad* input) {
    if (auto error = gst::expose_pad(bin.get(), input)) return *error;
    return bin;
}

gst::PadPtr request_pad(GstElement* element, const char* name_template) {
    gst::PadPtr pad = gst::PadPtr::take(gst_element_request_pad_simple(element, name_template));
    if (!pad) {
        throw InternalFault(
            fmt::format("element '{}' gave no '{}' pad", gst::element_name(element), name_template));
    }
    return pad;
}

void link_pads(GstPad* src, GstPad* sink) {
    if (GST_PAD_LINK_FAILED(gst_pad_link(src, sink))) {
        throw InternalFault(fmt::format("failed to link pads '{}' and '{}'", GST_PAD_NAME(src), GST_PAD_NAME(sink)));
    }
}

// The rtpbin that webrtcbin makes for itself when it is created.
gst::ElementPtr inner_rtpbin(GstElement* webrtcbin) {
    GstIterator* children = gst_bin_iterate_elements(GST_BIN(webrtcbin));
    GValue item = G_VALUE_INIT;
    gst::ElementPtr found;
    bool done = false;
    while (!done && !found) {
        switch (gst_iterator_next(children, &item)) {
            case GST_ITERATOR_OK: {
                auto* child = GST_ELEMENT(g_value_get_object(&item));
                GstElementFactory* factory = gst_element_get_factory(child);
                if (factory && g_strcmp0(GST_OBJECT_NAME(factory), "rtpbin") == 0) found = gst::ElementPtr::ref(child);
                g_value_reset(&item);
                break;
            }
            case GST_ITERATOR_RESYNC: gst_iterator_resync(children); break;
            default: done = true; break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(children);
    return found;
}

gst::ElementResult build_whip(gst::ElementPtr bin, Codec codec, size_t index) {
    auto filter = make_rtp_caps_filter(codec);
    if (!filter) return filter;
    auto webrtc = gst::make_element({"webrtcbin",
                                     fmt::format("webrtcbin_{}", index),
                                     {{"bundle-policy", gst::FromString{"max-bundle"}}, {"latency", gst::FromString{"20"}}}});
    if (!webrtc) return webrtc;
    // Sender reports carry capture times rather than send times, and sources
    // that time out stay in the session so a stalled receiver does not lose
    // its SSRC state.
    if (gst::ElementPtr rtpbin = inner_rtpbin(webrtc.value().get())) {
        gst::set_property(rtpbin.get(), "rtcp-sync-send-time", false);
        gst::set_property(rtpbin.get(), "autoremove", false);
    }
    const ElementList chain{filter.value(), webrtc.value()};
    if (auto error = gst::add_elements(bin.get(), chain)) return *error;
    if (auto error = gst::link(filter.value().get(), webrtc.value().get())) return *error;
    return finish(std::move(bin), gst::required_pad(filter.value().get(), "sink").get());
}

gst::ElementResult build_udp_rtp(gst::ElementPtr bin, const sink::UdpRtp& udp, Codec codec, bool live) {
    auto filter = make_rtp_caps_filter(codec);
    if (!filter) return filter;
    if (!live) {
        // Files and image sequences play at their own pace; receiver reports
        // would only describe a replay, so RTP goes out on its own.
        auto udpsink = make_udpsink(udp.host, udp.port, false);
        if (!udpsink) return udpsink;
        const ElementList chain{filter.value(), udpsink.value()};
        if (auto error = gst::add_elements(bin.get(), chain)) return *error;
        if (auto error = gst::link_chain(chain)) return *error;
        add_first_buffer_sink_log(udpsink.value().get(), "UDP");
        return finish(std::move(bin), gst::required_pad(filter.value().get(), "sink").get());
    }

    auto rtpbin = gst::make_element({"rtpbin",
                                     "udp_rtpbin",
                                     {{"rtcp-sync-send-time", false}, {"ntp-time-source", gst::FromString{"unix"}}}});
    if (!rtpbin) return rtpbin;
    auto rtp_sink = make_udpsink(udp.host, udp.port, true);
    if (!rtp_sink) return rtp_sink;
    // RTCP goes to the port above the RTP port; 65535 has none, and a stream
    // that only lacks receiver statistics is still worth sending.
    gst::ElementPtr rtcp_sink;
    if (udp.port < 65535) {
        auto made = make_udpsink(udp.host, udp.port + 1u, true);
        if (!made) return made;
        rtcp_sink = std::move(made).value();
    } else {
        OV_WARN(log::kPipeline, "[UDP sink] no RTCP port above 65535; sending RTP without RTCP");
    }
    ElementList chain{filter.value(), rtpbin.value(), rtp_sink.value()};
    if (rtcp_sink) chain.push_back(rtcp_sink);
    if (auto error = gst::add_elements(bin.get(), chain)) return *error;

    GstElement* session = rtpbin.value().get();
    const gst::PadPtr rtp_in = request_pad(session, "send_rtp_sink_0");
    link_pads(gst::required_pad(filter.value().get(), "src").get(), rtp_in.get());
    link_pads(gst::required_pad(session, "send_rtp_src_0").get(), gst::required_pad(rtp_sink.value().get(), "sink").get());
    if (rtcp_sink) {
        const gst::PadPtr rtcp_out = request_pad(session, "send_rtcp_src_0");
        link_pads(rtcp_out.get(), gst::required_pad(rtcp_sink.get(), "sink").get());
    }
    add_first_buffer_sink_log(rtp_sink.value().get(), "UDP");
    return finish(std::move(bin), gst::required_pad(filter.value().get(), "sink").get());
}

gst::ElementResult build_udp_mpegts(gst::ElementPtr bin, const sink::UdpMpegTs& udp) {
    // Seven transport packets (1316 bytes) fill one datagram below a 1500-byte MTU.
    auto mux = gst::make_element({"mpegtsmux", std::nullopt, {{"alignment", int32_t{7}}}});
    if (!mux) return mux;
    auto udpsink = make_udpsink(udp.host, udp.port, false);
    if (!udpsink) return udpsink;
    const ElementList chain{mux.value(), udpsink.value()};
    if (auto error = gst::add_elements(bin.get(), chain)) return *error;
    if (auto error = gst::link_chain(chain)) return *error;
    add_first_buffer_sink_log(udpsink.value().get(), "UDP");
    const gst::PadPtr input = request_pad(mux.value().get(), "sink_%d");
    return finish(std::move(bin), input.get());
}

gst::ElementResult build_file(gst::ElementPtr bin, const sink::File& file) {
    auto mux = gst::make_element({"qtmux", std::nullopt, {}});
    if (!mux) return mux;
    auto filesink = gst::make_element({"filesink", std::nullopt, {{"location", file.location}}});
    if (!filesink) return filesink;
    const ElementList chain{mux.value(), filesink.value()};
    if (auto error = gst::add_elements(bin.get(), chain)) return *error;
    if (auto error = gst::link_chain(chain)) return *error;
    const gst::PadPtr input = request_pad(mux.value().get(), "video_%u");
    // Muxers of older GStreamer versions stamp the file with the time of writing only.
    if (gst::has_property(mux.value().get(), "creation-time")) set_creation_time(input.get(), mux.value().get());
    return finish(std::move(bin), input.get());
}

gst::ElementResult build_fake(gst::ElementPtr bin) {
    auto fakesink = gst::make_element({"fakesink", std::nullopt, {{"sync", false}}});
    if (!fakesink) return fakesink;
    if (auto error = gst::add_element(bin.get(), fakesink.value().get())) return *error;
    return finish(std::move(bin), gst::required_pad(fakesink.value().get(), "sink").get());
}

gst::ElementResult build_display(gst::ElementPtr bin, bool live) {
    auto convert = gst::make_element({"videoconvert", std::nullopt, {}});
    if (!convert) return convert;
    // A live picture is shown as it arrives; a file plays at its own pace.
    std::vector<gst::Property> properties;
    if (live) properties.push_back({"sync", false});
    auto window = gst::make_element({"autovideosink", std::nullopt, std::move(properties)});
    if (!window) return window;
    const ElementList chain{convert.value(), window.value()};
    if (auto error = gst::add_elements(bin.get(), chain)) return *error;
    if (auto error = gst::link_chain(chain)) return *error;
    return finish(std::move(bin), gst::required_pad(convert.value().get(), "sink").get());
}

gst::ElementResult build_app(gst::ElementPtr bin, const sink::App& app) {
    auto convert = gst::make_element({"videoconvert", std::nullopt, {}});
    if (!convert) return convert;
    carry_timestamps(convert.value().get());
    // Every frame handed to the program has a capture time, even from a
    // custom source that never set one.
    stamp_wall_clock_fallback(convert.value().get(), false);
    // Only the newest frame is kept: a slow reader skips frames instead of
    // holding back the stream.
    auto appsink = gst::make_element({"appsink",
                                      "appsink",
                                      {{"caps", gst::make_caps("video/x-raw", {{"format", app.format}})},
                                       {"sync", false},
                                       {"max-buffers", 1u},
                                       {"drop", true}}});
    if (!appsink) return appsink;
    const ElementList chain{convert.value(), appsink.value()};
    if (auto error = gst::add_elements(bin.get(), chain)) return *error;
    if (auto error = gst::link_chain(chain)) return *error;
    return finish(std::move(bin), gst::required_pad(convert.value().get(), "sink").get());
}

gst::CapsPtr encoded_caps(Codec codec) {
    const char* media_type = codec_names(codec).media_type;
    // AV1 parsers offer OBU streams aligned to temporal units, never byte-stream.
    if (codec == Codec::AV1) {
        return gst::make_caps(media_type, {{"stream-format", std::string{"obu-stream"}},
                                           {"alignment", std::string{"tu"}}});
    }
    return gst::make_caps(media_type, {{"stream-format", std::string{"byte-stream"}},
                                       {"alignment", std::string{"au"}}});
}

gst::ElementResult build_app_encoded(gst::ElementPtr bin, Codec codec) {
    // Every access unit is kept: encoded video cannot skip frames.
    auto appsink = gst::make_element({"appsink",
                                      "appsink_encoded",
                                      {{"caps", encoded_caps(codec)},
                                       {"sync", false},
                                       {"max-buffers", 0u},
                                       {"drop", false}}});
    if (!appsink) return appsink;
    if (auto error = gst::add_element(bin.get(), appsink.value().get())) return *error;
    return finish(std::move(bin), gst::required_pad(appsink.value().get(), "sink").get());
}

struct FirstBufferLog {
    std::string label;
    std::atomic<bool> logged{false};
};

GstPadProbeReturn log_first_buffer(GstPad*, GstPadProbeInfo*, gpointer data) {
    auto* state = static_cast<FirstBufferLog*>(data);
    try {
        if (!state->logged.exchange(true)) OV_INFO(log::kPipeline, "[{} sink] Streaming", state->label);
    } catch (...) {
        // A failed log line must never stop the stream.
    }
    return GST_PAD_PROBE_REMOVE;
}

}  // namespace

OutputKind wanted_input(const SinkKind& sink) {
    return std::visit(Overloaded{
                          [](const sink::Whip&) { return OutputKind::Rtp; },
                          [](const sink::UdpRtp&) { return OutputKind::Rtp; },
                          [](const sink::UdpMpegTs&) { return OutputKind::Encoded; },
                          [](const sink::File&) { return OutputKind::Encoded; },
                          [](const sink::AppEncoded&) { return OutputKind::Encoded; },
                          [](const sink::Display&) { return OutputKind::Raw; },
                          [](const sink::App&) { return OutputKind::Raw; },
                          [](const sink::Fake&) { return OutputKind::Raw; },
                      },
                      sink);
}

gst::ElementResult build_sink_bin(const SinkKind& sink, Codec codec, bool live, size_t index) {
    gst::ElementPtr bin = gst::make_bin(fmt::format("sink_bin_{}", index));
    return std::visit(Overloaded{
                          [&](const sink::Whip&) { return build_whip(std::move(bin), codec, index); },
                          [&](const sink::UdpRtp& udp) { return build_udp_rtp(std::move(bin), udp, codec, live); },
                          [&](const sink::UdpMpegTs& udp) { return build_udp_mpegts(std::move(bin), udp); },
                          [&](const sink::File& file) { return build_file(std::move(bin), file); },
                          [&](const sink::Fake&) { return build_fake(std::move(bin)); },
                          [&](const sink::Display&) { return build_display(std::move(bin), live); },
                          [&](const sink::App& app) { return build_app(std::move(bin), app); },
                          [&](const sink::AppEncoded&) { return build_app_encoded(std::move(bin), codec); },
                      },
                      sink);
}

void add_first_buffer_sink_log(GstElement* element, std::string label) {
    const gst::PadPtr pad = gst::required_pad(element, "sink");
    auto* state = new FirstBufferLog{std::move(label)};
    gst_pad_add_probe(pad.get(), static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      log_first_buffer, state, [](gpointer data) { delete static_cast<FirstBufferLog*>(data); });
}

}  // namespace ov::media
