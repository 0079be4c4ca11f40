// Sink bins and branches: what each sink kind builds, and what reaches the
// outside when video runs into it (files read by ffprobe, datagrams read from
// plain sockets, a window on a virtual screen, samples pulled by the program).

#include <arpa/inet.h>
#include <gst/app/gstappsink.h>
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <optional>
#include <thread>

#include "gst/caps.hpp"
#include "gst/init.hpp"
#include "media/convert_bin.hpp"
#include "media/sink_bins.hpp"
#include "media/timestamp_probes.hpp"
#include "media_test_support.hpp"

namespace ov::media {
namespace {

using test::factories;
using test::get_bool;
using test::get_caps;
using test::get_int;
using test::get_string;
using test::get_uint;
using test::LogCapture;

constexpr uint64_t kStart = 1'700'000'000'000'000'000ULL;  // 2023-11-14T22:13:20Z
constexpr const char* kSmallVideo = "video/x-raw,width=160,height=120,framerate=30/1";

// Nothing is ever sent to it: negotiation is not part of these bins.
sink::Whip whip_sink() { return {"http://127.0.0.1:1/whip", std::nullopt, std::nullopt}; }

gst::ElementPtr sink_bin(const SinkKind& sink, Codec codec, bool live, size_t index = 0) {
    auto bin = build_sink_bin(sink, codec, live, index);
    if (!bin) throw std::runtime_error(bin.error().message);
    return std::move(bin).value();
}

// --- What each sink bin holds -------------------------------------------

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

// --- Video into the sink bins ---------------------------------------------

struct SourceOptions {
    bool live = false;
    int frames = -1;  // endless
    bool stamped = true;  // source timestamps from kStart
    std::string caps = kSmallVideo;
};

// "pipeline": videotestsrc → caps → [Raw → `level` conversion] → `sink`.
gst::ElementPtr stream_pipeline(gst::ElementPtr sink, OutputKind level, const SourceOptions& source,
                                Codec codec = Codec::H264) {
    gst::ElementPtr pipeline = test::make_pipeline();
    std::vector<gst::ElementPtr> chain;
    chain.push_back(test::make(
        {"videotestsrc", std::nullopt, {{"is-live", source.live}, {"num-buffers", int32_t{source.frames}}}}));
    if (source.stamped) stamp_from_start(chain.back().get(), kStart);
    chain.push_back(test::make(
        {"capsfilter", std::nullopt, {{"caps", gst::CapsPtr::take(gst_caps_from_string(source.caps.c_str()))}}}));
    if (level != OutputKind::Raw) {
        PipelineConfig config;
        config.codec = codec;
        auto convert = build_convert_bin(OutputKind::Raw, level, config, source.live);
        if (!convert) throw std::runtime_error(convert.error().message);
        chain.push_back(std::move(convert).value());
    }
    chain.push_back(std::move(sink));
    if (gst::add_elements(pipeline.get(), chain) || gst::link_chain(chain)) throw std::runtime_error("link");
    return pipeline;
}

std::string ffprobe(const std::string& arguments, const std::string& path) {
    return test::command_output("ffprobe -v error " + arguments + " -of default=noprint_wrappers=1 '" + path + "'");
}

TEST(SinkBinRun, FileIsAnMp4ThatFfprobeReads) {
    test::TempDir dir;
    const std::string path = dir.file("out.mp4");
    const gst::ElementPtr pipeline =
        stream_pipeline(sink_bin(sink::File{path}, Codec::H264, false), OutputKind::Encoded, {.frames = 30});
    ASSERT_EQ(test::run_to_end(pipeline.get()), "");
    EXPECT_EQ(ffprobe("-count_frames -select_streams v:0 -show_entries stream=codec_name,width,height,nb_read_frames", path),
              "codec_name=h264\nwidth=160\nheight=120\nnb_read_frames=30\n");
}

TEST(SinkBinRun, FileCreationTimeIsTheFirstCaptureTime) {
    const gst::ElementPtr mux = test::make({"qtmux", std::nullopt, {}});
    if (!gst::has_property(mux.get(), "creation-time")) {
        GTEST_SKIP() << "qtmux of this GStreamer has no \"creation-time\" property; files carry the time of writing";
    }
    test::TempDir dir;
    const std::string path = dir.file("dated.mp4");
    const gst::ElementPtr pipeline =
        stream_pipeline(sink_bin(sink::File{path}, Codec::H264, false), OutputKind::Encoded, {.frames = 10});
    ASSERT_EQ(test::run_to_end(pipeline.get()), "");
    EXPECT_EQ(ffprobe("-show_entries format_tags=creation_time", path),
              "TAG:creation_time=2023-11-14T22:13:20.000000Z\n");
}

// A UDP socket on 127.0.0.1 that the sinks send to.
class UdpReceiver {
public:
    explicit UdpReceiver(uint16_t port = 0) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int size = 4 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~UdpReceiver() {
        if (fd_ >= 0) close(fd_);
    }
    UdpReceiver(UdpReceiver&& other) noexcept : fd_(std::exchange(other.fd_, -1)), port_(other.port_) {}
    UdpReceiver& operator=(UdpReceiver&&) = delete;

