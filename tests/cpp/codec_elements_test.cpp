// Encoders, parsers and payloaders as built: every property read back from the
// real element, for each encoder family installed here.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "gst/caps.hpp"
#include "gst/element.hpp"
#include "gst/init.hpp"
#include "media/codec_elements.hpp"

namespace ov::media {
namespace {

using gst::ElementPtr;
using Properties = std::map<std::string, std::string>;

constexpr EncoderProfile kProfiles[] = {EncoderProfile::LowLatency, EncoderProfile::Balanced,
                                        EncoderProfile::HighQuality};

// A property as GStreamer writes it ("ultrafast", "i4x4+i8x8+p8x8", "true", "4000").
std::string read_back(GstElement* element, const char* name) {
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(element), name);
    if (pspec == nullptr) return "<no such property>";
    GValue value = G_VALUE_INIT;
    g_value_init(&value, pspec->value_type);
    g_object_get_property(G_OBJECT(element), name, &value);
    const gst::StringPtr text = gst::StringPtr::take(gst_value_serialize(&value));
    g_value_unset(&value);
    return text ? text.get() : "<none>";
}

// `text` as GStreamer would write it back for the property ("zerolatency" may read back as "Zero latency").
std::string normalised(GstElement* element, const char* name, const std::string& text) {
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(element), name);
    if (pspec == nullptr) return text;
    GValue value = G_VALUE_INIT;
    g_value_init(&value, pspec->value_type);
    if (!gst_value_deserialize_with_pspec(&value, text.c_str(), pspec)) {
        g_value_unset(&value);
        return "<cannot convert " + text + ">";
    }
    const gst::StringPtr serialised = gst::StringPtr::take(gst_value_serialize(&value));
    g_value_unset(&value);
    return serialised.get();
}

std::string factory_of(GstElement* element) { return GST_OBJECT_NAME(gst_element_get_factory(element)); }

// What the element reads back for each named property; a property expected
// as "default" must still hold the value of a freshly made element.
void expect_properties(GstElement* element, const Properties& expected, const std::string& context) {
    const ElementPtr fresh = ElementPtr::ref(gst_element_factory_make(factory_of(element).c_str(), nullptr));
    for (const auto& [name, value] : expected) {
        const std::string wanted =
            value == "default" ? read_back(fresh.get(), name.c_str()) : normalised(element, name.c_str(), value);
        EXPECT_EQ(read_back(element, name.c_str()), wanted) << context << ": " << name;
    }
}

class Encoder : public testing::Test {
protected:
    void TearDown() override { unsetenv("ORVANE_H264_ENCODER"); }

    static ElementPtr build(Codec codec, uint32_t bitrate, EncoderProfile profile) {
        auto made = make_encoder(codec, bitrate, profile);
        if (!made) throw std::runtime_error(made.error().message);
        ElementPtr encoder = std::move(made).value();
        EXPECT_EQ(gst::element_name(encoder.get()), "encoder");
        return encoder;
    }
};

TEST_F(Encoder, X264ByProfile) {
    if (!gst::factory_exists("x264enc")) GTEST_SKIP() << "x264enc is not installed";
    setenv("ORVANE_H264_ENCODER", "x264", 1);
    const std::pair<EncoderProfile, Properties> cases[] = {
        {EncoderProfile::LowLatency,
         {{"bitrate", "4000"}, {"speed-preset", "ultrafast"}, {"tune", "zerolatency"}, {"me", "dia"},
          {"analyse", "default"}, {"subme", "1"}, {"dct8x8", "default"}, {"bframes", "0"}, {"rc-lookahead", "0"},
          {"sync-lookahead", "0"}, {"sliced-threads", "true"}}},
        {EncoderProfile::Balanced,
         {{"bitrate", "4000"}, {"speed-preset", "medium"}, {"tune", "default"}, {"me", "umh"},
          {"analyse", "i4x4+i8x8+p8x8"}, {"subme", "8"}, {"dct8x8", "true"}, {"bframes", "0"},
          {"rc-lookahead", "20"}, {"sync-lookahead", "default"}, {"sliced-threads", "default"}}},
        {EncoderProfile::HighQuality,
         {{"bitrate", "4000"}, {"speed-preset", "slow"}, {"tune", "default"}, {"me", "umh"},
          {"analyse", "i4x4+i8x8+p8x8+p4x4"}, {"subme", "10"}, {"dct8x8", "true"}, {"bframes", "0"},
          {"rc-lookahead", "40"}, {"sync-lookahead", "default"}, {"sliced-threads", "default"}}},
    };
    for (const auto& [profile, expected] : cases) {
        const ElementPtr encoder = build(Codec::H264, 4000, profile);
        EXPECT_EQ(factory_of(encoder.get()), "x264enc");
        expect_properties(encoder.get(), expected, std::string(plain_name(profile)));
    }
}

