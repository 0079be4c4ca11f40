// The congestion-control rule of a WHIP publisher, cycle by cycle, and the
// value each encoder family's bitrate property receives.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "whip/congestion.hpp"

namespace ov::whip {
namespace {

using namespace std::chrono_literals;

SenderReport loss(double loss_pct, uint32_t pli_count = 0) {
    return SenderReport{true, pli_count, loss_pct, 0.0, 0.0};
}

// One cycle: the report, the seconds since the loop started, and what the
// rule must make of it.
struct Cycle {
    SenderReport report;
    int at_s;
    uint32_t target_kbps;
    std::optional<std::string> line = std::nullopt;
};

void run_cycles(AimdState state, AimdClock::time_point start, const std::vector<Cycle>& cycles) {
    for (size_t i = 0; i < cycles.size(); ++i) {
        const Cycle& cycle = cycles[i];
        SCOPED_TRACE("cycle " + std::to_string(i) + " at " + std::to_string(cycle.at_s) + " s");
        const AimdStep step = aimd_step(state, cycle.report, start + std::chrono::seconds(cycle.at_s));
        EXPECT_EQ(step.next.target_kbps, cycle.target_kbps);
        EXPECT_EQ(step.decrease_line, cycle.line);
        state = step.next;
    }
}

TEST(Aimd, DecreasesAtOnceThenHoldsOffThreeSecondsThenClimbsBackToTheMaximum) {
    const auto start = AimdClock::now();
    std::vector<Cycle> cycles{
        {loss(0.0), 1, 4000},  // starts at the maximum and stays there
        {loss(7.5), 2, 3400, "[AIMD] loss=7.5% \u2192 4000 \u2192 3400 kbps"},
        {loss(7.5), 3, 3400},
        {loss(7.5), 4, 3400},
        {loss(7.5), 5, 2890, "[AIMD] loss=7.5% \u2192 3400 \u2192 2890 kbps"},
    };
    for (uint32_t kbps = 2990; kbps <= 3990; kbps += 100) cycles.push_back({loss(0.0), 6 + int(kbps - 2990) / 100, kbps});
    cycles.push_back({loss(0.0), 17, 4000});
    cycles.push_back({loss(0.0), 18, 4000});
    run_cycles(AimdState::start(4000, start), start, cycles);
}

TEST(Aimd, NewPlisWithLossAboveTwoPercentDecreaseSubjectToTheHoldOff) {
    const auto start = AimdClock::now();
    run_cycles(AimdState::start(4000, start), start,
               {
                   {loss(3.5, 2), 1, 3400, "[AIMD] pli+2 loss=3.5% \u2192 4000 \u2192 3400 kbps"},
                   {loss(3.0, 2), 2, 3500},  // no new PLI: 3 % is below 5 %, so it climbs
                   {loss(3.0, 3), 3, 3500},  // a new PLI, but only 2 s since the decrease
                   {loss(3.0, 4), 4, 2975, "[AIMD] pli+1 loss=3.0% \u2192 3500 \u2192 2975 kbps"},
                   {loss(2.0, 9), 8, 2975},  // 2.0 % is not above the threshold
               });
}

TEST(Aimd, SingleCycleCases) {
    struct Case {
        const char* name;
        uint32_t target_kbps;
        uint32_t prev_pli;
        SenderReport report;
        uint32_t expected_kbps;
        uint32_t expected_pli_delta;
        uint32_t expected_prev_pli;
    };
    const Case cases[] = {
        {"floor: 290 decreases to 250, not 246", 290, 0, loss(10.0), 250, 0, 0},
        {"floor: 250 stays 250", 250, 0, loss(10.0), 250, 0, 0},
        {"exactly 5.0 % neither decreases nor increases", 3000, 0, loss(5.0), 3000, 0, 0},
        {"just above 5.0 % decreases", 3000, 0, loss(5.1), 2550, 0, 0},
        {"3 % loss without new PLIs increases", 3000, 4, loss(3.0, 4), 3100, 0, 4},
        {"a pli-count that goes down is a new reference, not a PLI", 3000, 9, loss(0.0, 2), 3100, 0, 2},
        {"no outbound-rtp: nothing is seen, the target climbs, the PLI reference stays", 3000, 7,
         SenderReport{false, 0, 50.0, 0.0, 0.0}, 3100, 0, 7},
        {"new PLIs without loss hold the target", 3000, 1, loss(0.0, 3), 3000, 2, 3},
    };
    const auto now = AimdClock::now();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AimdState state = AimdState::start(4000, now);
        state.target_kbps = c.target_kbps;
        state.prev_pli = c.prev_pli;
        const AimdStep step = aimd_step(state, c.report, now);
        EXPECT_EQ(step.next.target_kbps, c.expected_kbps);
        EXPECT_EQ(step.pli_delta, c.expected_pli_delta);
        EXPECT_EQ(step.next.prev_pli, c.expected_prev_pli);
    }
}

TEST(Aimd, IncreaseNeverPassesTheMaximumEvenAtTheTopOfTheRange) {
    const auto now = AimdClock::now();
    AimdState state = AimdState::start(4294967295u, now);
    state.target_kbps = 4294967250u;
    EXPECT_EQ(aimd_step(state, loss(0.0), now).next.target_kbps, 4294967295u);
}

TEST(Aimd, CycleLineCarriesTheMeasuredFigures) {
    const auto now = AimdClock::now();
    const AimdStep step = aimd_step(AimdState::start(4000, now), SenderReport{true, 0, 0.0, 42.0, 3.14}, now);
    EXPECT_EQ(cycle_line(3980, step.next.target_kbps, step),
              "[WHIP] actual=3980kbps target=4000kbps rtt=42.0ms jitter=3.1ms loss=0.0% pli+0");
}

TEST(EncoderSetting, UnitsPerEncoderFamily) {
    struct Case {
        Codec codec;
        const char* factory;
        uint32_t target_kbps;
        const char* property;
        std::variant<uint32_t, int32_t> value;
    };
    const Case cases[] = {
        {Codec::H264, "openh264enc", 3400, "bitrate", 3400000u},
        {Codec::H264, "openh264enc", 4294967, "bitrate", 4294967000u},
        {Codec::H264, "openh264enc", 4294968, "bitrate", 4294967295u},
        {Codec::H264, "x264enc", 3400, "bitrate", 3400u},
        {Codec::H264, "openh264encoder", 3400, "bitrate", 3400u},  // the factory name is compared exactly
        {Codec::H265, "x265enc", 3400, "bitrate", 3400u},
        {Codec::AV1, "rav1enc", 3400, "target-bitrate", int32_t{3400}},
        {Codec::AV1, "rav1enc", 4294967295u, "target-bitrate", int32_t{2147483647}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.factory) + " " + std::to_string(c.target_kbps));
        const EncoderSetting setting = encoder_setting(c.codec, c.factory, c.target_kbps);
        EXPECT_STREQ(setting.property, c.property);
        EXPECT_EQ(setting.value, c.value);
    }
}

}  // namespace
}  // namespace ov::whip
