#pragma once

// A stream's options flattened for the builders; a plain value.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/enums.hpp"
#include "core/options.hpp"
#include "core/resolution.hpp"

namespace ov {

struct ReconnectPolicy {
    std::optional<uint32_t> max_retries;
    std::chrono::nanoseconds retry_delay{0};
    std::chrono::nanoseconds disconnect_grace{0};
};

struct PipelineConfig {
    std::optional<uint32_t> fps;
    std::optional<ReconnectPolicy> reconnect;
    std::optional<Resolution> resolution;
    std::optional<Crop> crop;
    uint32_t bitrate = 4000;  // kbit/s
    uint32_t keyframe_interval = 30;
    bool overlay = false;
    bool transcode = false;
    bool congestion_control = true;
    Codec codec = Codec::H264;
    EncoderProfile encoder_profile = EncoderProfile::LowLatency;
    std::optional<FlipMode> flip;
};

// What flows between two parts of a pipeline.
enum class OutputKind { Raw, Encoded, Rtp };

inline std::string_view to_string(OutputKind kind) {
    switch (kind) {
        case OutputKind::Raw: return "Raw";
        case OutputKind::Encoded: return "Encoded";
        case OutputKind::Rtp: return "Rtp";
    }
    return "Raw";
}

}  // namespace ov
