#include "whip/congestion.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

namespace ov::whip {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kIncreaseKbps = 100;
constexpr double kDecreaseFactor = 0.85;
constexpr uint32_t kFloorKbps = 250;
constexpr auto kHoldOff = 3s;
constexpr double kLossWithPliPct = 2.0;
constexpr double kLossPct = 5.0;

uint32_t decreased(uint32_t target_kbps) {
    const double scaled = std::clamp(static_cast<double>(target_kbps) * kDecreaseFactor, 0.0,
                                     static_cast<double>(std::numeric_limits<uint32_t>::max()));
    const auto truncated = static_cast<uint32_t>(scaled);
    return truncated <= kFloorKbps ? kFloorKbps : truncated;
}

}  // namespace

AimdState AimdState::start(uint32_t bitrate_kbps, AimdClock::time_point now) {
    // Ten seconds back lets the first decrease happen at once; a clock too
    // young for that starts the hold-off now instead.
    const auto earliest = AimdClock::time_point::min() + 10s;
    const auto last_decrease = now >= earliest ? now - 10s : now;
    return AimdState{bitrate_kbps, bitrate_kbps, last_decrease, 0};
}

AimdStep aimd_step(const AimdState& state, const SenderReport& report, AimdClock::time_point now) {
    AimdStep step{state, 0, 0.0, 0.0, 0.0, std::nullopt};
    if (report.outbound) {
        step.pli_delta = report.pli_count >= state.prev_pli ? report.pli_count - state.prev_pli : 0;
        step.next.prev_pli = report.pli_count;
        step.loss_pct = report.loss_pct;
        step.rtt_ms = report.rtt_ms;
        step.jitter_ms = report.jitter_ms;
    }
    const uint32_t old_kbps = state.target_kbps;
    const bool may_decrease = now - state.last_decrease >= kHoldOff;
    if (step.pli_delta > 0 && step.loss_pct > kLossWithPliPct && may_decrease) {
        step.next.target_kbps = decreased(old_kbps);
        step.next.last_decrease = now;
        step.decrease_line = fmt::format("[AIMD] pli+{} loss={:.1f}% \u2192 {} \u2192 {} kbps", step.pli_delta,
                                         step.loss_pct, old_kbps, step.next.target_kbps);
    } else if (step.loss_pct > kLossPct && may_decrease) {
        step.next.target_kbps = decreased(old_kbps);
        step.next.last_decrease = now;
        step.decrease_line =
            fmt::format("[AIMD] loss={:.1f}% \u2192 {} \u2192 {} kbps", step.loss_pct, old_kbps, step.next.target_kbps);
    } else if (step.loss_pct < kLossPct && step.pli_delta == 0) {
        // Computed in 64 bits: a maximum near the top of the range must not wrap.
        step.next.target_kbps =
            static_cast<uint32_t>(std::min<uint64_t>(state.max_kbps, uint64_t{old_kbps} + kIncreaseKbps));
    }
    return step;
}

std::string cycle_line(uint64_t actual_kbps, uint32_t target_kbps, const AimdStep& step) {
    return fmt::format("[WHIP] actual={}kbps target={}kbps rtt={:.1f}ms jitter={:.1f}ms loss={:.1f}% pli+{}",
                       actual_kbps, target_kbps, step.rtt_ms, step.jitter_ms, step.loss_pct, step.pli_delta);
}

EncoderSetting encoder_setting(Codec codec, std::string_view encoder_factory, uint32_t target_kbps) {
    switch (codec) {
        case Codec::AV1:
            return {"target-bitrate", static_cast<int32_t>(std::min<uint32_t>(
                                          target_kbps, static_cast<uint32_t>(std::numeric_limits<int32_t>::max())))};
        case Codec::H264:
            if (encoder_factory == "openh264enc") {
                // bit/s in 32 bits: anything above 4294967 kbit/s saturates.
                const uint64_t bits = uint64_t{target_kbps} * 1000;
                return {"bitrate", static_cast<uint32_t>(std::min<uint64_t>(bits, std::numeric_limits<uint32_t>::max()))};
            }
            return {"bitrate", target_kbps};
        case Codec::H265:
            break;
    }
    return {"bitrate", target_kbps};
}

}  // namespace ov::whip
