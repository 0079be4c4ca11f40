// Branches of multi-sink streams: what a branch holds for each sink and tee,
// and branches joining and leaving a running tee.

#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "media/sink_bins.hpp"
#include "sink_bins_support.hpp"

namespace ov::media {
namespace {

using test::factories;
using test::get_int;
using test::get_uint;
using test::kSmallVideo;
using test::kStart;
using test::LogCapture;
using test::pull_all;
using test::whip_sink;

gst::ElementPtr branch(const SinkKind& sink, size_t index, bool input_encoded, Codec codec, bool live) {
    auto bin = build_branch(sink, index, input_encoded, codec, live);
    if (!bin) throw std::runtime_error(bin.error().message);
    return std::move(bin).value();
}

TEST(Branch, ElementsPerSinkAndTee) {
    struct Case {
        const char* what;
        SinkKind sink;
        bool input_encoded;
        Codec codec;
        std::vector<std::string> factories;  // "bin" for the converter and the sink bin
    };
    const Case cases[] = {
        {"file on an encoded tee", sink::File{"/tmp/never-written.mp4"}, true, Codec::H264, {"queue", "h264parse", "bin"}},
        {"WHIP on an encoded tee", whip_sink(), true, Codec::H264, {"queue", "bin", "bin"}},
        {"RTP on an encoded tee", sink::UdpRtp{"127.0.0.1", 5000}, true, Codec::H265, {"queue", "bin", "bin"}},
        {"fake on an encoded tee", sink::Fake{}, true, Codec::H265, {"queue", "h265parse", "bin"}},
        {"fake on a raw tee", sink::Fake{}, false, Codec::H264, {"queue", "bin"}},
        {"display on a raw tee", sink::Display{}, false, Codec::H264, {"queue", "bin"}},
        {"app on a raw tee", sink::App{}, false, Codec::H264, {"queue", "bin"}},
        {"encoded app on an encoded tee", sink::AppEncoded{}, true, Codec::AV1, {"queue", "av1parse", "bin"}},
        {"MPEG-TS on an encoded tee", sink::UdpMpegTs{"127.0.0.1", 5004}, true, Codec::H264, {"queue", "h264parse", "bin"}},
    };
    size_t index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const gst::ElementPtr bin = branch(c.sink, index, c.input_encoded, c.codec, true);
        EXPECT_EQ(gst::element_name(bin.get()), fmt::format("branch_{}", index));
        const auto chain = test::chain_of(bin.get());
        EXPECT_EQ(factories(chain), c.factories);
        EXPECT_EQ(GST_BIN_NUMCHILDREN(GST_BIN(bin.get())), static_cast<int>(chain.size()));
        EXPECT_EQ(gst::element_name(chain.back().get()), fmt::format("sink_bin_{}", index));
        const auto [input, pad] = test::ghost_target(bin.get(), "sink");
        EXPECT_EQ(input.get(), chain.front().get());
        // Parameter sets go out with every key frame.
        const std::string second = chain.size() > 1 ? test::factory_of(chain[1].get()) : "";
        if (second == "h264parse" || second == "h265parse") {
            EXPECT_EQ(get_int(chain[1].get(), "config-interval"), -1);
        }
        // A branch only packetises or parses: it never encodes again.
        EXPECT_FALSE(test::by_name(bin.get(), "encoder"));
        if (c.factories == std::vector<std::string>{"queue", "bin", "bin"}) {
            const auto inner = test::chain_of(chain[1].get());
            EXPECT_EQ(factories(inner), std::vector<std::string>{c.codec == Codec::H264 ? "rtph264pay" : "rtph265pay"});
        }
        ++index;
    }
}

TEST(Branch, LiveQueuesDropOldBuffersAndFileQueuesWait) {
    for (const bool live : {true, false}) {
        const gst::ElementPtr bin = branch(sink::Fake{}, 0, false, Codec::H264, live);
        const gst::ElementPtr queue = test::find_factory(bin.get(), "queue");
        EXPECT_EQ(test::get_enum_nick(queue.get(), "leaky"), live ? "downstream" : "no");
        EXPECT_EQ(get_uint(queue.get(), "max-size-buffers"), live ? 1u : 5u);
    }
}

TEST(Branch, LinkingToATeeFailures) {
    const gst::ElementPtr tee = test::make({"tee", std::nullopt, {}});
    const gst::ElementPtr not_a_tee = test::make({"queue", std::nullopt, {}});
    const gst::ElementPtr padless = gst::make_bin();
    const gst::ElementPtr taken = branch(sink::Fake{}, 0, false, Codec::H264, true);
    const gst::ElementPtr other_tee = test::make({"tee", std::nullopt, {}});
    ASSERT_FALSE(link_tee_branch(other_tee.get(), taken.get()));

    const std::tuple<GstElement*, GstElement*, const char*> cases[] = {
        {not_a_tee.get(), taken.get(), "Failed to request src pad from tee"},
        {tee.get(), padless.get(), "Branch has no sink pad"},
        {tee.get(), taken.get(), "Failed to link tee to branch"},
    };
    for (const auto& [from, to, message] : cases) {
        const auto error = link_tee_branch(from, to);
        ASSERT_TRUE(error) << message;
        EXPECT_EQ(error->message, message);
    }
    // A failed attempt leaves no pad behind on the tee.
    EXPECT_EQ(get_int(tee.get(), "num-src-pads"), 0);
}

// Counts the buffers reaching a pad, for as long as the pad lives.
struct BufferCounter {
    explicit BufferCounter(GstElement* element) {
        const gst::PadPtr pad = gst::required_pad(element, "sink");
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER,
                          [](GstPad*, GstPadProbeInfo*, gpointer data) {
                              static_cast<std::atomic<int>*>(data)->fetch_add(1);
                              return GST_PAD_PROBE_OK;
                          },
                          count.get(), nullptr);
    }
    bool wait_for(int n) const {
        for (int i = 0; i < 1000 && *count < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return *count >= n;
    }
    std::shared_ptr<std::atomic<int>> count = std::make_shared<std::atomic<int>>(0);
};

TEST(Branch, AddedAndRemovedWhileThePipelineRuns) {
    LogCapture log;
    const gst::ElementPtr pipeline = test::make_pipeline();
    std::vector<gst::ElementPtr> chain;
    chain.push_back(test::make({"videotestsrc", std::nullopt, {{"is-live", true}}}));
    stamp_from_start(chain.back().get(), kStart);
    chain.push_back(test::make({"capsfilter", std::nullopt, {{"caps", gst::CapsPtr::take(gst_caps_from_string(kSmallVideo))}}}));
    chain.push_back(test::make({"tee", "tee_raw", {}}));
    ASSERT_FALSE(gst::add_elements(pipeline.get(), chain));
    ASSERT_FALSE(gst::link_chain(chain));
    GstElement* tee = chain.back().get();

    const gst::ElementPtr app = branch(sink::App{"RGB"}, 0, false, Codec::H264, true);
    ASSERT_FALSE(gst::add_element(pipeline.get(), app.get()));
    ASSERT_FALSE(link_tee_branch(tee, app.get()));
    const test::StopAtExit stop(pipeline.get());
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    const gst::ElementPtr appsink = test::by_name(pipeline.get(), "appsink");
    ASSERT_EQ(pull_all(appsink.get(), 2).size(), 2u);

    // A second branch joins the running tee and receives video.
    const gst::ElementPtr fake = branch(sink::Fake{}, 1, false, Codec::H264, true);
    const BufferCounter counter(test::find_factory(fake.get(), "fakesink").get());
    ASSERT_FALSE(gst::add_element(pipeline.get(), fake.get()));
    ASSERT_FALSE(link_tee_branch(tee, fake.get()));
    ASSERT_TRUE(gst_element_sync_state_with_parent(fake.get()));
    ASSERT_TRUE(counter.wait_for(3)) << "the added branch received nothing";
    EXPECT_EQ(get_int(tee, "num-src-pads"), 2);

    remove_branch(pipeline.get(), 1);
    EXPECT_FALSE(test::by_name(pipeline.get(), "branch_1"));
    EXPECT_EQ(GST_OBJECT_PARENT(fake.get()), nullptr);
    EXPECT_EQ(GST_STATE(fake.get()), GST_STATE_NULL);
    EXPECT_EQ(get_int(tee, "num-src-pads"), 1);

    // Removing what is gone does nothing.
    remove_branch(pipeline.get(), 1);
    remove_branch(pipeline.get(), 7);
    EXPECT_EQ(get_int(tee, "num-src-pads"), 1);

    // The first branch keeps receiving newer frames.
    const auto before = pull_all(appsink.get(), 1);
    const auto after = pull_all(appsink.get(), 3);
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline.get()));
    const gst::MessagePtr error = gst::MessagePtr::take(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    ASSERT_EQ(before.size(), 1u);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_GT(GST_BUFFER_PTS(gst_sample_get_buffer(after.back().get())),
              GST_BUFFER_PTS(gst_sample_get_buffer(before.back().get())));
    EXPECT_FALSE(error);
}

}  // namespace
}  // namespace ov::media
