#include "whip/offer_fixup.hpp"

#include <fmt/format.h>

#include <string>
#include <string_view>
#include <vector>

namespace ov::whip {
namespace {

// The payload types of an m= section whose rtpmap names H.264.
std::vector<std::string> h264_payload_types(const GstSDPMedia* media) {
    std::vector<std::string> types;
    for (guint i = 0; i < gst_sdp_media_attributes_len(media); ++i) {
        const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, i);
        if (attribute->key == nullptr || attribute->value == nullptr) continue;
        if (std::string_view(attribute->key) != "rtpmap") continue;
        const std::string_view value(attribute->value);
        const auto space = value.find(' ');
        if (space == std::string_view::npos) continue;
        const std::string_view encoding = value.substr(space + 1);
        if (encoding.size() >= 5 && g_ascii_strncasecmp(encoding.data(), "H264/", 5) == 0) {
            types.emplace_back(value.substr(0, space));
        }
    }
    return types;
}

void declare_in_media(GstSDPMedia* media) {
    for (const std::string& type : h264_payload_types(media)) {
        const std::string prefix = type + " ";
        bool found = false;
        for (guint i = 0; i < gst_sdp_media_attributes_len(media) && !found; ++i) {
            const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, i);
            if (attribute->key == nullptr || std::string_view(attribute->key) != "fmtp" || attribute->value == nullptr) {
                continue;
            }
            const std::string_view value(attribute->value);
            if (!value.starts_with(prefix)) continue;
            found = true;
            if (value.find("packetization-mode") != std::string_view::npos) continue;
            GstSDPAttribute replacement;
            const std::string extended = fmt::format("{};packetization-mode=1", value);
            gst_sdp_attribute_set(&replacement, "fmtp", extended.c_str());
            gst_sdp_media_replace_attribute(media, i, &replacement);
        }
        if (!found) gst_sdp_media_add_attribute(media, "fmtp", (prefix + "packetization-mode=1").c_str());
    }
}

}  // namespace

void declare_h264_packetization(GstSDPMessage* offer) {
    for (guint i = 0; i < gst_sdp_message_medias_len(offer); ++i) {
        // The message owns its media; the accessor is const only by signature.
        declare_in_media(const_cast<GstSDPMedia*>(gst_sdp_message_get_media(offer, i)));
    }
}

}  // namespace ov::whip
