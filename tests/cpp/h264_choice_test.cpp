#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "core/log.hpp"
#include "gst/init.hpp"
#include "media/h264_choice.hpp"

namespace ov {
namespace {

class CapturingSink : public log::Sink {
public:
    void write(const log::Record& record) noexcept override { records.push_back(record.message); }
    std::vector<std::string> records;
};

class H264Choice : public testing::Test {
protected:
    void SetUp() override { log::install_sink(&sink_); }
    void TearDown() override {
        log::install_sink(nullptr);
        unsetenv("ORVANE_H264_ENCODER");
    }
    CapturingSink sink_;
};

TEST_F(H264Choice, VariableNamesAFamilyWithoutProbing) {
    for (const char* family : {"x264", "openh264", "mfh264", "videotoolbox"}) {
        setenv("ORVANE_H264_ENCODER", family, 1);
        EXPECT_EQ(choose_h264_encoder(), family);
    }
    EXPECT_TRUE(sink_.records.empty());
}

TEST_F(H264Choice, UnknownValueIsIgnoredWithAWarning) {
    setenv("ORVANE_H264_ENCODER", "OpenH264", 1);
    const auto family = choose_h264_encoder();
    ASSERT_FALSE(sink_.records.empty());
    EXPECT_EQ(sink_.records.front(), "[H264] ignoring unknown ORVANE_H264_ENCODER=OpenH264");
    const bool has_x264 = gst::factory_exists("x264enc");
    EXPECT_EQ(family, has_x264 ? "x264" : (gst::factory_exists("openh264enc") ? "openh264" : "x264"));
}

TEST(H264Factory, Families) {
    EXPECT_STREQ(h264_factory("x264"), "x264enc");
    EXPECT_STREQ(h264_factory("openh264"), "openh264enc");
    EXPECT_STREQ(h264_factory("mfh264"), "mfh264enc");
    EXPECT_STREQ(h264_factory("videotoolbox"), "vtenc_h264");
}

}  // namespace
}  // namespace ov
