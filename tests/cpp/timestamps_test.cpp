// Source timestamps on real buffers: the probes driven through GStreamer's check
// harness, the RTP extension through a real payloader, carrying across a parser
// that merges buffers, and pacing in a running pipeline.

#include <glib/gstdio.h>
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

ElementPtr make(const gst::ElementSpec& wanted) {
    auto result = gst::make_element(wanted);
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

// ---------------------------------------------------------------------------
// The RTP timestamp extension on real packets

BufferPtr rtp_packet(std::vector<uint8_t> extension, uint8_t id = kRtpTimestampExtensionId) {
    BufferPtr packet = BufferPtr::take(gst_rtp_buffer_new_allocate(12, 0, 0));
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    EXPECT_TRUE(gst_rtp_buffer_map(packet.get(), GST_MAP_READWRITE, &rtp));
    gst_rtp_buffer_set_payload_type(&rtp, 96);
    if (!extension.empty()) {
        EXPECT_TRUE(gst_rtp_buffer_add_extension_onebyte_header(&rtp, id, extension.data(), extension.size()));
    }
    gst_rtp_buffer_unmap(&rtp);
    return packet;
}

struct Extension {
    uint16_t profile = 0;  // 0xBEDE for one-byte header extensions
    std::vector<uint8_t> timestamp;  // the data of identifier 1
    bool other_ids = false;
};

Extension extension_of(GstBuffer* packet) {
    Extension found;
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(packet, GST_MAP_READ, &rtp)) {
        ADD_FAILURE() << "not an RTP packet";
        return found;
    }
    gpointer data = nullptr;
    guint words = 0;
    if (gst_rtp_buffer_get_extension_data(&rtp, &found.profile, &data, &words)) {
        gpointer bytes = nullptr;
        guint size = 0;
        if (gst_rtp_buffer_get_extension_onebyte_header(&rtp, kRtpTimestampExtensionId, 0, &bytes, &size)) {
            found.timestamp.assign(static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + size);
        }
        for (uint8_t id = 2; id < 15; ++id) {
            found.other_ids |= gst_rtp_buffer_get_extension_onebyte_header(&rtp, id, 0, &bytes, &size);
        }
    }
    gst_rtp_buffer_unmap(&rtp);
    return found;
}

TEST(ReadRtpTimestampExtension, ExtensionValueElseWallClockNow) {
    const auto example = encode_rtp_timestamp(kExample);
    std::vector<uint8_t> longer(example.begin(), example.end());
    longer.insert(longer.end(), {1, 2, 3, 4});
    const struct {
        const char* what;
        BufferPtr packet;
        std::optional<uint64_t> expected;  // none: wall-clock now
    } cases[] = {
        {"8-byte extension", rtp_packet({example.begin(), example.end()}), kExample},
        {"longer extension: its first 8 bytes", rtp_packet(longer), kExample},
        {"4-byte extension", rtp_packet({0x65, 0x53, 0xF1, 0x00}), std::nullopt},
        {"extension of another identifier", rtp_packet({example.begin(), example.end()}, 2), std::nullopt},
        {"no extension", rtp_packet({}), std::nullopt},
        {"not an RTP packet", buffer_with_pts(0), std::nullopt},
    };
    for (const auto& c : cases) {
        const ElementPtr identity = make({"identity", std::nullopt, {}});
        read_rtp_timestamp_extension(identity.get());
        const Harness harness = harness_on(identity.get(), "application/x-rtp");
        const uint64_t before = real_time_floor_ns();
        const BufferPtr out = push_and_pull(harness.get(), c.packet);
        const uint64_t after = real_time_ceil_ns();
        ASSERT_EQ(metas_of(out.get()).size(), 1u) << c.what;
        const uint64_t value = *source_timestamp(out.get());
        if (c.expected) {
            EXPECT_EQ(value, *c.expected) << c.what;
        } else {
            EXPECT_GE(value, before) << c.what;
            EXPECT_LE(value, after) << c.what;
        }
    }
}

