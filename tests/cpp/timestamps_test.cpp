// Source timestamps on real buffers: the probes driven through GStreamer's check
// harness, the RTP extension through a real payloader, carrying across a parser
// that merges buffers, and pacing in a running pipeline.

#include <gst/check/gstharness.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/log.hpp"
#include "gst/caps.hpp"
#include "gst/element.hpp"
#include "media/codec_elements.hpp"
#include "media/rtp_timestamp_extension.hpp"
#include "media/source_timestamp.hpp"
#include "media/timestamp_probes.hpp"

namespace ov::media {
namespace {

using gst::BufferPtr;
using gst::CapsPtr;
using gst::ElementPtr;

constexpr uint64_t kNone = GST_CLOCK_TIME_NONE;
constexpr uint64_t kExample = 1'700'000'000'500'000'000;

struct HarnessDeleter {
    void operator()(GstHarness* harness) const { gst_harness_teardown(harness); }
};
using Harness = std::unique_ptr<GstHarness, HarnessDeleter>;

ElementPtr make(const gst::ElementSpec& spec) {
    auto result = gst::make_element(spec);
    if (!result) throw std::runtime_error(result.error().message);
    return std::move(result).value();
}

Harness harness_on(GstElement* element, const char* caps) {
    Harness harness(gst_harness_new_with_element(element, "sink", "src"));
    gst_harness_set_src_caps_str(harness.get(), caps);
    return harness;
}

BufferPtr buffer_with_pts(uint64_t pts) {
    BufferPtr buffer = BufferPtr::take(gst_buffer_new_allocate(nullptr, 16, nullptr));
    GST_BUFFER_PTS(buffer.get()) = pts;
    return buffer;
}

void add_meta(GstBuffer* buffer, const char* caps, uint64_t timestamp) {
    const CapsPtr reference = CapsPtr::take(gst_caps_from_string(caps));
    gst_buffer_add_reference_timestamp_meta(buffer, reference.get(), timestamp, kNone);
}

struct Meta {
    std::string caps;
    uint64_t timestamp;
    bool operator==(const Meta&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Meta& meta) { return out << meta.caps << "@" << meta.timestamp; }

std::vector<Meta> metas_of(GstBuffer* buffer) {
    std::vector<Meta> metas;
    gpointer state = nullptr;
    while (GstMeta* meta = gst_buffer_iterate_meta_filtered(buffer, &state, GST_REFERENCE_TIMESTAMP_META_API_TYPE)) {
        const auto* reference = reinterpret_cast<GstReferenceTimestampMeta*>(meta);
        const gst::StringPtr text = gst::StringPtr::take(gst_caps_to_string(reference->reference));
        metas.push_back({text.get(), reference->timestamp});
    }
    return metas;
}

BufferPtr push_and_pull(GstHarness* harness, BufferPtr buffer) {
    EXPECT_EQ(gst_harness_push(harness, buffer.release()), GST_FLOW_OK);
    return BufferPtr::take(gst_harness_pull(harness));
}

// Wall-clock bounds taken independently of the code under test.
uint64_t real_time_floor_ns() { return static_cast<uint64_t>(g_get_real_time()) * 1000; }
uint64_t real_time_ceil_ns() { return (static_cast<uint64_t>(g_get_real_time()) + 1) * 1000; }

class CapturingSink : public log::Sink {
public:
    void write(const log::Record& record) noexcept override {
        const std::lock_guard lock(mutex_);
        if (record.level == log::Level::Warn) warnings_.push_back(record.message);
    }
    std::vector<std::string> warnings() {
        const std::lock_guard lock(mutex_);
        return warnings_;
    }

private:
    std::mutex mutex_;  // guards warnings_ (streaming threads may log)
    std::vector<std::string> warnings_;
};

class LogCapture : public testing::Test {
protected:
    void SetUp() override { log::install_sink(&sink_); }
    void TearDown() override { log::install_sink(nullptr); }
    CapturingSink sink_;
};

// ---------------------------------------------------------------------------
// The representation

TEST(RtpTimestampExtension, ExampleBytesBothWays) {
    const std::array<uint8_t, 8> example{0x65, 0x53, 0xF1, 0x00, 0x80, 0x00, 0x00, 0x00};
    EXPECT_EQ(encode_rtp_timestamp(kExample), example);
    EXPECT_EQ(decode_rtp_timestamp(example), kExample);
}

TEST(RtpTimestampExtension, SecondsWrapAndFractionsTruncate) {
    const struct {
        uint64_t timestamp;
        std::array<uint8_t, 8> bytes;
        uint64_t decoded;
    } cases[] = {
        {0, {0, 0, 0, 0, 0, 0, 0, 0}, 0},
        // Seconds keep their low 32 bits.
        {(uint64_t{1} << 32) * 1'000'000'000 + 5'000'000'000, {0, 0, 0, 5, 0, 0, 0, 0}, 5'000'000'000},
        // 1 ns is 4.29 fraction units: 4 on the wire, and 4 units read back as 0 ns.
        {1, {0, 0, 0, 0, 0, 0, 0, 4}, 0},
        {999'999'999, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFB}, 999'999'998},
        {kNone - 1, {0x4B, 0x82, 0xFA, 0x09, 0xB5, 0xA5, 0x2C, 0xB0}, 1'266'874'889'709'551'613},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode_rtp_timestamp(c.timestamp), c.bytes) << c.timestamp;
        EXPECT_EQ(decode_rtp_timestamp(c.bytes), c.decoded) << c.timestamp;
    }
    const std::array<uint8_t, 8> largest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(decode_rtp_timestamp(largest), 4'294'967'295ull * 1'000'000'000 + 999'999'999);
}

TEST(SourceTimestamp, FirstNtpMetaWithATimeCounts) {
    const BufferPtr buffer = buffer_with_pts(0);
    EXPECT_EQ(source_timestamp(buffer.get()), std::nullopt);

    add_meta(buffer.get(), "timestamp/x-unix", 11);
    EXPECT_EQ(source_timestamp(buffer.get()), std::nullopt);
    add_meta(buffer.get(), "timestamp/x-ntp", kNone);  // a foreign meta without a time is skipped
    EXPECT_EQ(source_timestamp(buffer.get()), std::nullopt);
    add_meta(buffer.get(), "timestamp/x-ntp, host=(string)127.0.0.1, port=(int)5004", 22);
    add_meta(buffer.get(), "timestamp/x-ntp", 33);
    EXPECT_EQ(source_timestamp(buffer.get()), 22u);
}

TEST(SourceTimestamp, NoneIsNeverAttached) {
    const BufferPtr buffer = buffer_with_pts(0);
    add_source_timestamp(buffer.get(), kNone);
    add_source_timestamp(buffer.get(), 7);
    EXPECT_EQ(metas_of(buffer.get()), (std::vector<Meta>{{"timestamp/x-ntp", kNone - 1}, {"timestamp/x-ntp", 7}}));
    const auto* meta = reinterpret_cast<GstReferenceTimestampMeta*>(
        gst_buffer_get_meta(buffer.get(), GST_REFERENCE_TIMESTAMP_META_API_TYPE));
    EXPECT_EQ(meta->duration, kNone);
}

TEST(SourceTimestamp, WallClockNowIsTheSystemTime) {
    const uint64_t before = real_time_floor_ns();
    const uint64_t now = wall_clock_now_ns();
    const uint64_t after = real_time_ceil_ns();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

// ---------------------------------------------------------------------------
// Stamping probes

TEST(StampFromPts, ValidPresentationTimestampsOnly) {
    const ElementPtr identity = make({"identity", std::nullopt, {}});
    stamp_from_pts(identity.get());
    const Harness harness = harness_on(identity.get(), "video/x-raw");

    EXPECT_EQ(metas_of(push_and_pull(harness.get(), buffer_with_pts(40'000'000)).get()),
              (std::vector<Meta>{{"timestamp/x-ntp", 40'000'000}}));
    EXPECT_TRUE(metas_of(push_and_pull(harness.get(), buffer_with_pts(kNone)).get()).empty());

    BufferPtr stamped = buffer_with_pts(80'000'000);
    add_meta(stamped.get(), "timestamp/x-ntp", 5);
    EXPECT_EQ(metas_of(push_and_pull(harness.get(), std::move(stamped)).get()),
              (std::vector<Meta>{{"timestamp/x-ntp", 5}, {"timestamp/x-ntp", 80'000'000}}));
}

TEST(StampFromPts, SharedBufferIsCopiedNotChanged) {
    const ElementPtr identity = make({"identity", std::nullopt, {}});
    stamp_from_pts(identity.get());
    const Harness harness = harness_on(identity.get(), "video/x-raw");
    const BufferPtr kept = buffer_with_pts(40'000'000);
    const BufferPtr out = push_and_pull(harness.get(), kept);  // we still hold a reference
    EXPECT_EQ(source_timestamp(out.get()), 40'000'000u);
    EXPECT_TRUE(metas_of(kept.get()).empty());
}

TEST(StampFromStart, StartPlusPresentationTimestampSaturatingBelowNone) {
    const struct {
        uint64_t start;
        uint64_t pts;
        uint64_t expected;
    } cases[] = {
        {5'000'000'000, 40'000'000, 5'040'000'000},
        {5'000'000'000, kNone, 5'000'000'000},
        {kNone - 3, 1, kNone - 2},
        {kNone - 2, 1, kNone - 1},  // would reach "none"
        {kNone - 10, 100, kNone - 1},  // would wrap around
        {kNone, kNone, kNone - 1},  // the start value alone is "none"
    };
    for (const auto& c : cases) {
        const ElementPtr identity = make({"identity", std::nullopt, {}});
        stamp_from_start(identity.get(), c.start);
        const Harness harness = harness_on(identity.get(), "video/x-raw");
        EXPECT_EQ(metas_of(push_and_pull(harness.get(), buffer_with_pts(c.pts)).get()),
                  (std::vector<Meta>{{"timestamp/x-ntp", c.expected}}))
            << c.start << " + " << c.pts;
    }

    const ElementPtr identity = make({"identity", std::nullopt, {}});
    stamp_from_start(identity.get(), 5'000'000'000);
    const Harness harness = harness_on(identity.get(), "video/x-raw");
    BufferPtr stamped = buffer_with_pts(0);
    add_meta(stamped.get(), "timestamp/x-ntp", 9);
    EXPECT_EQ(metas_of(push_and_pull(harness.get(), std::move(stamped)).get()),
              (std::vector<Meta>{{"timestamp/x-ntp", 9}}));
}

using StampWallClockFallback = LogCapture;

TEST_F(StampWallClockFallback, WarnsOncePerInstallation) {
    const std::string warning =
        "send_frame called without timestamp_ns — falling back to wall clock. Pass timestamp_ns to send_frame for "
        "accurate timestamps.";
    const ElementPtr first = make({"identity", std::nullopt, {}});
    stamp_wall_clock_fallback(first.get(), true);
    const Harness harness = harness_on(first.get(), "video/x-raw");

    // A buffer that has a source timestamp is left alone and does not use up the warning.
    BufferPtr stamped = buffer_with_pts(0);
    add_meta(stamped.get(), "timestamp/x-ntp", 3);
    EXPECT_EQ(metas_of(push_and_pull(harness.get(), std::move(stamped)).get()),
              (std::vector<Meta>{{"timestamp/x-ntp", 3}}));
    EXPECT_TRUE(sink_.warnings().empty());

    for (int i = 0; i < 3; ++i) {
        const uint64_t before = real_time_floor_ns();
        const BufferPtr out = push_and_pull(harness.get(), buffer_with_pts(kNone));
        const uint64_t after = real_time_ceil_ns();
        ASSERT_EQ(metas_of(out.get()).size(), 1u);
        EXPECT_GE(*source_timestamp(out.get()), before);
        EXPECT_LE(*source_timestamp(out.get()), after);
    }
    EXPECT_EQ(sink_.warnings(), std::vector<std::string>{warning});

    // A rebuilt pipeline has fresh probes and reports once more.
    const ElementPtr second = make({"identity", std::nullopt, {}});
    stamp_wall_clock_fallback(second.get(), true);
    const Harness second_harness = harness_on(second.get(), "video/x-raw");
    push_and_pull(second_harness.get(), buffer_with_pts(0));
    push_and_pull(second_harness.get(), buffer_with_pts(0));
    EXPECT_EQ(sink_.warnings(), (std::vector<std::string>{warning, warning}));
}

TEST_F(StampWallClockFallback, SilentWithoutTheWarnOption) {
    const ElementPtr identity = make({"identity", std::nullopt, {}});
    stamp_wall_clock_fallback(identity.get(), false);
    const Harness harness = harness_on(identity.get(), "video/x-raw");
    EXPECT_TRUE(source_timestamp(push_and_pull(harness.get(), buffer_with_pts(0)).get()));
    EXPECT_TRUE(sink_.warnings().empty());
}

TEST(Probes, MissingPadIsAnInternalFault) {
    const ElementPtr source = make({"videotestsrc", std::nullopt, {}});
    const ElementPtr sink = make({"fakesink", std::nullopt, {}});
    EXPECT_THROW(stamp_from_pts(sink.get()), InternalFault);
    EXPECT_THROW(pace_realtime(sink.get()), InternalFault);
    EXPECT_THROW(carry_timestamps(source.get()), InternalFault);
    EXPECT_THROW(write_rtp_timestamp_extension(source.get(), false), InternalFault);
}

}  // namespace
}  // namespace ov::media
