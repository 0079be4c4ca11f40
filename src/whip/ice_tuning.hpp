#pragma once

// Settings of the libnice agent inside a webrtcbin that make a vanished peer
// noticeable: no UPnP, consent freshness, keep-alive checks, few STUN retries.

#include <gst/gst.h>

#include <optional>
#include <string>

namespace ov::whip {

// nullopt when the agent was tuned; an error text when the element has no
// libnice agent to tune (the negotiation then fails with it). Properties that
// only some libnice versions can change at run time are skipped with a log line.
std::optional<std::string> tune_ice_agent(GstElement* webrtcbin);

}  // namespace ov::whip
