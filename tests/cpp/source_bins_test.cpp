// Source bins of the live and program-fed kinds: what each builds, its build
// errors, and each one running into an appsink. Stored media (File, Images)
// and network kinds have their own files.

#include <gst/app/gstappsrc.h>

#include <fstream>
#include <iterator>
#include <regex>

#include "source_bins_support.hpp"

namespace ov::test {
namespace {

TEST(TestSource, BuildsLivePatternWithOverlayAndLatestFrameQueue) {
    const auto bin = build_ok(source::Test{});
    EXPECT_EQ(gst::element_name(bin.get()), "src_bin");
    ASSERT_EQ(factories(bin.get()), (std::vector<std::string>{"videotestsrc", "timeoverlay", "queue"}));
    const auto chain = children(bin.get());
    expect_properties(chain[0].get(), {{"is-live", "true"}, {"do-timestamp", "true"}});
    expect_properties(chain[1].get(), {{"time-mode", "time-code"}});
    EXPECT_TRUE(std::regex_match(property_text(chain[1].get(), "text"), std::regex("Stream #[1-9][0-9]{3}")))
        << property_text(chain[1].get(), "text");
    expect_properties(chain[2].get(), {{"leaky", "downstream"}, {"max-size-buffers", "1"}});
    EXPECT_TRUE(feeds(chain[0].get(), chain[1].get()) && feeds(chain[1].get(), chain[2].get()));
    EXPECT_EQ(src_target(bin.get()).get(), chain[2].get());
}

TEST(TestSource, RunsWithCaptureTimesEqualToPresentationTimes) {
    SourceRun run(build_ok(source::Test{}));
    ASSERT_TRUE(run.play());
    const auto samples = run.pull(5, 5s);
    ASSERT_EQ(samples.size(), 5u) << run.error();
    EXPECT_EQ(media_type_of(samples[0]), "video/x-raw");
    expect_wall_clock_stamps(samples);
    for (const auto& sample : samples) {
        EXPECT_EQ(media::source_timestamp(buffer_of(sample)), GST_BUFFER_PTS(buffer_of(sample)));
    }
}

TEST(CameraSource, ChainWithAndWithoutResolution) {
    const auto scaled = build_ok(source::Camera{2, Resolution{1280, 720}});
    ASSERT_EQ(factories(scaled.get()), (std::vector<std::string>{"v4l2src", "videoscale", "capsfilter", "queue"}));
    const auto chain = children(scaled.get());
    expect_properties(chain[0].get(), {{"device", "/dev/video2"}});
    expect_properties(chain[2].get(), {{"caps", "video/x-raw, width=(int)1280, height=(int)720"}});
    expect_properties(chain[3].get(), {{"leaky", "downstream"}, {"max-size-buffers", "1"}});
    EXPECT_TRUE(feeds(chain[2].get(), chain[3].get()));
    EXPECT_EQ(src_target(scaled.get()).get(), chain[3].get());

    const auto plain = build_ok(source::Camera{0, std::nullopt});
    EXPECT_EQ(factories(plain.get()), (std::vector<std::string>{"v4l2src", "queue"}));
    expect_properties(children(plain.get())[0].get(), {{"device", "/dev/video0"}});
}

TEST(CameraSource, MissingDeviceIsReportedOnTheBus) {
    if (std::filesystem::exists("/dev/video7")) GTEST_SKIP() << "this machine has /dev/video7";
    SourceRun run(build_ok(source::Camera{7, std::nullopt}));
    run.play();
    const std::string error = run.wait_error(5s);
    EXPECT_NE(error.find("/dev/video7"), std::string::npos) << error;
}

TEST(DisplaySource, RequiresAnX11Session) {
    const char* message = "screen capture requires an X11 session — Wayland is not yet supported";
    for (const char* session : {static_cast<const char*>(nullptr), "wayland", "X11", "x11 "}) {
        ScopedEnv env("XDG_SESSION_TYPE", session);
        EXPECT_EQ(build_error(source::Display{0}), message) << (session ? session : "(unset)");
    }
    ScopedEnv env("XDG_SESSION_TYPE", "x11");
    const auto bin = build_ok(source::Display{3});
    ASSERT_EQ(factories(bin.get()), (std::vector<std::string>{"ximagesrc", "videoconvert", "queue"}));
    const auto chain = children(bin.get());
    expect_properties(chain[0].get(), {{"do-timestamp", "true"}});
    expect_properties(chain[1].get(), {{"n-threads", "2"}});
    expect_properties(chain[2].get(), {{"leaky", "downstream"}, {"max-size-buffers", "1"}});
}

TEST(DisplaySource, CapturesAnXvfbScreen) {
    if (!program_on_path("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    // -displayfd: Xvfb picks a free display and writes its number once it accepts clients.
    const auto xvfb =
        ChildProcess::start({"Xvfb", "-displayfd", "1", "-screen", "0", "320x240x24", "-nolisten", "tcp"});
    ASSERT_TRUE(xvfb);
    const auto display = xvfb->read_line(10s);
    ASSERT_TRUE(display) << "Xvfb did not report its display";
    ScopedEnv display_env("DISPLAY", (":" + *display).c_str());
    ScopedEnv session_env("XDG_SESSION_TYPE", "x11");

    SourceRun run(build_ok(source::Display{0}));
    ASSERT_TRUE(run.play()) << run.error();
    const auto samples = run.pull(3, 5s);
    ASSERT_EQ(samples.size(), 3u) << run.error();
    EXPECT_EQ(media_type_of(samples[0]), "video/x-raw");
    expect_wall_clock_stamps(samples);
}

TEST(CustomSource, GhostsTheLastFreeParser) {
    const auto bin = build_ok(source::Custom{
        "videotestsrc ! x264enc ! h264parse name=first ! queue ! h264parse name=second ! fakesink "
        "videotestsrc ! x264enc ! h264parse name=open"});
    EXPECT_NE(gst::element_name(bin.get()), "src_bin");
    EXPECT_EQ(gst::element_name(src_target(bin.get()).get()), "open");

    // Walked from the end: the free "b" is met before "a".
    const auto two_free = build_ok(source::Custom{"videotestsrc ! x264enc ! h264parse name=a  "
                                                  "videotestsrc ! x264enc ! h264parse name=b"});
    EXPECT_EQ(gst::element_name(src_target(two_free.get()).get()), "b");
}

TEST(CustomSource, BuildErrors) {
    const std::pair<const char*, const char*> cases[] = {
        {"videotestsrc ! x264enc",
         "No parser found in pipeline description — make sure it ends with e.g. h264parse"},
        {"videotestsrc ! no_such_element_here ! h264parse",
         "Failed to parse pipeline description: no element \"no_such_element_here\""},
        {"videotestsrc ! ! h264parse", "Failed to parse pipeline description: "},
        // Only a parser whose output is taken: it is kept, and cannot be ghosted.
        {"videotestsrc ! x264enc ! h264parse ! fakesink", "Failed to set target"},
    };
    for (const auto& [description, message] : cases) {
        const std::string error = build_error(source::Custom{description});
        EXPECT_EQ(error.substr(0, std::string(message).size()), message) << description << " -> " << error;
    }
}

TEST(CustomSource, RunsToParsedVideo) {
    SourceRun run(build_ok(source::Custom{
        "videotestsrc is-live=true ! video/x-raw,width=160,height=120 ! x264enc tune=zerolatency ! h264parse"}));
    ASSERT_TRUE(run.play());
    const auto samples = run.pull(3, 5s);
    ASSERT_EQ(samples.size(), 3u) << run.error();
    EXPECT_EQ(media_type_of(samples[0]), "video/x-h264");
}

GstFlowReturn push(GstElement* appsrc, GstBuffer* buffer) {
    return gst_app_src_push_buffer(GST_APP_SRC(appsrc), buffer);  // takes the buffer
}

GstBuffer* raw_frame(size_t bytes, GstClockTime pts) {
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, bytes, nullptr);
    gst_buffer_memset(buffer, 0, 0x80, bytes);
    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DURATION(buffer) = 40 * GST_MSECOND;
    return buffer;
}

const char* kFallbackWarning =
    "send_frame called without timestamp_ns — falling back to wall clock. Pass timestamp_ns to send_frame for "
    "accurate timestamps.";

TEST(AppSource, AutomaticTimestampsStampFramesAndWarnOnce) {
    const auto bin = build_ok(source::App{64, 48, "RGB", true});
    ASSERT_EQ(factories(bin.get()), (std::vector<std::string>{"appsrc", "queue"}));
    const auto chain = children(bin.get());
    EXPECT_EQ(gst::element_name(chain[0].get()), "appsrc");
    expect_properties(chain[0].get(), {{"caps", "video/x-raw, format=(string)RGB, width=(int)64, height=(int)48, framerate=(fraction)0/1"},
                                       {"format", "time"},
                                       {"is-live", "true"},
                                       {"do-timestamp", "true"}});
    expect_properties(chain[1].get(), {{"leaky", "downstream"}, {"max-size-buffers", "1"}});

    LogCapture log;
    SourceRun run(bin);
    ASSERT_TRUE(run.play());
    std::vector<gst::SamplePtr> samples;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(push(chain[0].get(), raw_frame(64 * 48 * 3, GST_CLOCK_TIME_NONE)), GST_FLOW_OK);
        for (auto& sample : run.pull(1, 2s)) samples.push_back(std::move(sample));
    }
    ASSERT_EQ(samples.size(), 3u) << run.error();
    expect_wall_clock_stamps(samples);
    EXPECT_EQ(log.count(log::Level::Warn, kFallbackWarning), 1u);
}

TEST(AppSource, WithoutAutomaticTimestampsFramesPassUnstamped) {
    const auto bin = build_ok(source::App{64, 48, "GRAY8", false});
    const auto chain = children(bin.get());
    expect_properties(chain[0].get(), {{"is-live", "false"}, {"do-timestamp", "false"}});
    expect_properties(chain[1].get(), {{"leaky", "no"}, {"max-size-buffers", "200"}});

    SourceRun run(bin);
    ASSERT_TRUE(run.play());
    GstBuffer* stamped = raw_frame(64 * 48, 0);
    media::add_source_timestamp(stamped, 1'700'000'000'000'000'000ull);
    ASSERT_EQ(push(chain[0].get(), stamped), GST_FLOW_OK);
    ASSERT_EQ(push(chain[0].get(), raw_frame(64 * 48, 40 * GST_MSECOND)), GST_FLOW_OK);
    const auto samples = run.pull(2, 5s);
    ASSERT_EQ(samples.size(), 2u) << run.error();
    EXPECT_EQ(media::source_timestamp(buffer_of(samples[0])), 1'700'000'000'000'000'000ull);
    EXPECT_EQ(media::source_timestamp(buffer_of(samples[1])), std::nullopt);
}

// Access units of a real encoder, as a program would push them.
std::vector<gst::BufferPtr> encoded_access_units(const char* encoder, const char* media_type, int count) {
    const std::string description = fmt::format(
        "videotestsrc num-buffers={} ! video/x-raw,width=160,height=120 ! {} ! "
        "{},stream-format=byte-stream,alignment=au ! appsink name=out sync=false",
        count, encoder, media_type);
    const auto producer = gst::ElementPtr::ref(gst_parse_launch(description.c_str(), nullptr));
    if (!producer) return {};
    gst_element_set_state(producer.get(), GST_STATE_PLAYING);
    const auto sink = gst::ElementPtr::take(gst_bin_get_by_name(GST_BIN(producer.get()), "out"));
    std::vector<gst::BufferPtr> units;
    while (auto sample = gst::SamplePtr::take(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 5 * GST_SECOND))) {
        units.push_back(gst::BufferPtr::ref(gst_sample_get_buffer(sample.get())));
    }
    gst_element_set_state(producer.get(), GST_STATE_NULL);
    return units;
}

TEST(AppEncodedSource, ParsesPushedAccessUnits) {
    struct Case {
        Codec codec;
        const char* encoder;
        const char* media_type;
        const char* parser;
    };
    const Case cases[] = {
        {Codec::H264, "x264enc tune=zerolatency key-int-max=5", "video/x-h264", "h264parse"},
        {Codec::H265, "x265enc tune=zerolatency key-int-max=5", "video/x-h265", "h265parse"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.parser);
        const auto bin = build_ok(source::AppEncoded{c.codec});
        ASSERT_EQ(factories(bin.get()), (std::vector<std::string>{"appsrc", c.parser, "queue"}));
        const auto chain = children(bin.get());
        const std::string caps = std::string(c.media_type) + ", stream-format=(string)byte-stream, "
                                                             "alignment=(string)au";
        expect_properties(chain[0].get(), {{"caps", caps}, {"format", "time"}, {"is-live", "true"}});
        expect_properties(chain[1].get(), {{"config-interval", "-1"}});
        expect_properties(chain[2].get(), {{"leaky", "downstream"}, {"max-size-buffers", "1"}});

        const auto units = encoded_access_units(c.encoder, c.media_type, 10);
        ASSERT_GE(units.size(), 5u);
        SourceRun run(bin);
        ASSERT_TRUE(run.play());
        std::vector<gst::SamplePtr> samples;
        for (const auto& unit : units) {
            ASSERT_EQ(push(chain[0].get(), gst::BufferPtr(unit).release()), GST_FLOW_OK);
            for (auto& sample : run.pull(1, 200ms)) samples.push_back(std::move(sample));
        }
        ASSERT_GE(samples.size(), 3u) << run.error();
        EXPECT_EQ(media_type_of(samples[0]), c.media_type);
        EXPECT_EQ(media::source_timestamp(buffer_of(samples[0])), std::nullopt);
    }

    const auto av1 = build_ok(source::AppEncoded{Codec::AV1});
    EXPECT_EQ(factories(av1.get()), (std::vector<std::string>{"appsrc", "av1parse", "queue"}));
    expect_properties(children(av1.get())[0].get(),
                      {{"caps", "video/x-av1, stream-format=(string)byte-stream, alignment=(string)au"}});
}

TEST(AppImageSource, DecodesPushedImages) {
    ScratchDir dir;
    struct Case {
        ImageFormat format;
        const char* file;
        const char* caps;
        const char* decoder;
    };
    const Case cases[] = {
        {ImageFormat::Jpeg, "frame.jpg", "image/jpeg", "jpegdec"},
        {ImageFormat::Png, "frame.png", "image/png", "pngdec"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.decoder);
        ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120", "-frames:v", "1", dir.file(c.file)}));
        std::ifstream in(dir.file(c.file), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

        const auto bin = build_ok(source::AppImage{c.format});
        ASSERT_EQ(factories(bin.get()), (std::vector<std::string>{"appsrc", c.decoder, "queue"}));
        const auto chain = children(bin.get());
        expect_properties(chain[0].get(),
                          {{"caps", c.caps}, {"format", "time"}, {"is-live", "true"}, {"do-timestamp", "true"}});
        expect_properties(chain[2].get(), {{"leaky", "downstream"}, {"max-size-buffers", "1"}});

        LogCapture log;
        SourceRun run(bin);
        ASSERT_TRUE(run.play());
        std::vector<gst::SamplePtr> samples;
        for (int i = 0; i < 2; ++i) {
            GstBuffer* image = gst_buffer_new_memdup(bytes.data(), bytes.size());
            ASSERT_EQ(push(chain[0].get(), image), GST_FLOW_OK);
            for (auto& sample : run.pull(1, 3s)) samples.push_back(std::move(sample));
        }
        ASSERT_EQ(samples.size(), 2u) << run.error();
        EXPECT_EQ(media_type_of(samples[0]), "video/x-raw");
        expect_wall_clock_stamps(samples);
        EXPECT_EQ(log.count(log::Level::Warn, kFallbackWarning), 1u);
    }
}

}  // namespace
}  // namespace ov::test
