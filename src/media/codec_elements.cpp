#include "media/codec_elements.hpp"

#include <fmt/format.h>

#include <string>
#include <utility>
#include <vector>

#include "media/h264_choice.hpp"

namespace ov::media {
namespace {

using gst::FromString;
using gst::Property;

constexpr const char* kEncoderName = "encoder";

constexpr CodecNames kH264{"video/x-h264", "H264", "rtph264depay", "h264parse", "avdec_h264", "rtph264pay"};
constexpr CodecNames kH265{"video/x-h265", "H265", "rtph265depay", "h265parse", "avdec_h265", "rtph265pay"};
constexpr CodecNames kAv1{"video/x-av1", "AV1", "rtpav1depay", "av1parse", "av1dec", "rtpav1pay"};

// Property lists are applied in order; each profile names only what it sets.
std::vector<Property> x264_properties(uint32_t bitrate, EncoderProfile profile) {
    std::vector<Property> properties{{"bitrate", bitrate}};
    switch (profile) {
        case EncoderProfile::LowLatency:
            properties.insert(properties.end(), {
                                                    {"speed-preset", FromString{"ultrafast"}},
                                                    {"tune", FromString{"zerolatency"}},
                                                    {"me", FromString{"dia"}},
                                                    {"subme", 1u},
                                                    {"bframes", 0u},
                                                    {"rc-lookahead", int32_t{0}},
                                                    {"sync-lookahead", int32_t{0}},
                                                    {"sliced-threads", true},
                                                });
            break;
        case EncoderProfile::Balanced:
            properties.insert(properties.end(), {
                                                    {"speed-preset", FromString{"medium"}},
                                                    {"me", FromString{"umh"}},
                                                    {"analyse", FromString{"i4x4+i8x8+p8x8"}},
                                                    {"subme", 8u},
                                                    {"dct8x8", true},
                                                    {"bframes", 0u},
                                                    {"rc-lookahead", int32_t{20}},
                                                });
            break;
        case EncoderProfile::HighQuality:
            properties.insert(properties.end(), {
                                                    {"speed-preset", FromString{"slow"}},
                                                    {"me", FromString{"umh"}},
                                                    {"analyse", FromString{"i4x4+i8x8+p8x8+p4x4"}},
                                                    {"subme", 10u},
                                                    {"dct8x8", true},
                                                    {"bframes", 0u},
                                                    {"rc-lookahead", int32_t{40}},
                                                });
            break;
    }
    return properties;
}

std::vector<Property> openh264_properties(uint32_t bitrate, EncoderProfile profile) {
    // openh264enc counts bits per second; kilobits above 2^32 / 1000 saturate.
    const uint32_t bits_per_second = bitrate > 4'294'967u ? 4'294'967'295u : bitrate * 1000u;
    const bool low = profile == EncoderProfile::LowLatency;
    const char* complexity = low ? "low" : profile == EncoderProfile::Balanced ? "medium" : "high";
    return {
        {"bitrate", bits_per_second},
        {"complexity", FromString{complexity}},
        {"rate-control", FromString{"bitrate"}},
        {"deblocking", FromString{low ? "off" : "on"}},
        {"enable-frame-skip", low},
        {"multi-thread", 0u},
    };
}

std::vector<Property> mfh264_properties(uint32_t bitrate, EncoderProfile profile) {
    const bool low = profile == EncoderProfile::LowLatency;
    const bool balanced = profile == EncoderProfile::Balanced;
    return {
        {"bitrate", bitrate},
        {"low-latency", low},
        {"bframes", 0u},
        {"quality-vs-speed", low ? 0u : balanced ? 50u : 100u},
        {"ref", low ? 1u : balanced ? 2u : 4u},
        {"rc-mode", FromString{"cbr"}},
    };
}

std::vector<Property> videotoolbox_properties(uint32_t bitrate, EncoderProfile profile) {
    std::string limits;
    switch (profile) {
        case EncoderProfile::LowLatency: limits = fmt::format("{},1.0", bitrate); break;
        case EncoderProfile::Balanced: limits = fmt::format("{},2.0", bitrate); break;
        // 32-bit unsigned throughout, like every other bitrate: huge rates wrap rather than widen.
        case EncoderProfile::HighQuality:
            limits = fmt::format("{},4.0", static_cast<uint32_t>(bitrate * 3u) / 2u);
            break;
    }
    return {
        {"bitrate", bitrate},
        {"realtime", profile != EncoderProfile::HighQuality},
        {"allow-frame-reordering", false},
        {"rate-control", FromString{"cbr"}},
        {"data-rate-limits", std::move(limits)},
    };
}

}  // namespace

std::vector<gst::Property> h264_encoder_properties(std::string_view family, uint32_t bitrate_kbps,
                                                   EncoderProfile profile) {
    if (family == "openh264") return openh264_properties(bitrate_kbps, profile);
    if (family == "mfh264") return mfh264_properties(bitrate_kbps, profile);
    if (family == "videotoolbox") return videotoolbox_properties(bitrate_kbps, profile);
    return x264_properties(bitrate_kbps, profile);
}

const CodecNames& codec_names(Codec codec) {
    switch (codec) {
        case Codec::H265: return kH265;
        case Codec::AV1: return kAv1;
        case Codec::H264: break;
    }
    return kH264;
}

gst::ElementResult make_encoder(Codec codec, uint32_t bitrate_kbps, EncoderProfile profile) {
    switch (codec) {
        case Codec::H265:
            // One low-delay setting serves every profile.
            return gst::make_element({"x265enc",
                                      kEncoderName,
                                      {{"speed-preset", FromString{"ultrafast"}},
                                       {"bitrate", bitrate_kbps},
                                       {"tune", FromString{"zerolatency"}}}});
        case Codec::AV1:
            // The bitrate reaches this encoder only through congestion control.
            return gst::make_element(
                {"rav1enc", kEncoderName, {{"speed-preset", 6u}, {"quantizer", 100u}, {"tiles", 8u}}});
        case Codec::H264: break;
    }
    const std::string_view family = choose_h264_encoder();
    return gst::make_element(
        {h264_factory(family), kEncoderName, h264_encoder_properties(family, bitrate_kbps, profile)});
}

gst::ElementResult make_parser(Codec codec) {
    const char* factory = codec_names(codec).parser;
    if (codec == Codec::AV1) return gst::make_element({factory, std::nullopt, {}});
    // Parameter sets with every key frame, so any key frame starts a decodable stream.
    return gst::make_element({factory, std::nullopt, {{"config-interval", int32_t{-1}}}});
}

gst::ElementResult make_payloader(Codec codec) {
    auto made = gst::make_element({codec_names(codec).payloader, std::nullopt, {}});
    if (!made) return made;
    GstElement* payloader = made.value().get();
    gst::set_property(payloader, "pt", 96u);
    // The timestamp extension is written by our own probe, not by the payloader.
    if (gst::has_property(payloader, "auto-header-extension")) {
        gst::set_property(payloader, "auto-header-extension", false);
    }
    if (gst::has_property(payloader, "config-interval")) {
        gst::set_property(payloader, "config-interval", int32_t{-1});
    }
    if (codec == Codec::H264 && gst::has_property(payloader, "aggregate-mode")) {
        gst::set_property_from_string(payloader, "aggregate-mode", "zero-latency");
    }
    return made;
}

}  // namespace ov::media
