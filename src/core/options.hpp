#pragma once

// The option records a program fills in; plain values copied into each stream.

#include <cstdint>
#include <optional>
#include <string>

#include "core/enums.hpp"

namespace ov {

struct Crop {
    uint32_t top = 0;
    uint32_t bottom = 0;
    uint32_t left = 0;
    uint32_t right = 0;
};

struct ReconnectOptions {
    double retry_delay_s = 2.0;
    std::optional<uint32_t> max_retries;
    double disconnect_grace_s = 2.0;
};

struct StreamOptions {
    Codec codec = Codec::H264;
    uint32_t bitrate = 4000;  // kbit/s
    std::optional<std::string> resolution;  // parsed when a stream opens
    bool overlay = false;
    std::optional<uint32_t> fps;
    std::optional<FlipMode> flip;
    std::optional<Crop> crop;
    std::optional<ReconnectOptions> reconnect;
    bool transcode = false;
    bool congestion_control = true;
    uint32_t keyframe_interval = 30;
    EncoderProfile encoder_profile = EncoderProfile::LowLatency;
};

}  // namespace ov
