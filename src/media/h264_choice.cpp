#include "media/h264_choice.hpp"

#include <glib.h>

#include <array>
#include <cstdlib>
#include <utility>

#include "core/log.hpp"
#include "gst/init.hpp"

namespace ov {
namespace {

constexpr std::array<std::pair<std::string_view, const char*>, 4> kFamilies{{
    {"x264", "x264enc"},
    {"openh264", "openh264enc"},
    {"mfh264", "mfh264enc"},
    {"videotoolbox", "vtenc_h264"},
}};

constexpr const char* kVariable = "ORVANE_H264_ENCODER";

}  // namespace

const char* h264_factory(std::string_view family) {
    for (const auto& [name, factory] : kFamilies) {
        if (name == family) return factory;
    }
    return "x264enc";
}

std::string_view choose_h264_encoder() {
    // Without GStreamer the registry cannot be asked; the lookups below then find
    // nothing and the choice falls back to "x264", whose build reports the problem.
    const bool initialised = !gst::init().has_value();

    if (const char* value = std::getenv(kVariable); value != nullptr &&
                                                    g_utf8_validate(value, -1, nullptr)) {
        const std::string_view requested(value);
        for (const auto& [name, factory] : kFamilies) {
            if (name == requested) return name;
        }
        OV_WARN(log::kPipeline, "[H264] ignoring unknown ORVANE_H264_ENCODER={}", requested);
    }
    if (initialised && gst::factory_exists("x264enc")) return "x264";
    if (initialised && gst::factory_exists("openh264enc")) {
        OV_INFO(log::kPipeline, "[H264] x264enc not found, using openh264enc");
        return "openh264";
    }
    OV_WARN(log::kPipeline, "[H264] no H.264 encoder available; pipeline construction will fail");
    return "x264";
}

}  // namespace ov