    bool bound() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }

    // One datagram, or none within the wait.
    std::optional<std::vector<uint8_t>> receive(std::chrono::milliseconds wait) {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
        std::vector<uint8_t> datagram(65536);
        const ssize_t n = recv(fd_, datagram.data(), datagram.size(), 0);
        if (n < 0) return std::nullopt;
        datagram.resize(static_cast<size_t>(n));
        return datagram;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// RTP on a free port and RTCP on the one above it.
std::pair<UdpReceiver, UdpReceiver> rtp_and_rtcp_ports() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        UdpReceiver rtp;
        if (!rtp.bound() || rtp.port() == 65535) continue;
        UdpReceiver rtcp(static_cast<uint16_t>(rtp.port() + 1));
        if (rtcp.bound()) return {std::move(rtp), std::move(rtcp)};
    }
    throw std::runtime_error("no two neighbouring free UDP ports");
}

struct RtpHeader {
    uint8_t payload_type = 0;
    std::optional<uint64_t> capture_time;  // one-byte extension 1, 8 bytes
};

// Parses the fixed header and the one-byte header extension (RFC 8285).
std::optional<RtpHeader> parse_rtp(const std::vector<uint8_t>& d) {
    if (d.size() < 12 || (d[0] >> 6) != 2) return std::nullopt;
    RtpHeader header;
    header.payload_type = d[1] & 0x7f;
    if ((d[0] & 0x10) == 0) return header;
    const size_t offset = 12 + 4 * size_t{d[0] & 0x0fu};
    if (d.size() < offset + 4) return std::nullopt;
    const unsigned profile = (d[offset] << 8) | d[offset + 1];
    const size_t end = offset + 4 + 4 * size_t((d[offset + 2] << 8) | d[offset + 3]);
    if (profile != 0xBEDE || d.size() < end) return header;
    for (size_t pos = offset + 4; pos < end;) {
        if (d[pos] == 0) {  // padding
            ++pos;
            continue;
        }
        const unsigned id = d[pos] >> 4;
        const size_t length = (d[pos] & 0x0fu) + 1;
        if (id == 15 || pos + 1 + length > end) break;
        if (id == 1 && length == 8) {
            uint64_t seconds = 0, fraction = 0;
            for (size_t i = 0; i < 4; ++i) seconds = (seconds << 8) | d[pos + 1 + i];
            for (size_t i = 4; i < 8; ++i) fraction = (fraction << 8) | d[pos + 1 + i];
            header.capture_time = seconds * 1'000'000'000ULL + ((fraction * 1'000'000'000ULL) >> 32);
        }
        pos += 1 + length;
    }
    return header;
}

// Reads `count` RTP packets and checks each carries a capture time from the
// stamped source.
void expect_stamped_rtp(UdpReceiver& receiver, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const auto datagram = receiver.receive(std::chrono::seconds(10));
        ASSERT_TRUE(datagram) << "RTP packet " << i << " never came";
        const auto header = parse_rtp(*datagram);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->payload_type, 96);
        ASSERT_TRUE(header->capture_time) << "no capture time extension";
        EXPECT_GE(*header->capture_time, kStart);
        EXPECT_LT(*header->capture_time, kStart + 60 * GST_SECOND);
    }
}

