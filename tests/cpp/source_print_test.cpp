#include <gtest/gtest.h>

#include "core/source.hpp"

namespace ov {
namespace {

TEST(SourcePrintedForm, EveryKind) {
    const std::pair<SourceKind, const char*> cases[] = {
        {source::Test{}, "Test"},
        {source::Camera{}, "Camera { device_index: 0, resolution: None }"},
        {source::Camera{1, Resolution{1280, 720}},
         "Camera { device_index: 1, resolution: Some(Resolution { width: 1280, height: 720 }) }"},
        {source::Rtsp{"rtsp://host/a"}, "RTSP { url: \"rtsp://host/a\" }"},
        {source::UdpRtp{5000}, "UdpRtp { port: 5000 }"},
        {source::UdpMpegTs{5001}, "UdpMpegTs { port: 5001 }"},
        {source::Custom{"videotestsrc ! x264enc"}, "Custom { description: \"videotestsrc ! x264enc\" }"},
        {source::App{640, 480, "RGB", true}, "App { width: 640, height: 480, format: \"RGB\", auto_timestamp: true }"},
        {source::AppEncoded{Codec::AV1}, "AppEncoded { codec: AV1 }"},
        {source::AppImage{ImageFormat::Png}, "AppImage { format: Png }"},
        {source::File{"a.mp4", 0}, "File { location: \"a.mp4\", start_ns: Some(0) }"},
        {source::Images{"frames", 30, std::nullopt}, "Images { path: \"frames\", fps: 30, start_ns: None }"},
        {source::Display{3}, "Display { monitor_index: 3 }"},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(describe(value), expected);
}

TEST(SourcePrintedForm, EscapesTexts) {
    const std::pair<const char*, const char*> cases[] = {
        {"say \"hi\"", R"("say \"hi\"")"},
        {"C:\\dir", R"("C:\\dir")"},
        {"a\tb\rc\nd", R"("a\tb\rc\nd")"},
        {"\x1b[0m", R"("\u{1b}[0m")"},
        {"caf\u00e9 \u65e5\u672c", "\"caf\u00e9 \u65e5\u672c\""},
        {"nb\u00a0sp", R"("nb\u{a0}sp")"},
        {"bom\ufeff", R"("bom\u{feff}")"},
        {"del\x7f", R"("del\u{7f}")"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(describe(source::Rtsp{input}), std::string("RTSP { url: ") + expected + " }");
    }
    EXPECT_EQ(describe(source::Custom{std::string("nul\0end", 7)}), R"(Custom { description: "nul\0end" })");
}

}  // namespace
}  // namespace ov