TEST_F(Encoder, OpenH264ByProfileAndBitrate) {
    if (!gst::factory_exists("openh264enc")) GTEST_SKIP() << "openh264enc is not installed";
    // The variable wins even where x264enc is installed.
    setenv("ORVANE_H264_ENCODER", "openh264", 1);
    const std::pair<EncoderProfile, Properties> cases[] = {
        {EncoderProfile::LowLatency,
         {{"complexity", "low"}, {"rate-control", "bitrate"}, {"deblocking", "off"}, {"enable-frame-skip", "true"},
          {"multi-thread", "0"}}},
        {EncoderProfile::Balanced,
         {{"complexity", "medium"}, {"rate-control", "bitrate"}, {"deblocking", "on"},
          {"enable-frame-skip", "false"}, {"multi-thread", "0"}}},
        {EncoderProfile::HighQuality,
         {{"complexity", "high"}, {"rate-control", "bitrate"}, {"deblocking", "on"},
          {"enable-frame-skip", "false"}, {"multi-thread", "0"}}},
    };
    for (const auto& [profile, expected] : cases) {
        const ElementPtr encoder = build(Codec::H264, 4000, profile);
        EXPECT_EQ(factory_of(encoder.get()), "openh264enc");
        expect_properties(encoder.get(), expected, std::string(plain_name(profile)));
    }
    // Bits per second, saturating where kilobits × 1000 leaves 32 bits.
    const std::pair<uint32_t, const char*> rates[] = {
        {4000, "4000000"}, {4'294'967, "4294967000"}, {4'294'968, "4294967295"}, {5'000'000, "4294967295"}};
    for (const auto& [kbps, bits] : rates) {
        const ElementPtr encoder = build(Codec::H264, kbps, EncoderProfile::LowLatency);
        EXPECT_EQ(read_back(encoder.get(), "bitrate"), bits) << kbps << " kbit/s";
    }
}

TEST_F(Encoder, X265SameForEveryProfile) {
    if (!gst::factory_exists("x265enc")) GTEST_SKIP() << "x265enc is not installed";
    for (const auto profile : kProfiles) {
        const ElementPtr encoder = build(Codec::H265, 3000, profile);
        EXPECT_EQ(factory_of(encoder.get()), "x265enc");
        expect_properties(encoder.get(),
                          {{"speed-preset", "ultrafast"}, {"bitrate", "3000"}, {"tune", "zerolatency"}},
                          std::string(plain_name(profile)));
    }
}

TEST_F(Encoder, MissingFamiliesGiveTheMissingFactoryError) {
    const struct {
        const char* variable;  // ORVANE_H264_ENCODER, or none
        Codec codec;
        const char* factory;
    } cases[] = {
        {"mfh264", Codec::H264, "mfh264enc"},
        {"videotoolbox", Codec::H264, "vtenc_h264"},
        {nullptr, Codec::AV1, "rav1enc"},
    };
    for (const auto& c : cases) {
        if (gst::factory_exists(c.factory)) continue;  // installed here: nothing missing to show
        if (c.variable) setenv("ORVANE_H264_ENCODER", c.variable, 1);
        for (const auto profile : kProfiles) {
            const auto made = make_encoder(c.codec, 4000, profile);
            ASSERT_FALSE(made.ok()) << c.factory;
            EXPECT_EQ(made.error().message, std::string("Failed to find element factory with name '") + c.factory +
                                                "' for creating element");
        }
    }
}

TEST_F(Encoder, Av1WhenInstalled) {
    if (!gst::factory_exists("rav1enc")) GTEST_SKIP() << "rav1enc is not installed";
    for (const auto profile : kProfiles) {
        const ElementPtr encoder = build(Codec::AV1, 4000, profile);
        expect_properties(encoder.get(), {{"speed-preset", "6"}, {"quantizer", "100"}, {"tiles", "8"}},
                          std::string(plain_name(profile)));
    }
}