TEST(WriteRtpTimestampExtension, ReplacesExtensionDataAndLeavesOtherBuffersAlone) {
    const ElementPtr identity = make({"identity", std::nullopt, {}});
    write_rtp_timestamp_extension(identity.get(), false);
    const Harness harness = harness_on(identity.get(), "application/x-rtp");

    BufferPtr packet = rtp_packet({9, 9, 9}, 3);
    add_meta(packet.get(), "timestamp/x-ntp", kExample);
    const Extension written = extension_of(push_and_pull(harness.get(), std::move(packet)).get());
    EXPECT_EQ(written.profile, 0xBEDE);
    EXPECT_EQ(written.timestamp, (std::vector<uint8_t>{0x65, 0x53, 0xF1, 0x00, 0x80, 0x00, 0x00, 0x00}));
    EXPECT_FALSE(written.other_ids);

    const std::vector<uint8_t> payload{1, 2, 3, 4, 5};
    BufferPtr plain = BufferPtr::take(gst_buffer_new_memdup(payload.data(), payload.size()));
    const BufferPtr out = push_and_pull(harness.get(), std::move(plain));
    std::vector<uint8_t> bytes(gst_buffer_get_size(out.get()));
    gst_buffer_extract(out.get(), 0, bytes.data(), bytes.size());
    EXPECT_EQ(bytes, payload);
}

// An H.264 elementary stream made by ffmpeg, as bytes and as access units.
class H264Stream : public testing::Test {
protected:
    static void SetUpTestSuite() {
        const gst::StringPtr dir = gst::StringPtr::take(g_dir_make_tmp("ov-timestamps-XXXXXX", nullptr));
        if (!dir) return;
        directory_ = dir.get();
        const std::string path = directory_ + "/stream.h264";
        const std::string command =
            "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=10 -frames:v 10 "
            "-c:v libx264 -g 5 -bf 0 -pix_fmt yuv420p -f h264 '" + path + "'";
        if (std::system(command.c_str()) != 0) return;
        std::ifstream in(path, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), {});
    }
    static void TearDownTestSuite() {
        if (directory_.empty()) return;
        std::remove((directory_ + "/stream.h264").c_str());
        g_rmdir(directory_.c_str());
    }
    void SetUp() override {
        if (bytes_.empty()) GTEST_SKIP() << "ffmpeg with libx264 could not make the H.264 test stream";
    }

    static BufferPtr chunk(size_t offset, size_t size) {
        size = std::min(size, bytes_.size() - offset);
        return BufferPtr::take(gst_buffer_new_memdup(bytes_.data() + offset, size));
    }

    // The stream cut into access units by h264parse.
    static std::vector<BufferPtr> access_units() {
        const ElementPtr parser = make({"h264parse", std::nullopt, {}});
        const Harness harness(gst_harness_new_with_element(parser.get(), "sink", "src"));
        gst_harness_set_sink_caps_str(harness.get(), "video/x-h264, stream-format=byte-stream, alignment=au");
        gst_harness_set_src_caps_str(harness.get(), "video/x-h264, stream-format=byte-stream");
        EXPECT_EQ(gst_harness_push(harness.get(), chunk(0, bytes_.size()).release()), GST_FLOW_OK);
        EXPECT_TRUE(gst_harness_push_event(harness.get(), gst_event_new_eos()));
        std::vector<BufferPtr> units;
        while (GstBuffer* unit = gst_harness_try_pull(harness.get())) units.push_back(BufferPtr::take(unit));
        return units;
    }

    static inline std::string directory_;
    static inline std::string bytes_;
};

uint32_t rtp_time_of(GstBuffer* packet) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(packet, GST_MAP_READ, &rtp)) return 0;
    const uint32_t time = gst_rtp_buffer_get_timestamp(&rtp);
    gst_rtp_buffer_unmap(&rtp);
    return time;
}

std::vector<BufferPtr> pull_all(GstHarness* harness) {
    std::vector<BufferPtr> out;
    while (GstBuffer* buffer = gst_harness_try_pull(harness)) out.push_back(BufferPtr::take(buffer));
    return out;
}