TEST(SinkBinRun, LiveRtpCarriesCaptureTimesWithRtcpOnTheNextPort) {
    LogCapture log;
    auto [rtp, rtcp] = rtp_and_rtcp_ports();
    const gst::ElementPtr pipeline = stream_pipeline(sink_bin(sink::UdpRtp{"127.0.0.1", rtp.port()}, Codec::H264, true),
                                                     OutputKind::Rtp, {.live = true});
    const test::StopAtExit stop(pipeline.get());
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    expect_stamped_rtp(rtp, 30);
    // The first sender report comes within a few seconds of the first packet.
    std::optional<std::vector<uint8_t>> report = rtcp.receive(std::chrono::seconds(20));
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    ASSERT_TRUE(report) << "no RTCP on port " << rtcp.port();
    ASSERT_GE(report->size(), 8u);
    EXPECT_EQ((*report)[0] >> 6, 2);
    EXPECT_EQ((*report)[1], 200);  // a sender report opens the compound packet
    EXPECT_EQ(log.count("[UDP sink] Streaming"), 1u);
}

TEST(SinkBinRun, RtpFromAFileHasNoRtcp) {
    auto [rtp, rtcp] = rtp_and_rtcp_ports();
    const gst::ElementPtr pipeline = stream_pipeline(
        sink_bin(sink::UdpRtp{"127.0.0.1", rtp.port()}, Codec::H264, false), OutputKind::Rtp, {.frames = 20});
    ASSERT_EQ(test::run_to_end(pipeline.get()), "");
    expect_stamped_rtp(rtp, 20);
    EXPECT_FALSE(rtcp.receive(std::chrono::milliseconds(500)));
}

TEST(SinkBinRun, LiveRtpToTheLastPortIsSentWithoutRtcp) {
    UdpReceiver rtp(65535);
    ASSERT_TRUE(rtp.bound()) << "port 65535 is taken on this machine";
    LogCapture log;
    const gst::ElementPtr pipeline =
        stream_pipeline(sink_bin(sink::UdpRtp{"127.0.0.1", 65535}, Codec::H264, true), OutputKind::Rtp, {.live = true});
    EXPECT_EQ(log.count("[UDP sink] no RTCP port above 65535; sending RTP without RTCP"), 1u);
    const test::StopAtExit stop(pipeline.get());
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    expect_stamped_rtp(rtp, 10);
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline.get()));
    const gst::MessagePtr error = gst::MessagePtr::take(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    EXPECT_FALSE(error);
}

TEST(SinkBinRun, MpegTsDatagramsMakeAStreamThatFfprobeReads) {
    UdpReceiver receiver;
    ASSERT_TRUE(receiver.bound());
    test::TempDir dir;
    const std::string path = dir.file("capture.ts");
    std::vector<size_t> sizes;
    std::atomic<bool> ended{false};
    std::thread capture([&] {
        std::ofstream out(path, std::ios::binary);
        // Collect until the stream ended and the socket stayed quiet a moment.
        while (true) {
            const auto datagram = receiver.receive(std::chrono::milliseconds(300));
            if (!datagram) {
                if (ended) break;
                continue;
            }
            sizes.push_back(datagram->size());
            out.write(reinterpret_cast<const char*>(datagram->data()), static_cast<std::streamsize>(datagram->size()));
        }
    });
    const gst::ElementPtr pipeline = stream_pipeline(
        sink_bin(sink::UdpMpegTs{"127.0.0.1", receiver.port()}, Codec::H264, false), OutputKind::Encoded, {.frames = 30});
    const std::string outcome = test::run_to_end(pipeline.get());
    ended = true;
    capture.join();
    ASSERT_EQ(outcome, "");
    ASSERT_FALSE(sizes.empty());
    for (const size_t size : sizes) EXPECT_EQ(size, 7u * 188u);  // seven transport packets a datagram
    // ffprobe lists the stream once more under its program.
    EXPECT_EQ(ffprobe("-count_frames -select_streams v:0 -show_entries stream=codec_name,nb_read_frames", path)
                  .rfind("codec_name=h264\nnb_read_frames=30\n", 0),
              0u);
}

