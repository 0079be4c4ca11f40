#pragma once

// The source descriptor: one kind of source and its parameters, fixed at creation.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/enums.hpp"
#include "core/resolution.hpp"

namespace ov {
namespace source {

struct Test {};
struct Camera {
    uint32_t device_index = 0;
    std::optional<Resolution> resolution;
};
struct Rtsp {
    std::string url;
};
struct UdpRtp {
    uint16_t port = 0;
};
struct UdpMpegTs {
    uint16_t port = 0;
};
struct Custom {
    std::string description;
};
struct App {
    uint32_t width = 0;
    uint32_t height = 0;
    std::string format = "RGB";
    bool auto_timestamp = true;
};
struct AppEncoded {
    Codec codec = Codec::H264;
};
struct AppImage {
    ImageFormat format = ImageFormat::Jpeg;
};
struct File {
    std::string location;
    std::optional<uint64_t> start_ns;
};
struct Images {
    std::string path;
    uint32_t fps = 0;
    std::optional<uint64_t> start_ns;
};
struct Display {
    uint32_t monitor_index = 0;
};

}  // namespace source

using SourceKind = std::variant<source::Test, source::Camera, source::Rtsp, source::UdpRtp,
                                source::UdpMpegTs, source::Custom, source::App, source::AppEncoded,
                                source::AppImage, source::File, source::Images, source::Display>;

// The printed form written to the log, e.g. `UdpRtp { port: 5000 }`.
std::string describe(const SourceKind& source);

}  // namespace ov
