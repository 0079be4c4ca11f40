#include "media/convert_bin.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "core/log.hpp"
#include "gst/caps.hpp"
#include "media/codec_elements.hpp"
#include "media/timestamp_overlay.hpp"
#include "media/timestamp_probes.hpp"

namespace ov::media {
namespace {

using ElementList = std::vector<gst::ElementPtr>;

// Caps fields and cropper properties are signed; values past their range
// cannot describe a real picture, so they are clamped and left for caps
// negotiation to refuse.
int32_t to_signed(uint32_t value) {
    return static_cast<int32_t>(std::min<uint32_t>(value, std::numeric_limits<int32_t>::max()));
}

// Appends a freshly made element, optionally carrying source timestamps
// across it; the error of a failed creation is handed back.
gst::Status append(ElementList& chain, gst::ElementResult made, bool carry) {
    if (!made) return made.take_error();
    if (carry) carry_timestamps(made.value().get());
    chain.push_back(std::move(made).value());
    return std::nullopt;
}

gst::Status append_capsfilter(ElementList& chain, gst::CapsPtr caps, std::optional<std::string> name = std::nullopt) {
    auto filter = gst::make_element({"capsfilter", std::move(name), {}});
    if (!filter) return filter.take_error();
    gst::set_property(filter.value().get(), "caps", std::move(caps));
    chain.push_back(std::move(filter).value());
    return std::nullopt;
}

const char* flip_method(FlipMode mode) {
    switch (mode) {
        case FlipMode::Horizontal: return "horizontal-flip";
        case FlipMode::Vertical: return "vertical-flip";
        case FlipMode::Rotate90: return "clockwise";
        case FlipMode::Rotate180: return "rotate-180";
        case FlipMode::Rotate270: return "counterclockwise";
    }
    return "horizontal-flip";
}

// Crop, scale, frame rate, flip and overlay, each only when asked for.
// `name_scale_filter` names the resolution filter for the encoding chains,
// where the engine looks it up.
gst::Status append_processing(ElementList& chain, const PipelineConfig& config, bool name_scale_filter) {
    if (config.crop) {
        auto crop = gst::make_element({"videocrop", std::nullopt, {}});
        if (!crop) return crop.take_error();
        GstElement* element = crop.value().get();
        gst::set_property(element, "top", to_signed(config.crop->top));
        gst::set_property(element, "bottom", to_signed(config.crop->bottom));
        gst::set_property(element, "left", to_signed(config.crop->left));
        gst::set_property(element, "right", to_signed(config.crop->right));
        if (auto error = append(chain, std::move(crop), true)) return error;
    }
    if (config.resolution) {
        if (auto error = append(chain, gst::make_element({"videoscale", std::nullopt, {}}), true)) return error;
        auto caps = gst::make_caps("video/x-raw", {{"width", to_signed(config.resolution->width)},
                                                   {"height", to_signed(config.resolution->height)}});
        const auto name = name_scale_filter ? std::optional<std::string>{"raw_video_filter"} : std::nullopt;
        if (auto error = append_capsfilter(chain, std::move(caps), name)) return error;
    }
    if (config.fps) {
        auto rate = gst::make_element({"videorate", std::nullopt, {{"skip-to-first", gst::FromString{"true"}}}});
        if (auto error = append(chain, std::move(rate), true)) return error;
        auto caps = gst::make_caps("video/x-raw", {{"framerate", gst::Fraction{to_signed(*config.fps), 1}}});
        if (auto error = append_capsfilter(chain, std::move(caps))) return error;
    }
    if (config.flip) {
        auto flip = gst::make_element({"videoflip", std::nullopt, {}});
        if (!flip) return flip.take_error();
        gst::set_property_from_string(flip.value().get(), "method", flip_method(*config.flip));
        if (auto error = append(chain, std::move(flip), true)) return error;
    }
    if (config.overlay) {
        if (auto error = append(chain, make_timestamp_overlay(), false)) return error;
    }
    return std::nullopt;
}

// Already-encoded video is only packetised: without a decoder the processing
// options cannot apply, which the user hears about once per option.
gst::ElementResult build_payload_only(const PipelineConfig& config) {
    const auto ignore = [](const char* option) {
        OV_WARN(log::kPipeline, "{} not supported for encoded → RTP (no decode step) — ignoring", option);
    };
    if (config.overlay) ignore("overlay");
    if (config.resolution) ignore("resolution");
    if (config.fps) ignore("fps");
    if (config.flip) ignore("flip");
    if (config.crop) ignore("crop");

    gst::ElementPtr bin = gst::make_bin();
    auto payloader = make_payloader(config.codec);
    if (!payloader) return payloader.take_error();
    GstElement* pay = payloader.value().get();
    // Presentation timestamps of encoded input are left alone whatever the
    // source: they were set by the encoder upstream, not by this chain.
    write_rtp_timestamp_extension(pay, false);
    if (auto error = gst::add_element(bin.get(), pay)) return *error;
    if (auto error = gst::expose_pad(bin.get(), gst::required_pad(pay, "sink").get())) return *error;
    if (auto error = gst::expose_pad(bin.get(), gst::required_pad(pay, "src").get())) return *error;
    return bin;
}

gst::ElementResult finish(const ElementList& chain) {
    gst::ElementPtr bin = gst::make_bin();
    if (auto error = gst::add_elements(bin.get(), chain)) return *error;
    if (auto error = gst::link_chain(chain)) return *error;
    if (auto error = gst::expose_pad(bin.get(), gst::required_pad(chain.front().get(), "sink").get())) return *error;
    if (auto error = gst::expose_pad(bin.get(), gst::required_pad(chain.back().get(), "src").get())) return *error;
    return bin;
}

}  // namespace

gst::ElementResult build_convert_bin(OutputKind input, OutputKind output, const PipelineConfig& config, bool live) {
    if (input == OutputKind::Rtp || (input == OutputKind::Encoded && output == OutputKind::Encoded)) {
        return OV_BUILD_ERROR(fmt::format("Unsupported level conversion: {} → {}", to_string(input), to_string(output)));
    }
    if (input == OutputKind::Encoded && output == OutputKind::Rtp) return build_payload_only(config);

    ElementList chain;
    const bool encode = output != OutputKind::Raw;
    if (input == OutputKind::Encoded) {
        auto decoder = gst::make_element({codec_names(config.codec).decoder, std::nullopt, {}});
        if (auto error = append(chain, std::move(decoder), true)) return *error;
    }
    if (encode) {
        // Two converter threads keep up with HD frames in front of an encoder;
        // I420 and NV12 go to every encoder without another conversion.
        auto convert = gst::make_element({"videoconvert", std::nullopt, {{"n-threads", 2u}}});
        if (auto error = append(chain, std::move(convert), true)) return *error;
        auto formats = gst::make_caps("video/x-raw", {{"format", gst::TextList{"I420", "NV12"}}});
        if (auto error = append_capsfilter(chain, std::move(formats))) return *error;
    } else {
        if (auto error = append(chain, gst::make_element({"videoconvert", std::nullopt, {}}), true)) return *error;
    }

    if (auto error = append_processing(chain, config, encode)) return *error;

    if (encode) {
        auto encoder = make_encoder(config.codec, config.bitrate, config.encoder_profile);
        if (auto error = append(chain, std::move(encoder), true)) return *error;
        if (auto error = append(chain, make_parser(config.codec), true)) return *error;
    }
    if (output == OutputKind::Rtp) {
        auto payloader = make_payloader(config.codec);
        if (!payloader) return payloader.take_error();
        // Live sources stamp capture times, so RTP timestamps follow them;
        // file sources keep their media timeline.
        write_rtp_timestamp_extension(payloader.value().get(), live);
        chain.push_back(std::move(payloader).value());
    }
    return finish(chain);
}

}  // namespace ov::media
