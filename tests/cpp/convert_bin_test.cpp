// The processing chain between sources and sinks: which elements each
// conversion builds, in which order and with which settings, what it refuses,
// and what comes out when video runs through it.

#include <gst/app/gstappsink.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gtest/gtest.h>

#include <optional>

#include "gst/init.hpp"
#include "media/codec_elements.hpp"
#include "media/convert_bin.hpp"
#include "media/h264_choice.hpp"
#include "media/timestamp_overlay.hpp"
#include "media/timestamp_probes.hpp"
#include "media_test_support.hpp"

namespace ov::media {
namespace {

using test::factories;
using test::get_caps;
using test::get_enum_nick;
using test::get_int;
using test::LogCapture;

constexpr uint64_t kStart = 1'700'000'000'000'000'000ULL;  // a source timestamp in 2023

gst::ElementPtr build(OutputKind input, OutputKind output, const PipelineConfig& config, bool live = true) {
    auto bin = build_convert_bin(input, output, config, live);
    if (!bin) throw std::runtime_error(bin.error().message);
    return std::move(bin).value();
}

std::string h264_encoder_factory() { return h264_factory(choose_h264_encoder()); }

TEST(ConvertBin, UnsupportedConversionsBuildNothing) {
    const std::pair<OutputKind, OutputKind> cases[] = {
        {OutputKind::Encoded, OutputKind::Encoded},
        {OutputKind::Rtp, OutputKind::Raw},
        {OutputKind::Rtp, OutputKind::Rtp},
    };
    for (const auto& [input, output] : cases) {
        const auto result = build_convert_bin(input, output, PipelineConfig{}, true);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().message, fmt::format("Unsupported level conversion: {} → {}", to_string(input),
                                                      to_string(output)));
    }
    const auto result = build_convert_bin(OutputKind::Encoded, OutputKind::Encoded, PipelineConfig{}, true);
    EXPECT_EQ(result.error().message, "Unsupported level conversion: Encoded → Encoded");
}

struct ChainCase {
    const char* what;
    OutputKind input;
    OutputKind output;
    PipelineConfig config;
    std::vector<std::string> factories;  // "H264ENC" stands for the chosen H.264 encoder
};

PipelineConfig with(auto&& change) {
    PipelineConfig config;
    change(config);
    return config;
}

TEST(ConvertBin, ElementsInLinkOrderPerConversion) {
    const std::string h264enc = h264_encoder_factory();
    const ChainCase cases[] = {
        {"raw to raw, no option", OutputKind::Raw, OutputKind::Raw, {}, {"videoconvert"}},
        {"raw to raw, crop and scale", OutputKind::Raw, OutputKind::Raw,
         with([](auto& c) { c.crop = Crop{10, 0, 20, 0}; c.resolution = Resolution{640, 360}; }),
         {"videoconvert", "videocrop", "videoscale", "capsfilter"}},
        {"encoded to raw, H.264, frame rate", OutputKind::Encoded, OutputKind::Raw, with([](auto& c) { c.fps = 15; }),
         {"avdec_h264", "videoconvert", "videorate", "capsfilter"}},
        {"encoded to raw, H.265", OutputKind::Encoded, OutputKind::Raw,
         with([](auto& c) { c.codec = Codec::H265; }), {"avdec_h265", "videoconvert"}},
        {"encoded to raw, AV1", OutputKind::Encoded, OutputKind::Raw, with([](auto& c) { c.codec = Codec::AV1; }),
         {"av1dec", "videoconvert"}},
        {"raw to encoded, H.264", OutputKind::Raw, OutputKind::Encoded, {},
         {"videoconvert", "capsfilter", "H264ENC", "h264parse"}},
        {"raw to RTP, every option", OutputKind::Raw, OutputKind::Rtp, with([](auto& c) {
             c.resolution = Resolution{640, 360}; c.fps = 15; c.flip = FlipMode::Rotate90; c.overlay = true;
         }),
         {"videoconvert", "capsfilter", "videoscale", "capsfilter", "videorate", "capsfilter", "videoflip",
          "timeoverlay", "H264ENC", "h264parse", "rtph264pay"}},
        {"raw to RTP, H.265", OutputKind::Raw, OutputKind::Rtp, with([](auto& c) { c.codec = Codec::H265; }),
         {"videoconvert", "capsfilter", "x265enc", "h265parse", "rtph265pay"}},
        {"encoded to RTP", OutputKind::Encoded, OutputKind::Rtp, {}, {"rtph264pay"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.config.codec == Codec::AV1 && !gst::factory_exists("av1dec")) continue;
        const gst::ElementPtr bin = build(c.input, c.output, c.config);
        const auto chain = test::chain_of(bin.get());
        std::vector<std::string> expected = c.factories;
        for (auto& name : expected) {
            if (name == "H264ENC") name = h264enc;
        }
        EXPECT_EQ(factories(chain), expected);
        // Every child is on the chain: nothing unlinked was left in the bin.
        EXPECT_EQ(GST_BIN_NUMCHILDREN(GST_BIN(bin.get())), static_cast<int>(chain.size()));
        const auto [first, first_pad] = test::ghost_target(bin.get(), "sink");
        const auto [last, last_pad] = test::ghost_target(bin.get(), "src");
        EXPECT_EQ(first.get(), chain.front().get());
        EXPECT_EQ(first_pad, "sink");
        EXPECT_EQ(last.get(), chain.back().get());
        EXPECT_EQ(last_pad, "src");
    }
}

TEST(ConvertBin, EncodingChainSettings) {
    const PipelineConfig config = with([](auto& c) {
        c.resolution = Resolution{640, 360}; c.fps = 15; c.flip = FlipMode::Rotate90; c.overlay = true;
    });
    const gst::ElementPtr bin = build(OutputKind::Raw, OutputKind::Rtp, config);
    const auto chain = test::chain_of(bin.get());
    ASSERT_EQ(chain.size(), 11u);
    EXPECT_EQ(test::get_uint(chain[0].get(), "n-threads"), 2u);
    EXPECT_EQ(get_caps(chain[1].get(), "caps"), "video/x-raw, format=(string){ I420, NV12 }");
    EXPECT_EQ(gst::element_name(chain[3].get()), "raw_video_filter");
    EXPECT_EQ(get_caps(chain[3].get(), "caps"), "video/x-raw, width=(int)640, height=(int)360");
    EXPECT_TRUE(test::get_bool(chain[4].get(), "skip-to-first"));
    EXPECT_EQ(get_caps(chain[5].get(), "caps"), "video/x-raw, framerate=(fraction)15/1");
    EXPECT_EQ(get_enum_nick(chain[6].get(), "method"), "clockwise");
    EXPECT_EQ(gst::element_name(chain[8].get()), "encoder");
    EXPECT_EQ(get_int(chain[9].get(), "config-interval"), -1);
    EXPECT_EQ(test::get_uint(chain[10].get(), "pt"), 96u);
}

TEST(ConvertBin, ScaleFilterIsNamedOnlyInEncodingChains) {
    const PipelineConfig config = with([](auto& c) { c.resolution = Resolution{320, 180}; });
    const std::tuple<OutputKind, OutputKind, bool> cases[] = {
        {OutputKind::Raw, OutputKind::Raw, false},
        {OutputKind::Encoded, OutputKind::Raw, false},
        {OutputKind::Raw, OutputKind::Encoded, true},
    };
    for (const auto& [input, output, named] : cases) {
        const gst::ElementPtr bin = build(input, output, config);
        EXPECT_EQ(static_cast<bool>(test::by_name(bin.get(), "raw_video_filter")), named)
            << to_string(input) << " → " << to_string(output);
    }
}

TEST(ConvertBin, CropValuesAndFlipMethods) {
    const gst::ElementPtr cropped =
        build(OutputKind::Raw, OutputKind::Raw, with([](auto& c) { c.crop = Crop{10, 0, 20, 0}; }));
    const gst::ElementPtr crop = test::find_factory(cropped.get(), "videocrop");
    ASSERT_TRUE(crop);
    EXPECT_EQ(get_int(crop.get(), "top"), 10);
    EXPECT_EQ(get_int(crop.get(), "bottom"), 0);
    EXPECT_EQ(get_int(crop.get(), "left"), 20);
    EXPECT_EQ(get_int(crop.get(), "right"), 0);

    const std::pair<FlipMode, const char*> flips[] = {
        {FlipMode::Horizontal, "horizontal-flip"}, {FlipMode::Vertical, "vertical-flip"},
        {FlipMode::Rotate90, "clockwise"},         {FlipMode::Rotate180, "rotate-180"},
        {FlipMode::Rotate270, "counterclockwise"},
    };
    for (const auto& [mode, method] : flips) {
        const gst::ElementPtr bin = build(OutputKind::Raw, OutputKind::Raw, with([&](auto& c) { c.flip = mode; }));
        EXPECT_EQ(get_enum_nick(test::find_factory(bin.get(), "videoflip").get(), "method"), method);
    }
}

TEST(ConvertBin, EncodedToRtpIgnoresProcessingOptionsWithAWarningEach) {
    LogCapture log;
    const PipelineConfig config = with([](auto& c) {
        c.overlay = true;
        c.resolution = Resolution{640, 360};
        c.fps = 15;
        c.flip = FlipMode::Vertical;
        c.crop = Crop{1, 2, 3, 4};
    });
    const gst::ElementPtr bin = build(OutputKind::Encoded, OutputKind::Rtp, config);
    EXPECT_EQ(factories(test::chain_of(bin.get())), std::vector<std::string>{"rtph264pay"});
    const std::vector<std::string> expected = {
        "overlay not supported for encoded → RTP (no decode step) — ignoring",
        "resolution not supported for encoded → RTP (no decode step) — ignoring",
        "fps not supported for encoded → RTP (no decode step) — ignoring",
        "flip not supported for encoded → RTP (no decode step) — ignoring",
        "crop not supported for encoded → RTP (no decode step) — ignoring",
    };
    EXPECT_EQ(log.messages(log::Level::Warn), expected);
    for (const auto& entry : log.entries()) EXPECT_EQ(entry.target, log::kPipeline);

    LogCapture two;
    (void)build(OutputKind::Encoded, OutputKind::Rtp, with([](auto& c) { c.overlay = true; c.crop = Crop{}; }));
    EXPECT_EQ(two.messages(log::Level::Warn),
              (std::vector<std::string>{"overlay not supported for encoded → RTP (no decode step) — ignoring",
                                        "crop not supported for encoded → RTP (no decode step) — ignoring"}));
}

TEST(ConvertBin, MissingAv1ElementsAreBuildErrors) {
    const PipelineConfig av1 = with([](auto& c) { c.codec = Codec::AV1; });
    const std::tuple<OutputKind, OutputKind, const char*> cases[] = {
        {OutputKind::Raw, OutputKind::Encoded, "rav1enc"},
        {OutputKind::Raw, OutputKind::Rtp, "rav1enc"},
        {OutputKind::Encoded, OutputKind::Rtp, "rtpav1pay"},
    };
    for (const auto& [input, output, factory] : cases) {
        SCOPED_TRACE(factory);
        const auto result = build_convert_bin(input, output, av1, true);
        if (gst::factory_exists(factory)) {
            EXPECT_TRUE(result.ok());  // installed here: nothing is missing
        } else {
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(result.error().message,
                      fmt::format("Failed to find element factory with name '{}' for creating element", factory));
        }
    }
}

bool timeoverlay_has_reference_mode() {
    const gst::ElementPtr overlay = test::make({"timeoverlay", std::nullopt, {}});
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(overlay.get()), "time-mode");
    auto* values = static_cast<GEnumClass*>(g_type_class_ref(pspec->value_type));
    const bool found = g_enum_get_value_by_nick(values, "reference-timestamp") != nullptr;
    g_type_class_unref(values);
    return found;
}

TEST(TimestampOverlay, ShowsCaptureTimesWhereTheOverlayCanReadThem) {
    LogCapture log;
    const gst::ElementPtr bin = build(OutputKind::Raw, OutputKind::Raw, with([](auto& c) { c.overlay = true; }));
    const gst::ElementPtr overlay = test::find_factory(bin.get(), "timeoverlay");
    ASSERT_TRUE(overlay);
    EXPECT_EQ(test::get_string(overlay.get(), "font-desc"), "Sans Bold 18");
    EXPECT_EQ(get_int(overlay.get(), "ypad"), 10);
    if (!timeoverlay_has_reference_mode()) {
        EXPECT_EQ(get_enum_nick(overlay.get(), "time-mode"), "running-time");
        EXPECT_EQ(log.messages(log::Level::Warn),
                  std::vector<std::string>{"overlay: GStreamer too old for reference-timestamp mode, using running-time"});
        return;
    }
    EXPECT_TRUE(log.entries().empty());
    EXPECT_EQ(get_enum_nick(overlay.get(), "time-mode"), "reference-timestamp");
    EXPECT_EQ(get_caps(overlay.get(), "reference-timestamp-caps"), "timestamp/x-ntp");
    EXPECT_TRUE(test::get_bool(overlay.get(), "show-times-as-dates"));
    EXPECT_EQ(test::get_string(overlay.get(), "datetime-format"), "source ts: %H:%M:%S.%f");
    GDateTime* epoch = nullptr;
    g_object_get(overlay.get(), "datetime-epoch", &epoch, nullptr);
    ASSERT_NE(epoch, nullptr);
    EXPECT_EQ(g_date_time_to_unix(epoch), 0);
    EXPECT_EQ(g_date_time_get_utc_offset(epoch), 0);
    g_date_time_unref(epoch);
}

// A timeoverlay as GStreamer releases before 1.22 made it: its "time-mode"
// enumeration knows no reference timestamps. The shadowing property keeps its
// value on the object.
GType old_time_overlay_type() {
    static const GType type = [] {
        static const GEnumValue modes[] = {{0, "buffer-time", "buffer-time"},
                                           {1, "stream-time", "stream-time"},
                                           {2, "running-time", "running-time"},
                                           {0, nullptr, nullptr}};
        const GType mode_type = g_enum_register_static("OvTestOldTimeOverlayMode", modes);
        const gst::ElementPtr probe = test::make({"timeoverlay", std::nullopt, {}});
        const GType parent = G_OBJECT_TYPE(probe.get());
        GTypeQuery query;
        g_type_query(parent, &query);
        GTypeInfo info{};
        info.class_size = static_cast<guint16>(query.class_size);
        info.instance_size = static_cast<guint16>(query.instance_size);
        info.class_data = reinterpret_cast<gconstpointer>(mode_type);
        info.class_init = [](gpointer klass, gpointer data) {
            auto* object_class = G_OBJECT_CLASS(klass);
            object_class->set_property = [](GObject* object, guint, const GValue* value, GParamSpec*) {
                g_object_set_data(object, "ov-time-mode", GINT_TO_POINTER(g_value_get_enum(value)));
            };
            object_class->get_property = [](GObject* object, guint, GValue* value, GParamSpec*) {
                g_value_set_enum(value, GPOINTER_TO_INT(g_object_get_data(object, "ov-time-mode")));
            };
            g_object_class_install_property(
                object_class, 1,
                g_param_spec_enum("time-mode", "time-mode", "time-mode", reinterpret_cast<GType>(data), 0,
                                  G_PARAM_READWRITE));
        };
        return g_type_register_static(parent, "OvTestOldTimeOverlay", &info, GTypeFlags{});
    }();
    return type;
}

TEST(TimestampOverlay, FallsBackToRunningTimeOnOlderOverlays) {
    LogCapture log;
    const gst::ElementPtr overlay = gst::ElementPtr::ref(GST_ELEMENT(g_object_new(old_time_overlay_type(), nullptr)));
    configure_timestamp_overlay(overlay.get());
    EXPECT_EQ(log.messages(log::Level::Warn),
              std::vector<std::string>{"overlay: GStreamer too old for reference-timestamp mode, using running-time"});
    EXPECT_EQ(log.entries().front().target, log::kPipeline);
    EXPECT_EQ(get_enum_nick(overlay.get(), "time-mode"), "running-time");
    EXPECT_EQ(test::get_string(overlay.get(), "font-desc"), "Sans Bold 18");
    EXPECT_EQ(get_int(overlay.get(), "ypad"), 10);
}

TEST(TimestampOverlay, ReferenceModeNeedsAnEnumerationWithThatNickname) {
    const gst::ElementPtr overlay = test::make({"timeoverlay", std::nullopt, {}});
    const gst::ElementPtr queue = test::make({"queue", std::nullopt, {}});
    const auto pspec = [](GstElement* e, const char* name) {
        return g_object_class_find_property(G_OBJECT_GET_CLASS(e), name);
    };
    EXPECT_TRUE(enum_has_nick(pspec(overlay.get(), "time-mode"), "running-time"));
    EXPECT_FALSE(enum_has_nick(pspec(queue.get(), "leaky"), "reference-timestamp"));
    EXPECT_FALSE(enum_has_nick(pspec(queue.get(), "max-size-buffers"), "reference-timestamp"));
    EXPECT_FALSE(enum_has_nick(nullptr, "reference-timestamp"));
}

// --- Video through the chains --------------------------------------------

struct Output {
    std::vector<gst::SamplePtr> samples;
    std::string outcome;  // "" after end of stream
};

// videotestsrc (stamped from kStart) → `bin` → appsink, to the end.
Output run_through(gst::ElementPtr bin, const std::string& source_caps, int frames, bool encode_first = false) {
    const gst::ElementPtr pipeline = test::make_pipeline();
    std::vector<gst::ElementPtr> chain;
    chain.push_back(test::make({"videotestsrc", std::nullopt, {{"num-buffers", int32_t{frames}}}}));
    stamp_from_start(chain.back().get(), kStart);
    chain.push_back(test::make({"capsfilter", std::nullopt, {{"caps", gst::CapsPtr::take(gst_caps_from_string(source_caps.c_str()))}}}));
    if (encode_first) {
        chain.push_back(test::make({"x264enc", std::nullopt, {{"tune", gst::FromString{"zerolatency"}}}}));
        chain.push_back(test::make({"h264parse", std::nullopt, {}}));
    }
    chain.push_back(std::move(bin));
    chain.push_back(test::make({"appsink", std::nullopt, {{"sync", false}}}));
    EXPECT_FALSE(gst::add_elements(pipeline.get(), chain));
    EXPECT_FALSE(gst::link_chain(chain));
    auto* appsink = GST_APP_SINK(chain.back().get());

    Output out;
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        out.outcome = "state change failed";
        return out;
    }
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline.get()));
    while (true) {
        gst::SamplePtr sample = gst::SamplePtr::take(gst_app_sink_try_pull_sample(appsink, 30 * GST_SECOND));
        if (!sample) break;
        out.samples.push_back(std::move(sample));
    }
    if (!gst_app_sink_is_eos(appsink)) {
        const gst::MessagePtr error =
            gst::MessagePtr::take(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
        out.outcome = error ? "error" : "timeout";
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return out;
}

// The capture time in an RTP packet's one-byte header extension 1.
std::optional<uint64_t> rtp_capture_time(GstBuffer* packet) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(packet, GST_MAP_READ, &rtp)) return std::nullopt;
    gpointer data = nullptr;
    guint size = 0;
    std::optional<uint64_t> value;
    if (gst_rtp_buffer_get_extension_onebyte_header(&rtp, 1, 0, &data, &size) && size == 8) {
        const auto* b = static_cast<const uint8_t*>(data);
        const uint64_t seconds = (uint64_t{b[0]} << 24) | (uint64_t{b[1]} << 16) | (uint64_t{b[2]} << 8) | b[3];
        const uint64_t fraction = (uint64_t{b[4]} << 24) | (uint64_t{b[5]} << 16) | (uint64_t{b[6]} << 8) | b[7];
        value = seconds * 1'000'000'000ULL + ((fraction * 1'000'000'000ULL) >> 32);
    }
    gst_rtp_buffer_unmap(&rtp);
    return value;
}

