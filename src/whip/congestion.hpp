#pragma once

// Congestion control of a WHIP publisher as pure decisions: the AIMD step on
// the receiver's reports, and the value an encoder's bitrate property takes.
// No GStreamer object is touched here, so every rule is tested on its own.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/enums.hpp"

namespace ov::whip {

using AimdClock = std::chrono::steady_clock;

struct AimdState {
    uint32_t target_kbps;
    uint32_t max_kbps;
    AimdClock::time_point last_decrease;
    uint32_t prev_pli = 0;

    // A loop that starts at `bitrate_kbps`, able to decrease at once.
    static AimdState start(uint32_t bitrate_kbps, AimdClock::time_point now);
};

// One statistics reply, reduced to what the rule reads. `outbound` is false
// when the reply had no "outbound-rtp" entry, and the rest is then ignored;
// the remote figures are 0 when it had no "remote-inbound-rtp" entry beside it.
struct SenderReport {
    bool outbound = false;
    uint32_t pli_count = 0;  // "pli-count" of the sender, a running total
    double loss_pct = 0.0;   // "fraction-lost" x 100
    double rtt_ms = 0.0;
    double jitter_ms = 0.0;
};

struct AimdStep {
    AimdState next;            // the state to keep; next.target_kbps is the new target
    uint32_t pli_delta = 0;
    double loss_pct = 0.0;
    double rtt_ms = 0.0;
    double jitter_ms = 0.0;
    std::optional<std::string> decrease_line;  // the "[AIMD] ..." line when the target went down
};

// Additive increase by 100 kbit/s up to the maximum, multiplicative decrease by
// 0.85 down to 250 kbit/s on loss (above 5 %, or above 2 % with new PLIs), at
// most once per 3 seconds.
AimdStep aimd_step(const AimdState& state, const SenderReport& report, AimdClock::time_point now);

// The "[WHIP] actual=..." line of one cycle.
std::string cycle_line(uint64_t actual_kbps, uint32_t target_kbps, const AimdStep& step);

// What the encoder's bitrate property is set to for a target.
struct EncoderSetting {
    const char* property;
    std::variant<uint32_t, int32_t> value;
};
EncoderSetting encoder_setting(Codec codec, std::string_view encoder_factory, uint32_t target_kbps);

}  // namespace ov::whip