// An X server of our own for the window sink. Xvfb picks a free display
// itself and writes its number once it accepts clients (-displayfd).
class VirtualScreen {
public:
    VirtualScreen() {
        const gst::StringPtr program = gst::StringPtr::take(g_find_program_in_path("Xvfb"));
        if (!program) return;
        gchar* argv[] = {program.get(), const_cast<gchar*>("-displayfd"), const_cast<gchar*>("1"),
                         const_cast<gchar*>("-screen"), const_cast<gchar*>("0"), const_cast<gchar*>("640x480x24"),
                         const_cast<gchar*>("-nolisten"), const_cast<gchar*>("tcp"), nullptr};
        GPid pid = 0;
        int out = -1;
        if (!g_spawn_async_with_pipes(nullptr, argv, nullptr,
                                      static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL),
                                      nullptr, nullptr, &pid, nullptr, &out, nullptr, nullptr)) {
            return;
        }
        pid_ = pid;
        std::string number;
        char c = 0;
        pollfd entry{out, POLLIN, 0};
        while (poll(&entry, 1, 20000) > 0 && read(out, &c, 1) == 1 && c != '\n') number.push_back(c);
        close(out);
        if (number.empty()) return;
        const char* old = g_getenv("DISPLAY");
        old_display_ = old ? std::optional<std::string>(old) : std::nullopt;
        g_setenv("DISPLAY", (":" + number).c_str(), TRUE);
        g_setenv("XDG_SESSION_TYPE", "x11", TRUE);
        ready_ = true;
    }
    ~VirtualScreen() {
        if (pid_ < 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        if (!ready_) return;
        if (old_display_) g_setenv("DISPLAY", old_display_->c_str(), TRUE);
        else g_unsetenv("DISPLAY");
    }
    VirtualScreen(const VirtualScreen&) = delete;
    VirtualScreen& operator=(const VirtualScreen&) = delete;
    bool running() const { return ready_; }

private:
    GPid pid_ = -1;
    bool ready_ = false;
    std::optional<std::string> old_display_;
};

TEST(SinkBinRun, DisplayShowsVideoInAWindow) {
    if (!gst::StringPtr::take(g_find_program_in_path("Xvfb"))) GTEST_SKIP() << "Xvfb is not installed";
    VirtualScreen screen;
    ASSERT_TRUE(screen.running()) << "Xvfb did not start";
    const gst::ElementPtr bin = sink_bin(sink::Display{}, Codec::H264, false);
    const gst::ElementPtr pipeline = stream_pipeline(bin, OutputKind::Raw, {.frames = 15});
    const test::StopAtExit stop(pipeline.get());
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline.get()));
    const gst::MessagePtr end = gst::MessagePtr::take(gst_bus_timed_pop_filtered(
        bus.get(), 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    // The window sink autovideosink chose, while it still exists.
    const gst::ElementPtr window = test::find_factory(bin.get(), "autovideosink");
    std::string chosen;
    GstIterator* it = gst_bin_iterate_sinks(GST_BIN(window.get()));
    GValue item = G_VALUE_INIT;
    if (gst_iterator_next(it, &item) == GST_ITERATOR_OK) chosen = test::factory_of(GST_ELEMENT(g_value_get_object(&item)));
    g_value_unset(&item);
    gst_iterator_free(it);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    ASSERT_TRUE(end);
    EXPECT_EQ(GST_MESSAGE_TYPE(end.get()), GST_MESSAGE_EOS);
    EXPECT_TRUE(chosen == "ximagesink" || chosen == "xvimagesink") << chosen;
}

std::vector<gst::SamplePtr> pull_all(GstElement* appsink, size_t at_most) {
    std::vector<gst::SamplePtr> samples;
    while (samples.size() < at_most) {
        gst::SamplePtr sample =
            gst::SamplePtr::take(gst_app_sink_try_pull_sample(GST_APP_SINK(appsink), 10 * GST_SECOND));
        if (!sample) break;
        samples.push_back(std::move(sample));
    }
    return samples;
}

std::optional<uint64_t> capture_time(GstBuffer* buffer) {
    const gst::CapsPtr caps = gst::CapsPtr::take(gst_caps_new_empty_simple("timestamp/x-ntp"));
    GstReferenceTimestampMeta* meta = gst_buffer_get_reference_timestamp_meta(buffer, caps.get());
    if (meta == nullptr) return std::nullopt;
    return meta->timestamp;
}

uint64_t wall_clock_ns() { return static_cast<uint64_t>(g_get_real_time()) * 1000; }

TEST(SinkBinRun, AppSinkDeliversFramesInTheAskedFormatWithCaptureTimes) {
    for (const bool stamped : {true, false}) {
        SCOPED_TRACE(stamped ? "stamped source" : "source without capture times");
        const gst::ElementPtr bin = sink_bin(sink::App{"RGB"}, Codec::H264, false);
        const gst::ElementPtr pipeline =
            stream_pipeline(bin, OutputKind::Raw, {.live = true, .frames = 10, .stamped = stamped});
        const uint64_t before = wall_clock_ns();
        const test::StopAtExit stop(pipeline.get());
        ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        const auto samples = pull_all(test::by_name(bin.get(), "appsink").get(), 10);
        const uint64_t after = wall_clock_ns();
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        ASSERT_FALSE(samples.empty());
        const GstStructure* caps = gst_caps_get_structure(gst_sample_get_caps(samples.front().get()), 0);
        EXPECT_STREQ(gst_structure_get_string(caps, "format"), "RGB");
        for (const auto& sample : samples) {
            GstBuffer* buffer = gst_sample_get_buffer(sample.get());
            const auto captured = capture_time(buffer);
            ASSERT_TRUE(captured);
            if (stamped) {
                EXPECT_EQ(*captured, kStart + GST_BUFFER_PTS(buffer));
            } else {
                EXPECT_GE(*captured, before);  // the wall clock stood in
                EXPECT_LE(*captured, after);
            }
        }
    }
}

TEST(SinkBinRun, AppEncodedDeliversEveryAccessUnitWithCaptureTimes) {
    const gst::ElementPtr bin = sink_bin(sink::AppEncoded{}, Codec::H264, false);
    const gst::ElementPtr pipeline = stream_pipeline(bin, OutputKind::Encoded, {.frames = 12});
    const test::StopAtExit stop(pipeline.get());
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    const auto samples = pull_all(test::by_name(bin.get(), "appsink_encoded").get(), 100);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    ASSERT_EQ(samples.size(), 12u);
    EXPECT_EQ(test::caps_text(gst_sample_get_caps(samples.front().get())).rfind(
                  "video/x-h264, stream-format=(string)byte-stream, alignment=(string)au", 0),
              0u);
    // The encoder shifts presentation timestamps; capture times stay those
    // of the source's frames, one every 1/30 s from kStart.
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto captured = capture_time(gst_sample_get_buffer(samples[i].get()));
        ASSERT_TRUE(captured);
        EXPECT_EQ(*captured, kStart + gst_util_uint64_scale(i, GST_SECOND, 30));
    }
}

