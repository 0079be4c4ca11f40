#include "core/config_from_options.hpp"

#include <cmath>

#include "core/errors.hpp"

namespace ov {

std::chrono::nanoseconds seconds_to_duration(double seconds) {
    if (seconds < 0) throw InternalFault("cannot convert float seconds to Duration: value is negative");
    // Durations count whole seconds in 64 bits.
    if (std::isnan(seconds) || seconds >= 18446744073709551616.0) {
        throw InternalFault("cannot convert float seconds to Duration: value is either too big or NaN");
    }
    const double nanos = std::floor(seconds * 1e9);
    // Beyond the signed range of std::chrono::nanoseconds the value saturates.
    if (nanos >= 9223372036854775807.0) return std::chrono::nanoseconds::max();
    return std::chrono::nanoseconds(static_cast<int64_t>(nanos));
}

Result<PipelineConfig, std::string> make_pipeline_config(const StreamOptions& options) {
    PipelineConfig config;
    if (options.resolution) {
        auto parsed = parse_resolution(*options.resolution);
        if (!parsed) return parsed.error();
        config.resolution = parsed.value();
    }
    if (options.reconnect) {
        config.reconnect = ReconnectPolicy{options.reconnect->max_retries,
                                           seconds_to_duration(options.reconnect->retry_delay_s),
                                           seconds_to_duration(options.reconnect->disconnect_grace_s)};
    }
    config.fps = options.fps;
    config.crop = options.crop;
    config.bitrate = options.bitrate;
    config.keyframe_interval = options.keyframe_interval;
    config.overlay = options.overlay;
    config.transcode = options.transcode;
    config.congestion_control = options.congestion_control;
    config.codec = options.codec;
    config.encoder_profile = options.encoder_profile;
    config.flip = options.flip;
    return config;
}

}  // namespace ov
