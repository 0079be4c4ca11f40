#pragma once

// The codec-specific elements: encoders tuned by bitrate and profile, parsers
// and RTP payloaders, and the names of each codec's elements and caps.

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/enums.hpp"
#include "gst/element.hpp"

namespace ov::media {

struct CodecNames {
    const char* media_type;     // "video/x-h264"
    const char* rtp_encoding;   // "H264"
    const char* depayloader;    // "rtph264depay"
    const char* parser;         // "h264parse"
    const char* decoder;        // "avdec_h264"
    const char* payloader;      // "rtph264pay"
};

const CodecNames& codec_names(Codec codec);

// The construction properties of an H.264 encoder of `family` ("x264",
// "openh264", "mfh264", "videotoolbox"), in the order they are applied.
std::vector<gst::Property> h264_encoder_properties(std::string_view family, uint32_t bitrate_kbps,
                                                   EncoderProfile profile);

// Named "encoder". H.264 follows choose_h264_encoder().
gst::ElementResult make_encoder(Codec codec, uint32_t bitrate_kbps, EncoderProfile profile);
// h264parse/h265parse with "config-interval" -1; av1parse as it is.
gst::ElementResult make_parser(Codec codec);
// "pt" 96, no automatic header extensions, parameter sets with every key frame.
gst::ElementResult make_payloader(Codec codec);

}  // namespace ov::media