TEST(SinkBinRun, AppEncodedAv1NegotiatesWithTheAv1Parser) {
    if (!gst::factory_exists("av1enc")) GTEST_SKIP() << "no AV1 encoder (av1enc) installed";
    const gst::ElementPtr bin = sink_bin(sink::AppEncoded{}, Codec::AV1, false);
    const gst::ElementPtr pipeline = test::make_pipeline();
    std::vector<gst::ElementPtr> chain;
    chain.push_back(test::make({"videotestsrc", std::nullopt, {{"num-buffers", int32_t{3}}}}));
    chain.push_back(test::make({"capsfilter", std::nullopt,
                                {{"caps", gst::CapsPtr::take(gst_caps_from_string("video/x-raw,width=64,height=64"))}}}));
    chain.push_back(test::make({"av1enc", std::nullopt, {{"cpu-used", int32_t{8}}}}));
    chain.push_back(test::make({"av1parse", std::nullopt, {}}));
    chain.push_back(bin);
    ASSERT_FALSE(gst::add_elements(pipeline.get(), chain));
    ASSERT_FALSE(gst::link_chain(chain));
    const test::StopAtExit stop(pipeline.get());
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    const auto samples = pull_all(test::by_name(bin.get(), "appsink_encoded").get(), 100);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    ASSERT_EQ(samples.size(), 3u);
    const GstStructure* caps = gst_caps_get_structure(gst_sample_get_caps(samples.front().get()), 0);
    EXPECT_STREQ(gst_structure_get_name(caps), "video/x-av1");
    EXPECT_STREQ(gst_structure_get_string(caps, "stream-format"), "obu-stream");
    EXPECT_STREQ(gst_structure_get_string(caps, "alignment"), "tu");
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

// --- Branches on a tee ------------------------------------------------------

gst::ElementPtr branch(const SinkKind& sink, size_t index, bool input_encoded, Codec codec, bool live) {
    auto bin = build_branch(sink, index, input_encoded, codec, live);
    if (!bin) throw std::runtime_error(bin.error().message);
    return std::move(bin).value();
}

TEST(Branch, ElementsPerSinkAndTee) {
    struct Case {
        const char* what;
        SinkKind sink;
        bool input_encoded;
        Codec codec;
        std::vector<std::string> factories;  // "bin" for the converter and the sink bin
    };
    const Case cases[] = {
        {"file on an encoded tee", sink::File{"/tmp/never-written.mp4"}, true, Codec::H264, {"queue", "h264parse", "bin"}},
        {"WHIP on an encoded tee", whip_sink(), true, Codec::H264, {"queue", "bin", "bin"}},
        {"RTP on an encoded tee", sink::UdpRtp{"127.0.0.1", 5000}, true, Codec::H265, {"queue", "bin", "bin"}},
        {"fake on an encoded tee", sink::Fake{}, true, Codec::H265, {"queue", "h265parse", "bin"}},
        {"fake on a raw tee", sink::Fake{}, false, Codec::H264, {"queue", "bin"}},
        {"display on a raw tee", sink::Display{}, false, Codec::H264, {"queue", "bin"}},
        {"app on a raw tee", sink::App{}, false, Codec::H264, {"queue", "bin"}},
        {"encoded app on an encoded tee", sink::AppEncoded{}, true, Codec::AV1, {"queue", "av1parse", "bin"}},
        {"MPEG-TS on an encoded tee", sink::UdpMpegTs{"127.0.0.1", 5004}, true, Codec::H264, {"queue", "h264parse", "bin"}},
    };
    size_t index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const gst::ElementPtr bin = branch(c.sink, index, c.input_encoded, c.codec, true);
        EXPECT_EQ(gst::element_name(bin.get()), fmt::format("branch_{}", index));
        const auto chain = test::chain_of(bin.get());
        EXPECT_EQ(factories(chain), c.factories);
        EXPECT_EQ(GST_BIN_NUMCHILDREN(GST_BIN(bin.get())), static_cast<int>(chain.size()));
        EXPECT_EQ(gst::element_name(chain.back().get()), fmt::format("sink_bin_{}", index));
        const auto [input, pad] = test::ghost_target(bin.get(), "sink");
        EXPECT_EQ(input.get(), chain.front().get());
        // Parameter sets go out with every key frame.
        const std::string second = chain.size() > 1 ? test::factory_of(chain[1].get()) : "";
        if (second == "h264parse" || second == "h265parse") {
            EXPECT_EQ(get_int(chain[1].get(), "config-interval"), -1);
        }
        // A branch only packetises or parses: it never encodes again.
        EXPECT_FALSE(test::by_name(bin.get(), "encoder"));
        if (c.factories == std::vector<std::string>{"queue", "bin", "bin"}) {
            const auto inner = test::chain_of(chain[1].get());
            EXPECT_EQ(factories(inner), std::vector<std::string>{c.codec == Codec::H264 ? "rtph264pay" : "rtph265pay"});
        }
        ++index;
    }
}