// Payloader with the writer, then a plain element with the reader: what a
// receiver reads back is what the sender's input carried.
TEST_F(H264Stream, ExtensionRoundTripThroughARealPayloader) {
    auto units = access_units();
    ASSERT_EQ(units.size(), 10u);

    const ElementPtr bin = gst::make_bin();
    auto made = make_payloader(Codec::H264);
    ASSERT_TRUE(made.ok()) << made.error().message;
    const ElementPtr payloader = std::move(made).value();
    gst::set_property(payloader.get(), "mtu", 400u);  // key frames span several packets (a buffer list)
    const ElementPtr reader = make({"identity", std::nullopt, {}});
    const ElementPtr chain[] = {payloader, reader};
    ASSERT_FALSE(gst::add_elements(bin.get(), chain));
    ASSERT_FALSE(gst::link_chain(chain));
    ASSERT_FALSE(gst::expose_pad(bin.get(), gst::required_pad(payloader.get(), "sink").get()));
    ASSERT_FALSE(gst::expose_pad(bin.get(), gst::required_pad(reader.get(), "src").get()));
    write_rtp_timestamp_extension(payloader.get(), false);
    read_rtp_timestamp_extension(reader.get());

    const Harness harness = harness_on(bin.get(), "video/x-h264, stream-format=byte-stream, alignment=au");
    size_t packets = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        BufferPtr unit = BufferPtr::take(gst_buffer_copy(units[i].get()));
        GST_BUFFER_PTS(unit.get()) = i * 100'000'000;
        const uint64_t captured = kExample + i * 100'000'000;
        add_meta(unit.get(), "timestamp/x-ntp", captured);
        ASSERT_EQ(gst_harness_push(harness.get(), unit.release()), GST_FLOW_OK);
        for (const auto& packet : pull_all(harness.get())) {
            ++packets;
            // A decoded fraction may lose the last nanosecond.
            const auto received = source_timestamp(packet.get());
            ASSERT_TRUE(received);
            EXPECT_LE(captured - *received, 1u) << "unit " << i;
            EXPECT_EQ(extension_of(packet.get()).timestamp.size(), 8u);
        }
    }
    EXPECT_GT(packets, units.size());

    // An input without a source timestamp is sent with the time it was packed.
    BufferPtr unstamped = BufferPtr::take(gst_buffer_copy(units[1].get()));
    const uint64_t before = real_time_floor_ns();
    ASSERT_EQ(gst_harness_push(harness.get(), unstamped.release()), GST_FLOW_OK);
    const uint64_t after = real_time_ceil_ns();
    const auto out = pull_all(harness.get());
    ASSERT_FALSE(out.empty());
    for (const auto& packet : out) {
        const uint64_t received = *source_timestamp(packet.get());
        EXPECT_GE(received + 1, before);
        EXPECT_LE(received, after);
    }
}

// Live sources let capture times drive the RTP clock; the packets' RTP
// timestamps then advance with the source timestamps, not the running time.
TEST_F(H264Stream, RewriteMakesRtpTimeFollowSourceTimestamps) {
    auto units = access_units();
    ASSERT_GE(units.size(), 2u);
    for (const bool rewrite : {false, true}) {
        auto made = make_payloader(Codec::H264);
        ASSERT_TRUE(made.ok()) << made.error().message;
        const ElementPtr payloader = std::move(made).value();
        write_rtp_timestamp_extension(payloader.get(), rewrite);
        const Harness harness = harness_on(payloader.get(), "video/x-h264, stream-format=byte-stream, alignment=au");
        std::vector<uint32_t> rtp_times;
        for (size_t i = 0; i < 2; ++i) {
            BufferPtr unit = BufferPtr::take(gst_buffer_copy(units[i].get()));
            GST_BUFFER_PTS(unit.get()) = i * 40'000'000;  // 40 ms apart in running time
            add_meta(unit.get(), "timestamp/x-ntp", kExample + i * 100'000'000);  // captured 100 ms apart
            ASSERT_EQ(gst_harness_push(harness.get(), unit.release()), GST_FLOW_OK);
            const auto packets = pull_all(harness.get());
            ASSERT_FALSE(packets.empty());
            rtp_times.push_back(rtp_time_of(packets.back().get()));
        }
        EXPECT_EQ(rtp_times[1] - rtp_times[0], rewrite ? 9000u : 3600u) << "rewrite " << rewrite;
    }
}

// ---------------------------------------------------------------------------
// Carrying metas across elements that make new buffers

// h264parse fed with the stream cut into pieces merges several pieces into
// one access unit: each output carries the metas of the latest input.
TEST_F(H264Stream, CarriedAcrossAParserThatMergesBuffers) {
    auto made = make_parser(Codec::H264);
    ASSERT_TRUE(made.ok()) << made.error().message;
    const ElementPtr parser = std::move(made).value();
    carry_timestamps(parser.get());
    const Harness harness = harness_on(parser.get(), "video/x-h264, stream-format=byte-stream");

    constexpr size_t kPiece = 700;
    size_t pieces = 0;
    size_t outputs = 0;
    std::vector<Meta> latest;
    for (size_t offset = 0; offset < bytes_.size(); offset += kPiece, ++pieces) {
        BufferPtr piece = chunk(offset, kPiece);
        latest = {{"timestamp/x-ntp", kExample + pieces}, {"timestamp/x-unix", 1000 + pieces}};
        for (const auto& meta : latest) add_meta(piece.get(), meta.caps.c_str(), meta.timestamp);
        ASSERT_EQ(gst_harness_push(harness.get(), piece.release()), GST_FLOW_OK);
        for (const auto& unit : pull_all(harness.get())) {
            ++outputs;
            EXPECT_EQ(metas_of(unit.get()), latest) << "output " << outputs << " after piece " << pieces;
        }
    }
    ASSERT_TRUE(gst_harness_push_event(harness.get(), gst_event_new_eos()));
    for (const auto& unit : pull_all(harness.get())) {
        ++outputs;
        EXPECT_EQ(metas_of(unit.get()), latest);
    }
    EXPECT_EQ(outputs, 10u);
    EXPECT_GT(pieces, outputs);  // pieces were merged
}