TEST(ConvertBinRun, ProcessingOptionsShapeTheEncodedPictureAndKeepCaptureTimes) {
    const PipelineConfig config = with([](auto& c) {
        c.resolution = Resolution{320, 180};
        c.fps = 10;
        c.flip = FlipMode::Rotate90;
        c.overlay = true;
        c.crop = Crop{0, 0, 40, 0};
    });
    const Output out = run_through(build(OutputKind::Raw, OutputKind::Encoded, config, false),
                                   "video/x-raw,width=360,height=240,framerate=30/1", 30);
    ASSERT_EQ(out.outcome, "");
    // 30 frames at 30/s become about 10 at 10/s.
    ASSERT_GE(out.samples.size(), 9u);
    ASSERT_LE(out.samples.size(), 11u);
    const GstStructure* caps = gst_caps_get_structure(gst_sample_get_caps(out.samples.front().get()), 0);
    EXPECT_STREQ(gst_structure_get_name(caps), "video/x-h264");
    int width = 0, height = 0, num = 0, den = 0;
    gst_structure_get_int(caps, "width", &width);
    gst_structure_get_int(caps, "height", &height);
    gst_structure_get_fraction(caps, "framerate", &num, &den);
    EXPECT_EQ(width, 180);  // scaled to 320x180, then turned clockwise
    EXPECT_EQ(height, 320);
    EXPECT_EQ(num, 10);
    EXPECT_EQ(den, 1);
    // The encoder shifts presentation timestamps and the rate converter picks
    // frames, so capture times are checked against the second of video sent.
    uint64_t previous = 0;
    for (const auto& sample : out.samples) {
        const auto captured = test::capture_time(gst_sample_get_buffer(sample.get()));
        ASSERT_TRUE(captured) << "an encoded frame lost its capture time";
        EXPECT_GE(*captured, kStart);
        EXPECT_LT(*captured, kStart + GST_SECOND);
        EXPECT_GT(*captured, previous);
        previous = *captured;
    }
}

TEST(ConvertBinRun, RtpPacketsCarryCaptureTimesAndOnlyLiveChainsRetimeThem) {
    struct Case {
        const char* what;
        OutputKind input;
        bool live;
        bool retimed;
    };
    const Case cases[] = {
        {"raw, live", OutputKind::Raw, true, true},
        {"raw, not live", OutputKind::Raw, false, false},
        {"encoded, live", OutputKind::Encoded, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Output out = run_through(build(c.input, OutputKind::Rtp, PipelineConfig{}, c.live),
                                       "video/x-raw,width=160,height=120,framerate=30/1", 15,
                                       c.input == OutputKind::Encoded);
        ASSERT_EQ(out.outcome, "");
        ASSERT_FALSE(out.samples.empty());
        for (const auto& sample : out.samples) {
            GstBuffer* packet = gst_sample_get_buffer(sample.get());
            const auto captured = rtp_capture_time(packet);
            ASSERT_TRUE(captured);
            EXPECT_GE(*captured, kStart);
            EXPECT_LT(*captured, kStart + GST_SECOND);  // 15 frames at 30/s
            EXPECT_EQ(GST_BUFFER_PTS(packet) >= kStart, c.retimed);
        }
    }
}

}  // namespace
}  // namespace ov::media