TEST(Branch, LiveQueuesDropOldBuffersAndFileQueuesWait) {
    for (const bool live : {true, false}) {
        const gst::ElementPtr bin = branch(sink::Fake{}, 0, false, Codec::H264, live);
        const gst::ElementPtr queue = test::find_factory(bin.get(), "queue");
        EXPECT_EQ(test::get_enum_nick(queue.get(), "leaky"), live ? "downstream" : "no");
        EXPECT_EQ(get_uint(queue.get(), "max-size-buffers"), live ? 1u : 5u);
    }
}

TEST(Branch, LinkingToATeeFailures) {
    const gst::ElementPtr tee = test::make({"tee", std::nullopt, {}});
    const gst::ElementPtr not_a_tee = test::make({"queue", std::nullopt, {}});
    const gst::ElementPtr padless = gst::make_bin();
    const gst::ElementPtr taken = branch(sink::Fake{}, 0, false, Codec::H264, true);
    const gst::ElementPtr other_tee = test::make({"tee", std::nullopt, {}});
    ASSERT_FALSE(link_tee_branch(other_tee.get(), taken.get()));

    const std::tuple<GstElement*, GstElement*, const char*> cases[] = {
        {not_a_tee.get(), taken.get(), "Failed to request src pad from tee"},
        {tee.get(), padless.get(), "Branch has no sink pad"},
        {tee.get(), taken.get(), "Failed to link tee to branch"},
    };
    for (const auto& [from, to, message] : cases) {
        const auto error = link_tee_branch(from, to);
        ASSERT_TRUE(error) << message;
        EXPECT_EQ(error->message, message);
    }
    // A failed attempt leaves no pad behind on the tee.
    EXPECT_EQ(get_int(tee.get(), "num-src-pads"), 0);
}

