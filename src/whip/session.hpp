#pragma once

// Publishing a webrtcbin to a WHIP endpoint, and the statistics loop that
// adapts the encoder bitrate while it publishes.

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/enums.hpp"

namespace ov::whip {

struct WhipTarget {
    std::string endpoint;
    std::optional<std::string> token;
    std::optional<std::string> stun_server;
};

// Blocks until the connection is up; nullopt on success, else the error text.
std::optional<std::string> negotiate_whip(GstElement* webrtcbin, const WhipTarget& target,
                                          std::chrono::nanoseconds disconnect_grace);

// Starts the detached statistics loop of a publishing pipeline.
void start_stats_loop(GstElement* pipeline, GstElement* webrtcbin, std::shared_ptr<std::atomic<uint64_t>> encoded_bytes,
                      Codec codec, uint32_t bitrate_kbps);

}  // namespace ov::whip