TEST(CarryTimestamps, ElementsThatPassMetasDoNotMultiplyThem) {
    // Three carrying elements in a row, the middle one on its "video_sink" pad.
    const ElementPtr bin = gst::make_bin();
    const ElementPtr chain[] = {make({"videoconvert", std::nullopt, {}}), make({"timeoverlay", std::nullopt, {}}),
                                make({"videoscale", std::nullopt, {}})};
    ASSERT_FALSE(gst::add_elements(bin.get(), chain));
    ASSERT_FALSE(gst::link_chain(chain));
    ASSERT_FALSE(gst::expose_pad(bin.get(), gst::required_pad(chain[0].get(), "sink").get()));
    ASSERT_FALSE(gst::expose_pad(bin.get(), gst::required_pad(chain[2].get(), "src").get()));
    for (const auto& element : chain) carry_timestamps(element.get());

    const Harness harness =
        harness_on(bin.get(), "video/x-raw, format=I420, width=64, height=48, framerate=10/1");
    BufferPtr frame = BufferPtr::take(gst_buffer_new_allocate(nullptr, 64 * 48 * 3 / 2, nullptr));
    GST_BUFFER_PTS(frame.get()) = 0;
    const std::vector<Meta> metas{{"timestamp/x-ntp", kExample}, {"timestamp/x-unix", 5}};
    for (const auto& meta : metas) add_meta(frame.get(), meta.caps.c_str(), meta.timestamp);
    EXPECT_EQ(metas_of(push_and_pull(harness.get(), std::move(frame)).get()), metas);

    // An input without metas empties the carry list: nothing is added.
    BufferPtr bare = BufferPtr::take(gst_buffer_new_allocate(nullptr, 64 * 48 * 3 / 2, nullptr));
    GST_BUFFER_PTS(bare.get()) = 100'000'000;
    EXPECT_TRUE(metas_of(push_and_pull(harness.get(), std::move(bare)).get()).empty());
}

// ---------------------------------------------------------------------------
// Pacing

