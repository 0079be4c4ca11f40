// Source bins that receive over the network: RTP and MPEG-TS on UDP ports,
// and RTSP from our own test server. Every peer sends to 127.0.0.1 only.

#include <mutex>

#include "gst/init.hpp"
#include "media/timestamp_probes.hpp"
#include "source_bins_support.hpp"

namespace ov::test {
namespace {

TEST(UdpRtpSource, ChainOfEachCodec) {
    const std::pair<Codec, std::vector<std::string>> cases[] = {
        {Codec::H264, {"udpsrc", "queue", "rtpjitterbuffer", "rtph264depay", "h264parse"}},
        {Codec::H265, {"udpsrc", "queue", "rtpjitterbuffer", "rtph265depay", "h265parse"}},
    };
    for (const auto& [codec, expected] : cases) {
        const auto bin = build_ok(source::UdpRtp{5004}, codec);
        ASSERT_EQ(factories(bin.get()), expected);
        const auto chain = children(bin.get());
        const std::string encoding = codec == Codec::H264 ? "H264" : "H265";
        expect_properties(chain[0].get(),
                          {{"port", "5004"},
                           {"caps", "application/x-rtp, media=(string)video, encoding-name=(string)" + encoding +
                                        ", clock-rate=(int)90000"},
                           {"do-timestamp", "true"},
                           {"buffer-size", "2097152"}});
        expect_properties(chain[1].get(), {{"leaky", "no"}, {"max-size-buffers", "200"}});
        expect_properties(chain[2].get(), {{"latency", "10"}, {"drop-on-latency", "true"}});
        if (gst::has_property(chain[3].get(), "auto-header-extension")) {
            expect_properties(chain[3].get(), {{"auto-header-extension", "false"}});
        }
        expect_properties(chain[4].get(), {{"config-interval", "-1"}});
        for (size_t i = 1; i < chain.size(); ++i) EXPECT_TRUE(feeds(chain[i - 1].get(), chain[i].get()));
        EXPECT_EQ(src_target(bin.get()).get(), chain[4].get());
    }
    if (!gst::factory_exists("rtpav1depay")) {
        EXPECT_EQ(build_error(source::UdpRtp{5004}, Codec::AV1),
                  "Failed to find element factory with name 'rtpav1depay' for creating element");
    }
}

// A GStreamer sender of H.264 over RTP to 127.0.0.1:port. With a capture
// time origin it writes the RTP timestamp extension, as our RTP sinks do.
class RtpSender {
public:
    RtpSender(uint16_t port, std::optional<uint64_t> capture_origin) {
        const std::string description = fmt::format(
            "videotestsrc is-live=true name=src ! video/x-raw,width=160,height=120,framerate=25/1 "
            "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=10 name=enc "
            "! rtph264pay name=pay pt=96 config-interval=-1 ! udpsink host=127.0.0.1 port={}",
            port);
        pipeline_ = gst::ElementPtr::ref(gst_parse_launch(description.c_str(), nullptr));
        if (capture_origin) {
            media::stamp_from_start(named("src").get(), *capture_origin);
            media::carry_timestamps(named("enc").get());
            media::write_rtp_timestamp_extension(named("pay").get(), false);
        }
        gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
    }
    ~RtpSender() { gst_element_set_state(pipeline_.get(), GST_STATE_NULL); }

private:
    gst::ElementPtr named(const char* name) {
        return gst::ElementPtr::take(gst_bin_get_by_name(GST_BIN(pipeline_.get()), name));
    }
    gst::ElementPtr pipeline_;
};

TEST(UdpRtpSource, ReceivesCaptureTimesFromTheExtensionOrStampsArrival) {
    const uint64_t origin = 1'500'000'000'000'000'000ull;
    for (const bool with_extension : {true, false}) {
        SCOPED_TRACE(with_extension ? "with extension" : "without extension");
        const uint16_t port = free_udp_port();
        SourceRun run(build_ok(source::UdpRtp{port}));
        ASSERT_TRUE(run.play());
        const RtpSender sender(port, with_extension ? std::optional(origin) : std::nullopt);
        const auto samples = run.pull(5, 5s);
        ASSERT_EQ(samples.size(), 5u) << run.error();
        EXPECT_EQ(media_type_of(samples[0]), "video/x-h264");
        if (!with_extension) {
            expect_wall_clock_stamps(samples);
            continue;
        }
        // The sender's capture times, carried through depayloader and parser.
        for (const auto& sample : samples) {
            const auto stamp = media::source_timestamp(buffer_of(sample));
            ASSERT_TRUE(stamp);
            EXPECT_GE(*stamp, origin);
            EXPECT_LT(*stamp, origin + 60 * GST_SECOND);
        }
    }
}

TEST(UdpMpegTsSource, ChainBeforeTheDemuxerAnnouncesStreams) {
    const auto bin = build_ok(source::UdpMpegTs{6000}, Codec::H265);
    ASSERT_EQ(factories(bin.get()), (std::vector<std::string>{"udpsrc", "tsdemux", "h265parse"}));
    const auto chain = children(bin.get());
    expect_properties(chain[0].get(), {{"port", "6000"},
                                       {"caps", "video/mpegts, systemstream=(boolean)true"},
                                       {"do-timestamp", "true"},
                                       {"buffer-size", "2097152"}});
    expect_properties(chain[2].get(), {{"config-interval", "-1"}});
    EXPECT_TRUE(feeds(chain[0].get(), chain[1].get()));
    EXPECT_FALSE(gst_pad_is_linked(gst::static_pad(chain[2].get(), "sink").get()));
    EXPECT_EQ(src_target(bin.get()).get(), chain[2].get());
}

TEST(UdpMpegTsSource, ReceivesTheVideoOfAStreamFromFfmpeg) {
    struct Case {
        Codec codec;
        const char* encoder;
        const char* media_type;
    };
    const Case cases[] = {{Codec::H264, "libx264", "video/x-h264"}, {Codec::H265, "libx265", "video/x-h265"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encoder);
        const uint16_t port = free_udp_port();
        SourceRun run(build_ok(source::UdpMpegTs{port}, c.codec));
        ASSERT_TRUE(run.play());
        // An audio stream comes first: its pad cannot feed the video parser.
        const auto sender = ChildProcess::start(
            {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-re", "-f", "lavfi", "-i",
             "sine=frequency=440", "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-t", "8", "-map", "0:a",
             "-map", "1:v", "-c:a",
             "mp2", "-c:v", c.encoder, "-g", "10", "-pix_fmt", "yuv420p", "-f", "mpegts",
             fmt::format("udp://127.0.0.1:{}?pkt_size=1316", port)});
        ASSERT_TRUE(sender);
        const auto samples = run.pull(5, 6s);
        ASSERT_EQ(samples.size(), 5u) << run.error();
        EXPECT_EQ(media_type_of(samples[0]), c.media_type);
        expect_wall_clock_stamps(samples);
    }
}

#ifdef OV_RTSP_SERVER

// Our RTSP server on a free port; the URL of its stream.
class RtspServer {
public:
    RtspServer(const char* codec, bool audio) : port_(free_tcp_port()) {
        std::vector<std::string> argv{OV_RTSP_SERVER, "--port", std::to_string(port_), "--codec", codec};
        if (audio) argv.emplace_back("--audio");
        process_ = ChildProcess::start(argv);
        ready_ = process_ && process_->wait_for_line("ready", 10s);
    }
    bool ready() const { return ready_; }
    std::string url() const { return fmt::format("rtsp://127.0.0.1:{}/test", port_); }

private:
    uint16_t port_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

// The caps on the queue's input: what rtspsrc linked to the chain.
std::string linked_encoding(GstElement* bin) {
    const gst::PadPtr sink = gst::static_pad(child_of(bin, "queue").get(), "sink");
    const gst::CapsPtr caps = gst::CapsPtr::take(gst_pad_get_current_caps(sink.get()));
    if (!caps) return "";
    const char* encoding = gst_structure_get_string(gst_caps_get_structure(caps.get(), 0), "encoding-name");
    return encoding ? encoding : "";
}

TEST(RtspSource, ChainBehindTheDynamicPads) {
    const auto bin = build_ok(source::Rtsp{"rtsp://127.0.0.1:8554/test"});
    ASSERT_EQ(factories(bin.get()), (std::vector<std::string>{"rtspsrc", "queue", "rtph264depay", "h264parse"}));
    const auto chain = children(bin.get());
    expect_properties(chain[0].get(),
                      {{"location", "rtsp://127.0.0.1:8554/test"}, {"latency", "50"}, {"drop-on-latency", "true"}});
    expect_properties(chain[1].get(), {{"leaky", "no"}, {"max-size-buffers", "200"}});
    expect_properties(chain[3].get(), {{"config-interval", "-1"}});
    EXPECT_FALSE(gst_pad_is_linked(gst::static_pad(chain[1].get(), "sink").get()));
    EXPECT_TRUE(feeds(chain[1].get(), chain[2].get()) && feeds(chain[2].get(), chain[3].get()));
    EXPECT_EQ(src_target(bin.get()).get(), chain[3].get());
}

TEST(RtspSource, LinksTheVideoStreamAndIgnoresAudio) {
    const std::pair<const char*, Codec> cases[] = {{"h264", Codec::H264}, {"h265", Codec::H265}};
    for (const auto& [codec_name, codec] : cases) {
        SCOPED_TRACE(codec_name);
        RtspServer server(codec_name, true);
        ASSERT_TRUE(server.ready());
        LogCapture log;
        const auto bin = build_ok(source::Rtsp{server.url()}, codec);
        SourceRun run(bin);
        ASSERT_TRUE(run.play());
        const auto samples = run.pull(5, 10s);
        ASSERT_EQ(samples.size(), 5u) << run.error();
        EXPECT_EQ(media_type_of(samples[0]), codec == Codec::H264 ? "video/x-h264" : "video/x-h265");
        expect_wall_clock_stamps(samples);
        EXPECT_EQ(linked_encoding(bin.get()), codec == Codec::H264 ? "H264" : "H265");
        EXPECT_EQ(log.count(log::Level::Info, "[RTSP] Source connected"), 1u);
        EXPECT_TRUE(log.messages(log::Level::Warn).empty());
    }
}

TEST(RtspSource, RelinksTheVideoPadOfANewSession) {
    RtspServer server("h264", true);
    ASSERT_TRUE(server.ready());
    LogCapture log;
    SourceRun run(build_ok(source::Rtsp{server.url()}));
    ASSERT_TRUE(run.play());
    ASSERT_EQ(run.pull(3, 10s).size(), 3u) << run.error();
    // Down to READY rtspsrc closes the session and removes its pads; the new
    // session's video pad must find the queue free again.
    ASSERT_NE(gst_element_set_state(run.pipeline(), GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(run.play());
    ASSERT_EQ(run.pull(3, 10s).size(), 3u) << run.error();
    EXPECT_EQ(log.count(log::Level::Info, "[RTSP] Source connected"), 2u);
}

TEST(RtspSource, VideoOfAnotherCodecIsNotLinked) {
    RtspServer server("h265", true);
    ASSERT_TRUE(server.ready());
    LogCapture log;
    const auto bin = build_ok(source::Rtsp{server.url()}, Codec::H264);
    SourceRun run(bin);
    ASSERT_TRUE(run.play());
    const std::string warning = "Ignoring RTSP pad with encoding Some(\"H265\"), expected H264";
    for (int i = 0; i < 100 && log.count(log::Level::Warn, warning) == 0; ++i) std::this_thread::sleep_for(100ms);
    EXPECT_EQ(log.count(log::Level::Warn, warning), 1u);
    EXPECT_EQ(log.messages(log::Level::Warn).size(), 1u) << "the audio pad is ignored silently";
    EXPECT_EQ(log.count(log::Level::Info, "[RTSP] Source connected"), 0u);
    EXPECT_FALSE(gst_pad_is_linked(gst::static_pad(child_of(bin.get(), "queue").get(), "sink").get()));
}

// What the chain behind rtspsrc receives: capture times from RTCP sender
// reports, as our bin hands them on.
struct SenderReportTimes {
    std::mutex mutex;  // guards the fields below
    size_t stamped = 0;
    uint64_t worst_offset_ns = 0;  // from the wall clock at arrival

    static GstPadProbeReturn record(GstPad*, GstPadProbeInfo* info, gpointer data) {
        auto& self = *static_cast<SenderReportTimes*>(data);
        const auto stamp = media::source_timestamp(GST_PAD_PROBE_INFO_BUFFER(info));
        if (!stamp) return GST_PAD_PROBE_OK;
        const uint64_t now = media::wall_clock_now_ns();
        const std::lock_guard lock(self.mutex);
        ++self.stamped;
        self.worst_offset_ns = std::max(self.worst_offset_ns, *stamp > now ? *stamp - now : now - *stamp);
        return GST_PAD_PROBE_OK;
    }
};

TEST(RtspSource, SenderReportTimesCountFromTheUnixEpoch) {
    RtspServer server("h264", false);
    ASSERT_TRUE(server.ready());
    const auto bin = build_ok(source::Rtsp{server.url()});
    SenderReportTimes times;
    // Runs after the bin's own probe on the same pad.
    gst_pad_add_probe(gst::static_pad(child_of(bin.get(), "queue").get(), "sink").get(), GST_PAD_PROBE_TYPE_BUFFER,
                      &SenderReportTimes::record, &times, nullptr);
    SourceRun run(bin);
    ASSERT_TRUE(run.play());
    // The first sender report comes within a few seconds of the session start.
    for (int i = 0; i < 150; ++i) {
        run.pull(100, 100ms);
        const std::lock_guard lock(times.mutex);
        if (times.stamped >= 10) break;
    }
    {
        const std::lock_guard lock(times.mutex);
        ASSERT_GE(times.stamped, 10u) << "no sender report arrived: " << run.error();
        EXPECT_LT(times.worst_offset_ns, 5 * GST_SECOND);
    }
    const auto samples = run.pull(5, 5s);
    ASSERT_EQ(samples.size(), 5u) << run.error();
    expect_wall_clock_stamps(samples);
}

#else

TEST(RtspSource, NeedsTheTestServer) { GTEST_SKIP() << "gst-rtsp-server was not found: no RTSP test server"; }

#endif

}  // namespace
}  // namespace ov::test
