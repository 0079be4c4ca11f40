// Video into the sink bins, checked from outside: files read by ffprobe,
// datagrams read from plain sockets, a window on a virtual screen, samples
// pulled as the program pulls them, the offer of the WHIP bin.

#define GST_USE_UNSTABLE_API  // the WebRTC library declares its API unstable

#include <arpa/inet.h>
#include <gst/app/gstappsink.h>
#include <gst/webrtc/webrtc.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "gst/init.hpp"
#include "sink_bins_support.hpp"

namespace ov::media {
namespace {

using test::capture_time;
using test::kStart;
using test::LogCapture;
using test::pull_all;
using test::sink_bin;
using test::stream_pipeline;
using test::whip_sink;

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
    // A freshly started X server on a loaded machine has once refused the
    // window sink's first connection; a second screen gets one more chance,
    // and the refusal's text is kept for the report.
    std::optional<VirtualScreen> screen;
    gst::ElementPtr bin;
    gst::ElementPtr pipeline;
    std::string refusal;
    for (int attempt = 0; attempt < 2; ++attempt) {
        screen.reset();
        screen.emplace();
        ASSERT_TRUE(screen->running()) << "Xvfb did not start";
        bin = sink_bin(sink::Display{}, Codec::H264, false);
        pipeline = stream_pipeline(bin, OutputKind::Raw, {.frames = 15});
        if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) break;
        const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline.get()));
        const gst::MessagePtr error =
            gst::MessagePtr::take(gst_bus_timed_pop_filtered(bus.get(), GST_SECOND, GST_MESSAGE_ERROR));
        GError* raw = nullptr;
        if (error) gst_message_parse_error(error.get(), &raw, nullptr);
        const gst::ErrorPtr reason = gst::ErrorPtr::take(raw);
        refusal += reason ? std::string(reason->message) + "; " : std::string("no error posted; ");
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        pipeline.reset();
    }
    ASSERT_TRUE(pipeline) << "the window sink did not start: " << refusal;
    const test::StopAtExit stop(pipeline.get());
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

// What webrtcbin answers to "create-offer", waited for at most 20 s.
std::string create_offer(GstElement* webrtc) {
    struct Reply {
        std::mutex mutex;  // guards done
        std::condition_variable changed;
        bool done = false;
    };
    auto reply = std::make_shared<Reply>();
    auto* holder = new std::shared_ptr<Reply>(reply);
    GstPromise* promise = gst_promise_new_with_change_func(
        [](GstPromise*, gpointer data) {
            auto& r = **static_cast<std::shared_ptr<Reply>*>(data);
            const std::lock_guard lock(r.mutex);
            r.done = true;
            r.changed.notify_all();
        },
        holder, [](gpointer data) { delete static_cast<std::shared_ptr<Reply>*>(data); });
    g_signal_emit_by_name(webrtc, "create-offer", nullptr, promise);
    bool done = false;
    {
        std::unique_lock lock(reply->mutex);
        done = reply->changed.wait_for(lock, std::chrono::seconds(20), [&] { return reply->done; });
    }
    if (!done) gst_promise_interrupt(promise);  // so the wait below returns at once
    std::string sdp;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
        GstWebRTCSessionDescription* offer = nullptr;
        const GstStructure* answer = gst_promise_get_reply(promise);
        if (answer && gst_structure_get(answer, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr)) {
            const gst::StringPtr text = gst::StringPtr::take(gst_sdp_message_as_text(offer->sdp));
            sdp = text.get();
            gst_webrtc_session_description_free(offer);
        }
    }
    gst_promise_unref(promise);
    return sdp;
}

TEST(SinkBinRun, WhipBinOffersTheStreamsCodecOncePlaying) {
    const gst::ElementPtr pipeline = stream_pipeline(sink_bin(whip_sink(), Codec::H264, true), OutputKind::Rtp, {.live = true});
    const test::StopAtExit stop(pipeline.get());
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    const std::string sdp = create_offer(test::by_name(pipeline.get(), "webrtcbin_0").get());
    EXPECT_NE(sdp.find("m=video"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("a=rtpmap:96 H264/90000"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("a=group:BUNDLE"), std::string::npos) << sdp;
}

}  // namespace
}  // namespace ov::media
