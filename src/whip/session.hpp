#pragma once

// Publishing a webrtcbin to a WHIP endpoint, and the statistics loop that
// adapts the encoder bitrate while it publishes. These two calls are all the
// stream engine sees of WHIP.

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

// Offers the element's media to the endpoint in one POST (non-trickle: every
// candidate is in the offer), applies the answer and blocks until the peer
// connection is up. nullopt on success, else the error text. Once connected,
// the element reports a lost connection as an error message on the bus; a
// Disconnected state is tolerated for `disconnect_grace`.
std::optional<std::string> negotiate_whip(GstElement* webrtcbin, const WhipTarget& target,
                                          std::chrono::nanoseconds disconnect_grace);

// Starts the detached statistics loop of a publishing pipeline: once a second
// it reads the receiver's reports and moves the encoder's bitrate between 250
// kbit/s and `bitrate_kbps`. It ends when the pipeline is gone or below
// PAUSED, or when `webrtcbin` has left it.
void start_stats_loop(GstElement* pipeline, GstElement* webrtcbin, std::shared_ptr<std::atomic<uint64_t>> encoded_bytes,
                      Codec codec, uint32_t bitrate_kbps);

}  // namespace ov::whip