// A construction property as text: "name=4000u", "name=-1", "name=true",
// "name=\"text\"" for a typed text, "name~text" for a text GStreamer converts.
std::string describe(const gst::Property& property) {
    return std::visit(
        [&](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, uint32_t>) return property.name + "=" + std::to_string(value) + "u";
            else if constexpr (std::is_same_v<T, int32_t>) return property.name + "=" + std::to_string(value);
            else if constexpr (std::is_same_v<T, bool>) return property.name + (value ? "=true" : "=false");
            else if constexpr (std::is_same_v<T, std::string>) return property.name + "=\"" + value + "\"";
            else if constexpr (std::is_same_v<T, gst::FromString>) return property.name + "~" + value.text;
            else return property.name + "=<caps>";
        },
        property.value);
}

std::vector<std::string> described(std::string_view family, uint32_t bitrate, EncoderProfile profile) {
    std::vector<std::string> out;
    for (const auto& property : h264_encoder_properties(family, bitrate, profile)) out.push_back(describe(property));
    return out;
}

// The families of other platforms cannot be built here; their settings, and
// the order every family applies them in, are checked on the property lists.
TEST(H264EncoderProperties, EveryFamilyInOrder) {
    using Names = std::vector<std::string>;
    const struct {
        const char* family;
        uint32_t bitrate;
        EncoderProfile profile;
        Names expected;
    } cases[] = {
        {"x264", 4000, EncoderProfile::LowLatency,
         {"bitrate=4000u", "speed-preset~ultrafast", "tune~zerolatency", "me~dia", "subme=1u", "bframes=0u",
          "rc-lookahead=0", "sync-lookahead=0", "sliced-threads=true"}},
        {"x264", 4000, EncoderProfile::Balanced,
         {"bitrate=4000u", "speed-preset~medium", "me~umh", "analyse~i4x4+i8x8+p8x8", "subme=8u", "dct8x8=true",
          "bframes=0u", "rc-lookahead=20"}},
        {"x264", 4000, EncoderProfile::HighQuality,
         {"bitrate=4000u", "speed-preset~slow", "me~umh", "analyse~i4x4+i8x8+p8x8+p4x4", "subme=10u",
          "dct8x8=true", "bframes=0u", "rc-lookahead=40"}},
        {"openh264", 5'000'000, EncoderProfile::HighQuality,
         {"bitrate=4294967295u", "complexity~high", "rate-control~bitrate", "deblocking~on",
          "enable-frame-skip=false", "multi-thread=0u"}},
        {"mfh264", 4000, EncoderProfile::LowLatency,
         {"bitrate=4000u", "low-latency=true", "bframes=0u", "quality-vs-speed=0u", "ref=1u", "rc-mode~cbr"}},
        {"mfh264", 4000, EncoderProfile::Balanced,
         {"bitrate=4000u", "low-latency=false", "bframes=0u", "quality-vs-speed=50u", "ref=2u", "rc-mode~cbr"}},
        {"mfh264", 4000, EncoderProfile::HighQuality,
         {"bitrate=4000u", "low-latency=false", "bframes=0u", "quality-vs-speed=100u", "ref=4u", "rc-mode~cbr"}},
        {"videotoolbox", 4000, EncoderProfile::LowLatency,
         {"bitrate=4000u", "realtime=true", "allow-frame-reordering=false", "rate-control~cbr",
          "data-rate-limits=\"4000,1.0\""}},
        {"videotoolbox", 4000, EncoderProfile::Balanced,
         {"bitrate=4000u", "realtime=true", "allow-frame-reordering=false", "rate-control~cbr",
          "data-rate-limits=\"4000,2.0\""}},
        {"videotoolbox", 3001, EncoderProfile::HighQuality,
         {"bitrate=3001u", "realtime=false", "allow-frame-reordering=false", "rate-control~cbr",
          "data-rate-limits=\"4501,4.0\""}},
        // bitrate × 3 wraps in 32 bits before it is halved.
        {"videotoolbox", 2'000'000'000, EncoderProfile::HighQuality,
         {"bitrate=2000000000u", "realtime=false", "allow-frame-reordering=false", "rate-control~cbr",
          "data-rate-limits=\"852516352,4.0\""}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(described(c.family, c.bitrate, c.profile), c.expected)
            << c.family << " " << plain_name(c.profile) << " " << c.bitrate;
    }
}

TEST(Parser, ParameterSetsWithEveryKeyFrame) {
    const std::pair<Codec, const char*> cases[] = {{Codec::H264, "h264parse"}, {Codec::H265, "h265parse"}};
    for (const auto& [codec, factory] : cases) {
        auto made = make_parser(codec);
        ASSERT_TRUE(made.ok()) << made.error().message;
        EXPECT_EQ(factory_of(made.value().get()), factory);
        EXPECT_EQ(read_back(made.value().get(), "config-interval"), "-1");
    }
    auto av1 = make_parser(Codec::AV1);
    if (!gst::factory_exists("av1parse")) {
        ASSERT_FALSE(av1.ok());
        return;
    }
    ASSERT_TRUE(av1.ok()) << av1.error().message;
    EXPECT_EQ(factory_of(av1.value().get()), "av1parse");
}

TEST(Payloader, DynamicTypeNoAutomaticExtensionsParameterSetsAlways) {
    const struct {
        Codec codec;
        const char* factory;
        Properties expected;
    } cases[] = {
        {Codec::H264,
         "rtph264pay",
         {{"pt", "96"}, {"auto-header-extension", "false"}, {"config-interval", "-1"},
          {"aggregate-mode", "zero-latency"}}},
        {Codec::H265,
         "rtph265pay",
         {{"pt", "96"}, {"auto-header-extension", "false"}, {"config-interval", "-1"}, {"aggregate-mode", "default"}}},
        {Codec::AV1, "rtpav1pay", {{"pt", "96"}, {"auto-header-extension", "false"}}},
    };
    for (const auto& c : cases) {
        auto made = make_payloader(c.codec);
        if (!gst::factory_exists(c.factory)) {
            ASSERT_FALSE(made.ok());
            EXPECT_EQ(made.error().message, std::string("Failed to find element factory with name '") + c.factory +
                                                "' for creating element");
            continue;
        }
        ASSERT_TRUE(made.ok()) << made.error().message;
        EXPECT_EQ(factory_of(made.value().get()), c.factory);
        Properties expected = c.expected;
        // Older payloaders have no automatic header extensions at all.
        if (!gst::has_property(made.value().get(), "auto-header-extension")) expected.erase("auto-header-extension");
        expect_properties(made.value().get(), expected, c.factory);
    }
}

TEST(CodecNames, Table) {
    const struct {
        Codec codec;
        CodecNames names;
    } cases[] = {
        {Codec::H264, {"video/x-h264", "H264", "rtph264depay", "h264parse", "avdec_h264", "rtph264pay"}},
        {Codec::H265, {"video/x-h265", "H265", "rtph265depay", "h265parse", "avdec_h265", "rtph265pay"}},
        {Codec::AV1, {"video/x-av1", "AV1", "rtpav1depay", "av1parse", "av1dec", "rtpav1pay"}},
    };
    for (const auto& c : cases) {
        const CodecNames& names = codec_names(c.codec);
        const std::string codec(plain_name(c.codec));
        EXPECT_STREQ(names.media_type, c.names.media_type) << codec;
        EXPECT_STREQ(names.rtp_encoding, c.names.rtp_encoding) << codec;
        EXPECT_STREQ(names.depayloader, c.names.depayloader) << codec;
        EXPECT_STREQ(names.parser, c.names.parser) << codec;
        EXPECT_STREQ(names.decoder, c.names.decoder) << codec;
        EXPECT_STREQ(names.payloader, c.names.payloader) << codec;
    }
}

// The names agree with the installed elements: each parser and decoder takes
// the media type, and each payloader produces the RTP encoding name.
TEST(CodecNames, MatchTheInstalledElements) {
    for (const Codec codec : {Codec::H264, Codec::H265, Codec::AV1}) {
        const CodecNames& names = codec_names(codec);
        const gst::CapsPtr media = gst::make_caps(names.media_type);
        const gst::CapsPtr rtp = gst::make_caps("application/x-rtp", {{"encoding-name", names.rtp_encoding}});
        const std::pair<const char*, std::pair<const char*, GstCaps*>> uses[] = {
            {names.parser, {"sink", media.get()}},
            {names.decoder, {"sink", media.get()}},
            {names.payloader, {"sink", media.get()}},
            {names.payloader, {"src", rtp.get()}},
            {names.depayloader, {"sink", rtp.get()}},
            {names.depayloader, {"src", media.get()}},
        };
        for (const auto& [factory, use] : uses) {
            if (!gst::factory_exists(factory)) continue;  // AV1 over RTP is absent on some systems
            const ElementPtr element = ElementPtr::ref(gst_element_factory_make(factory, nullptr));
            ASSERT_TRUE(element) << factory;
            const gst::PadPtr pad = gst::required_pad(element.get(), use.first);
            const gst::CapsPtr template_caps = gst::CapsPtr::take(gst_pad_get_pad_template_caps(pad.get()));
            EXPECT_TRUE(gst_caps_can_intersect(template_caps.get(), use.second)) << factory << " " << use.first;
        }
    }
}

}  // namespace
}  // namespace ov::media