// Counts the buffers reaching a pad, for as long as the pad lives.
struct BufferCounter {
    explicit BufferCounter(GstElement* element) {
        const gst::PadPtr pad = gst::required_pad(element, "sink");
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER,
                          [](GstPad*, GstPadProbeInfo*, gpointer data) {
                              static_cast<std::atomic<int>*>(data)->fetch_add(1);
                              return GST_PAD_PROBE_OK;
                          },
                          count.get(), nullptr);
    }
    bool wait_for(int n) const {
        for (int i = 0; i < 1000 && *count < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return *count >= n;
    }
    std::shared_ptr<std::atomic<int>> count = std::make_shared<std::atomic<int>>(0);
};

TEST(Branch, AddedAndRemovedWhileThePipelineRuns) {
    LogCapture log;
    const gst::ElementPtr pipeline = test::make_pipeline();
    std::vector<gst::ElementPtr> chain;
    chain.push_back(test::make({"videotestsrc", std::nullopt, {{"is-live", true}}}));
    stamp_from_start(chain.back().get(), kStart);
    chain.push_back(test::make({"capsfilter", std::nullopt, {{"caps", gst::CapsPtr::take(gst_caps_from_string(kSmallVideo))}}}));
    chain.push_back(test::make({"tee", "tee_raw", {}}));
    ASSERT_FALSE(gst::add_elements(pipeline.get(), chain));
    ASSERT_FALSE(gst::link_chain(chain));
    GstElement* tee = chain.back().get();

    const gst::ElementPtr app = branch(sink::App{"RGB"}, 0, false, Codec::H264, true);
    ASSERT_FALSE(gst::add_element(pipeline.get(), app.get()));
    ASSERT_FALSE(link_tee_branch(tee, app.get()));
    const test::StopAtExit stop(pipeline.get());
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    const gst::ElementPtr appsink = test::by_name(pipeline.get(), "appsink");
    ASSERT_EQ(pull_all(appsink.get(), 2).size(), 2u);

    // A second branch joins the running tee and receives video.
    const gst::ElementPtr fake = branch(sink::Fake{}, 1, false, Codec::H264, true);
    const BufferCounter counter(test::find_factory(fake.get(), "fakesink").get());
    ASSERT_FALSE(gst::add_element(pipeline.get(), fake.get()));
    ASSERT_FALSE(link_tee_branch(tee, fake.get()));
    ASSERT_TRUE(gst_element_sync_state_with_parent(fake.get()));
    ASSERT_TRUE(counter.wait_for(3)) << "the added branch received nothing";
    EXPECT_EQ(get_int(tee, "num-src-pads"), 2);

    remove_branch(pipeline.get(), 1);
    EXPECT_FALSE(test::by_name(pipeline.get(), "branch_1"));
    EXPECT_EQ(GST_OBJECT_PARENT(fake.get()), nullptr);
    EXPECT_EQ(GST_STATE(fake.get()), GST_STATE_NULL);
    EXPECT_EQ(get_int(tee, "num-src-pads"), 1);

    // Removing what is gone does nothing.
    remove_branch(pipeline.get(), 1);
    remove_branch(pipeline.get(), 7);
    EXPECT_EQ(get_int(tee, "num-src-pads"), 1);

    // The first branch keeps receiving newer frames.
    const auto before = pull_all(appsink.get(), 1);
    const auto after = pull_all(appsink.get(), 3);
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline.get()));
    const gst::MessagePtr error = gst::MessagePtr::take(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    ASSERT_EQ(before.size(), 1u);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_GT(GST_BUFFER_PTS(gst_sample_get_buffer(after.back().get())),
              GST_BUFFER_PTS(gst_sample_get_buffer(before.back().get())));
    EXPECT_FALSE(error);
}

}  // namespace
}  // namespace ov::media
