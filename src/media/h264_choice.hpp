#pragma once

#include <string_view>

namespace ov {

// The H.264 encoder family a stream uses: "x264", "openh264", "mfh264" or
// "videotoolbox". Decided afresh on every call; never fails.
std::string_view choose_h264_encoder();

// The element factory of a family ("x264enc" for "x264", ...).
const char* h264_factory(std::string_view family);

}  // namespace ov
