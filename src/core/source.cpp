#include "core/source.hpp"

#include <fmt/format.h>

#include "core/utf8.hpp"

namespace ov {
namespace {

std::string optional_u64(const std::optional<uint64_t>& value) {
    return value ? fmt::format("Some({})", *value) : std::string("None");
}

std::string optional_resolution(const std::optional<Resolution>& value) {
    return value ? fmt::format("Some({})", describe(*value)) : std::string("None");
}

struct Describer {
    std::string operator()(const source::Test&) const { return "Test"; }
    std::string operator()(const source::Camera& s) const {
        return fmt::format("Camera {{ device_index: {}, resolution: {} }}", s.device_index,
                           optional_resolution(s.resolution));
    }
    std::string operator()(const source::Rtsp& s) const {
        return fmt::format("RTSP {{ url: {} }}", quote_text(s.url));
    }
    std::string operator()(const source::UdpRtp& s) const {
        return fmt::format("UdpRtp {{ port: {} }}", s.port);
    }
    std::string operator()(const source::UdpMpegTs& s) const {
        return fmt::format("UdpMpegTs {{ port: {} }}", s.port);
    }
    std::string operator()(const source::Custom& s) const {
        return fmt::format("Custom {{ description: {} }}", quote_text(s.description));
    }
    std::string operator()(const source::App& s) const {
        return fmt::format("App {{ width: {}, height: {}, format: {}, auto_timestamp: {} }}", s.width,
                           s.height, quote_text(s.format), s.auto_timestamp);
    }
    std::string operator()(const source::AppEncoded& s) const {
        return fmt::format("AppEncoded {{ codec: {} }}", plain_name(s.codec));
    }
    std::string operator()(const source::AppImage& s) const {
        return fmt::format("AppImage {{ format: {} }}", plain_name(s.format));
    }
    std::string operator()(const source::File& s) const {
        return fmt::format("File {{ location: {}, start_ns: {} }}", quote_text(s.location),
                           optional_u64(s.start_ns));
    }
    std::string operator()(const source::Images& s) const {
        return fmt::format("Images {{ path: {}, fps: {}, start_ns: {} }}", quote_text(s.path), s.fps,
                           optional_u64(s.start_ns));
    }
    std::string operator()(const source::Display& s) const {
        return fmt::format("Display {{ monitor_index: {} }}", s.monitor_index);
    }
};

}  // namespace

std::string describe(const SourceKind& source) { return std::visit(Describer{}, source); }

}  // namespace ov
