#pragma once

// Watches a negotiated webrtcbin: resolves the negotiation's wait for the
// first connection, asks for a key frame whenever the connection comes up, and
// reports a lost connection once, as an error message posted from the element.

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "whip/oneshot.hpp"

namespace ov::whip {

// What the first connection attempt came to: nullopt when it reached
// Connected, else "peer connection Failed" or "peer connection Closed".
struct FirstConnection {
    std::optional<std::string> error;
};

// Shared by the two state handlers and the disconnect watchers of one element.
struct ConnectionMonitor {
    explicit ConnectionMonitor(std::chrono::nanoseconds grace_period) : grace(grace_period) {}

    std::atomic<bool> connected{false};  // reached Connected at least once
    std::atomic<bool> lost{false};       // the one loss report has been posted
    // Bumped by every state change that matters; a disconnect watcher acts only
    // if it still reads the value it was started for.
    std::atomic<uint64_t> generation{0};
    const std::chrono::nanoseconds grace;
};

// Connects the "notify::connection-state" handler, then the
// "notify::ice-connection-state" handler. Both stay connected for the
// element's life and own what they captured.
void watch_connection(GstElement* webrtcbin, std::chrono::nanoseconds grace,
                      OneShotSender<FirstConnection> first_connection);

// The printed names of the two state enumerations ("Connected",
// "__Unknown(9)").
std::string peer_state_name(int state);
std::string ice_state_name(int state);

}  // namespace ov::whip