TEST(PaceRealtime, FileLikeSourcePlaysAtWallClockSpeed) {
    const ElementPtr pipeline = ElementPtr::ref(gst_pipeline_new(nullptr));
    const ElementPtr source = make({"videotestsrc", std::nullopt, {{"is-live", false}, {"num-buffers", int32_t{15}}}});
    const ElementPtr chain[] = {
        source,
        make({"capsfilter",
              std::nullopt,
              {{"caps", gst::make_caps("video/x-raw", {{"width", 64}, {"height", 48},
                                                       {"framerate", gst::Fraction{10, 1}}})}}}),
        make({"fakesink", std::nullopt, {{"sync", false}}}),
    };
    ASSERT_FALSE(gst::add_elements(pipeline.get(), chain));
    ASSERT_FALSE(gst::link_chain(chain));
    pace_realtime(source.get());

    const auto started = std::chrono::steady_clock::now();
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline.get()));
    const gst::MessagePtr message = gst::MessagePtr::take(gst_bus_timed_pop_filtered(
        bus.get(), 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    ASSERT_TRUE(message) << "no end of stream within 30 s";
    ASSERT_EQ(GST_MESSAGE_TYPE(message.get()), GST_MESSAGE_EOS);
    // The last of 15 frames at 10/s is due 1.4 s after the first.
    EXPECT_GE(elapsed, std::chrono::milliseconds(1200));
}

// ---------------------------------------------------------------------------
// Creation time of a file

// An element with the date-time "creation-time" property that muxers of newer
// GStreamer versions declare; used where the installed qtmux lacks it.
struct CreationTimeHolder {
    GstElement element;
    GstDateTime* creation_time;
};

GType creation_time_holder_type() {
    static const GType type = [] {
        const auto class_init = [](gpointer klass, gpointer) {
            auto* object_class = G_OBJECT_CLASS(klass);
            object_class->set_property = [](GObject* object, guint, const GValue* value, GParamSpec*) {
                auto* holder = reinterpret_cast<CreationTimeHolder*>(object);
                if (holder->creation_time) gst_date_time_unref(holder->creation_time);
                holder->creation_time = static_cast<GstDateTime*>(g_value_dup_boxed(value));
            };
            object_class->get_property = [](GObject* object, guint, GValue* value, GParamSpec*) {
                g_value_set_boxed(value, reinterpret_cast<CreationTimeHolder*>(object)->creation_time);
            };
            object_class->finalize = [](GObject* object) {
                auto* holder = reinterpret_cast<CreationTimeHolder*>(object);
                if (holder->creation_time) gst_date_time_unref(holder->creation_time);
                G_OBJECT_CLASS(g_type_class_peek(GST_TYPE_ELEMENT))->finalize(object);
            };
            g_object_class_install_property(
                object_class, 1,
                g_param_spec_boxed("creation-time", "Creation time", "Creation time", GST_TYPE_DATE_TIME,
                                   static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
        };
        return g_type_register_static_simple(GST_TYPE_ELEMENT, "OvTestCreationTimeHolder",
                                             sizeof(GstElementClass), class_init, sizeof(CreationTimeHolder),
                                             nullptr, static_cast<GTypeFlags>(0));
    }();
    return type;
}

ElementPtr creation_time_target() {
    const ElementPtr muxer = make({"qtmux", std::nullopt, {}});
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(muxer.get()), "creation-time");
    if (pspec && pspec->value_type == GST_TYPE_DATE_TIME) return muxer;
    return ElementPtr::ref(GST_ELEMENT(g_object_new(creation_time_holder_type(), nullptr)));
}

// Seconds since the epoch of the target's "creation-time"; none while unset.
std::optional<int64_t> creation_time_of(GstElement* target) {
    GstDateTime* raw = nullptr;
    g_object_get(target, "creation-time", &raw, nullptr);
    if (raw == nullptr) return std::nullopt;
    GDateTime* time = gst_date_time_to_g_date_time(raw);
    gst_date_time_unref(raw);
    const int64_t seconds = g_date_time_to_unix(time);
    g_date_time_unref(time);
    return seconds;
}

TEST(SetCreationTime, FirstBufferOnlyThenTheProbeIsGone) {
    const struct {
        const char* what;
        std::optional<uint64_t> first;
        std::optional<int64_t> expected;
    } cases[] = {
        {"first buffer stamped", kExample + 400'000'000, 1'700'000'000},
        {"first buffer without a source timestamp", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const ElementPtr target = creation_time_target();
        const ElementPtr identity = make({"identity", std::nullopt, {}});
        set_creation_time(gst::required_pad(identity.get(), "src").get(), target.get());
        const Harness harness = harness_on(identity.get(), "video/x-h264");

        BufferPtr first = buffer_with_pts(0);
        if (c.first) add_meta(first.get(), "timestamp/x-ntp", *c.first);
        push_and_pull(harness.get(), std::move(first));
        EXPECT_EQ(creation_time_of(target.get()), c.expected) << c.what;

        BufferPtr second = buffer_with_pts(100'000'000);
        add_meta(second.get(), "timestamp/x-ntp", 1'800'000'000'000'000'000);
        push_and_pull(harness.get(), std::move(second));
        EXPECT_EQ(creation_time_of(target.get()), c.expected) << c.what << ": a second buffer changed it";
    }
}

TEST(SetCreationTime, TargetGoneOrWithoutTheProperty) {
    const ElementPtr identity = make({"identity", std::nullopt, {}});
    EXPECT_THROW(set_creation_time(gst::required_pad(identity.get(), "src").get(), identity.get()), InternalFault);

    ElementPtr target = creation_time_target();
    set_creation_time(gst::required_pad(identity.get(), "src").get(), target.get());
    target.reset();  // the probe holds it weakly
    const Harness harness = harness_on(identity.get(), "video/x-h264");
    BufferPtr stamped = buffer_with_pts(0);
    add_meta(stamped.get(), "timestamp/x-ntp", kExample);
    EXPECT_EQ(source_timestamp(push_and_pull(harness.get(), std::move(stamped)).get()), kExample);
}

}  // namespace
}  // namespace ov::media
