// Sink bins: what each sink kind builds, in which order and with which
// settings, and the one-shot log of a sink's first buffer.

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include "gst/init.hpp"
#include "media/sink_bins.hpp"
#include "sink_bins_support.hpp"

namespace ov::media {
namespace {

using test::factories;
using test::get_bool;
using test::get_caps;
using test::get_int;
using test::get_string;
using test::get_uint;
using test::LogCapture;
using test::sink_bin;
using test::whip_sink;

struct Expected {
    const char* what;
    SinkKind sink;
    Codec codec;
    bool live;
    std::vector<std::string> factories;
    std::string input;  // "<factory>.<pad>" behind the ghost "sink"
};

TEST(SinkBin, ElementsInLinkOrderAndTheirInput) {
    const Expected cases[] = {
        {"WHIP", whip_sink(), Codec::H264, true, {"capsfilter", "webrtcbin"}, "capsfilter.sink"},
        {"RTP, live", sink::UdpRtp{"127.0.0.1", 5000}, Codec::H264, true,
         {"capsfilter", "rtpbin", "udpsink", "udpsink"}, "capsfilter.sink"},
        {"RTP, not live", sink::UdpRtp{"127.0.0.1", 5000}, Codec::H264, false, {"capsfilter", "udpsink"},
         "capsfilter.sink"},
        {"RTP, live, last port", sink::UdpRtp{"127.0.0.1", 65535}, Codec::H264, true,
         {"capsfilter", "rtpbin", "udpsink"}, "capsfilter.sink"},
        {"MPEG-TS", sink::UdpMpegTs{"127.0.0.1", 5004}, Codec::H265, true, {"mpegtsmux", "udpsink"},
         "mpegtsmux.sink_"},
        {"file", sink::File{"/tmp/never-written.mp4"}, Codec::H264, false, {"qtmux", "filesink"}, "qtmux.video_0"},
        {"fake", sink::Fake{}, Codec::H264, true, {"fakesink"}, "fakesink.sink"},
        {"display", sink::Display{}, Codec::H264, true, {"videoconvert", "autovideosink"}, "videoconvert.sink"},
        {"app", sink::App{"RGB"}, Codec::H264, true, {"videoconvert", "appsink"}, "videoconvert.sink"},
        {"app encoded", sink::AppEncoded{}, Codec::AV1, true, {"appsink"}, "appsink.sink"},
    };
    size_t index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        const gst::ElementPtr bin = sink_bin(c.sink, c.codec, c.live, index);
        EXPECT_EQ(gst::element_name(bin.get()), fmt::format("sink_bin_{}", index));
        const auto chain = test::chain_of(bin.get());
        EXPECT_EQ(factories(chain), c.factories);
        EXPECT_EQ(GST_BIN_NUMCHILDREN(GST_BIN(bin.get())), static_cast<int>(chain.size()));
        const auto [input, pad] = test::ghost_target(bin.get(), "sink");
        ASSERT_TRUE(input);
        EXPECT_EQ((test::factory_of(input.get()) + "." + pad).rfind(c.input, 0), 0u) << pad;
        EXPECT_FALSE(gst::static_pad(bin.get(), "src"));
        // Only the sink without an RTCP port has something to say while building.
        const bool last_port = std::holds_alternative<sink::UdpRtp>(c.sink) && c.live &&
                               std::get<sink::UdpRtp>(c.sink).port == 65535;
        EXPECT_EQ(log.messages(log::Level::Warn),
                  last_port ? std::vector<std::string>{"[UDP sink] no RTCP port above 65535; sending RTP without RTCP"}
                            : std::vector<std::string>{});
        ++index;
    }
}

TEST(SinkBin, RtpCapsFilterDescribesTheCodecsPackets) {
    const std::pair<Codec, const char*> codecs[] = {{Codec::H264, "H264"}, {Codec::H265, "H265"}, {Codec::AV1, "AV1"}};
    for (const auto& [codec, name] : codecs) {
        for (const SinkKind& sink : {SinkKind{whip_sink()}, SinkKind{sink::UdpRtp{"127.0.0.1", 5000}}}) {
            const gst::ElementPtr bin = sink_bin(sink, codec, true);
            const gst::ElementPtr filter = test::by_name(bin.get(), "video_rtp_filter");
            ASSERT_TRUE(filter);
            EXPECT_EQ(get_caps(filter.get(), "caps"),
                      fmt::format("application/x-rtp, media=(string)video, encoding-name=(string){}, "
                                  "clock-rate=(int)90000, payload=(int)96",
                                  name));
        }
    }
}

TEST(SinkBin, WhipSettings) {
    const gst::ElementPtr bin = sink_bin(whip_sink(), Codec::H264, true, 2);
    const gst::ElementPtr webrtc = test::by_name(bin.get(), "webrtcbin_2");
    ASSERT_TRUE(webrtc);
    EXPECT_EQ(test::get_enum_nick(webrtc.get(), "bundle-policy"), "max-bundle");
    EXPECT_EQ(get_uint(webrtc.get(), "latency"), 20u);
    const gst::ElementPtr rtpbin = test::find_factory(webrtc.get(), "rtpbin");
    ASSERT_TRUE(rtpbin);
    EXPECT_FALSE(get_bool(rtpbin.get(), "rtcp-sync-send-time"));
    EXPECT_FALSE(get_bool(rtpbin.get(), "autoremove"));
    // The caps filter feeds a sink pad requested from the webrtcbin.
    const gst::PadPtr out = gst::static_pad(test::by_name(bin.get(), "video_rtp_filter").get(), "src");
    const gst::PadPtr peer = gst::PadPtr::take(gst_pad_get_peer(out.get()));
    ASSERT_TRUE(peer);
    EXPECT_EQ(test::parent_element(peer.get()).get(), webrtc.get());
}

TEST(SinkBin, LiveRtpSessionSendsRtpAndRtcpToNeighbouringPorts) {
    const gst::ElementPtr bin = sink_bin(sink::UdpRtp{"127.0.0.1", 5000}, Codec::H264, true);
    const gst::ElementPtr rtpbin = test::by_name(bin.get(), "udp_rtpbin");
    ASSERT_TRUE(rtpbin);
    EXPECT_FALSE(get_bool(rtpbin.get(), "rtcp-sync-send-time"));
    EXPECT_EQ(test::get_enum_nick(rtpbin.get(), "ntp-time-source"), "unix");
    const std::pair<const char*, int> outputs[] = {{"send_rtp_src_0", 5000}, {"send_rtcp_src_0", 5001}};
    for (const auto& [pad_name, port] : outputs) {
        const gst::PadPtr pad = gst::static_pad(rtpbin.get(), pad_name);
        ASSERT_TRUE(pad) << pad_name;
        const gst::PadPtr peer = gst::PadPtr::take(gst_pad_get_peer(pad.get()));
        ASSERT_TRUE(peer) << pad_name;
        const gst::ElementPtr udpsink = test::parent_element(peer.get());
        EXPECT_EQ(test::factory_of(udpsink.get()), "udpsink");
        EXPECT_EQ(get_string(udpsink.get(), "host"), "127.0.0.1");
        EXPECT_EQ(get_int(udpsink.get(), "port"), port);
        EXPECT_FALSE(get_bool(udpsink.get(), "sync"));
        EXPECT_FALSE(get_bool(udpsink.get(), "async"));
    }
}

TEST(SinkBin, MuxerAndSinkSettings) {
    {
        const gst::ElementPtr bin = sink_bin(sink::UdpMpegTs{"127.0.0.1", 5004}, Codec::H264, true);
        EXPECT_EQ(get_int(test::find_factory(bin.get(), "mpegtsmux").get(), "alignment"), 7);
        const gst::ElementPtr udpsink = test::find_factory(bin.get(), "udpsink");
        EXPECT_EQ(get_int(udpsink.get(), "port"), 5004);
        EXPECT_FALSE(get_bool(udpsink.get(), "sync"));
    }
    {
        const gst::ElementPtr bin = sink_bin(sink::File{"/tmp/out.mp4"}, Codec::H264, false);
        EXPECT_EQ(get_string(test::find_factory(bin.get(), "filesink").get(), "location"), "/tmp/out.mp4");
    }
    {
        const gst::ElementPtr bin = sink_bin(sink::Fake{}, Codec::H264, false);
        EXPECT_FALSE(get_bool(test::find_factory(bin.get(), "fakesink").get(), "sync"));
    }
    // A file shown on screen plays at its own pace; live video is shown as it comes.
    for (const bool live : {true, false}) {
        const gst::ElementPtr bin = sink_bin(sink::Display{}, Codec::H264, live);
        EXPECT_EQ(get_bool(test::find_factory(bin.get(), "autovideosink").get(), "sync"), !live);
    }
}

TEST(SinkBin, ApplicationSinksKeepNewestFrameButEveryAccessUnit) {
    const gst::ElementPtr raw = sink_bin(sink::App{"GRAY8"}, Codec::H264, true);
    const gst::ElementPtr appsink = test::by_name(raw.get(), "appsink");
    ASSERT_TRUE(appsink);
    EXPECT_EQ(get_caps(appsink.get(), "caps"), "video/x-raw, format=(string)GRAY8");
    EXPECT_FALSE(get_bool(appsink.get(), "sync"));
    EXPECT_EQ(get_uint(appsink.get(), "max-buffers"), 1u);
    EXPECT_TRUE(get_bool(appsink.get(), "drop"));

    const std::pair<Codec, const char*> codecs[] = {
        {Codec::H264, "video/x-h264, stream-format=(string)byte-stream, alignment=(string)au"},
        {Codec::H265, "video/x-h265, stream-format=(string)byte-stream, alignment=(string)au"},
        // What the AV1 parser offers: byte-stream does not exist for AV1.
        {Codec::AV1, "video/x-av1, stream-format=(string)obu-stream, alignment=(string)tu"},
    };
    for (const auto& [codec, caps] : codecs) {
        const gst::ElementPtr bin = sink_bin(sink::AppEncoded{}, codec, true);
        const gst::ElementPtr encoded = test::by_name(bin.get(), "appsink_encoded");
        ASSERT_TRUE(encoded);
        EXPECT_EQ(get_caps(encoded.get(), "caps"), caps);
        EXPECT_FALSE(get_bool(encoded.get(), "sync"));
        EXPECT_EQ(get_uint(encoded.get(), "max-buffers"), 0u);
        EXPECT_FALSE(get_bool(encoded.get(), "drop"));
    }
}

TEST(FirstBufferLog, LogsStreamingOnceAtTheFirstBuffer) {
    LogCapture log;
    GstHarness* harness = gst_harness_new("fakesink");
    add_first_buffer_sink_log(harness->element, "Test");
    gst_harness_set_src_caps_str(harness, "video/x-raw");
    EXPECT_TRUE(log.entries().empty());
    GstBufferList* list = gst_buffer_list_new();
    gst_buffer_list_add(list, gst_buffer_new_allocate(nullptr, 4, nullptr));
    EXPECT_EQ(gst_pad_push_list(harness->srcpad, list), GST_FLOW_OK);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(gst_harness_push(harness, gst_buffer_new_allocate(nullptr, 4, nullptr)), GST_FLOW_OK);
    gst_harness_teardown(harness);
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "[Test sink] Streaming");
    EXPECT_EQ(entries[0].level, log::Level::Info);
    EXPECT_EQ(entries[0].target, log::kPipeline);

    const gst::ElementPtr source = test::make({"videotestsrc", std::nullopt, {}});
    EXPECT_THROW(add_first_buffer_sink_log(source.get(), "Test"), InternalFault);
}

}  // namespace
}  // namespace ov::media
