#pragma once

// The sink descriptor: one destination and its parameters, fixed at creation.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ov {
namespace sink {

struct Whip {
    std::string endpoint;
    std::optional<std::string> token;
    std::optional<std::string> stun_server;
};
struct UdpRtp {
    std::string host;
    uint16_t port = 0;
};
struct UdpMpegTs {
    std::string host;
    uint16_t port = 0;
};
struct File {
    std::string location;
};
struct Fake {};
struct Display {};
struct App {
    std::string format = "RGB";
};
struct AppEncoded {};

}  // namespace sink

using SinkKind = std::variant<sink::Whip, sink::UdpRtp, sink::UdpMpegTs, sink::File, sink::Fake,
                              sink::Display, sink::App, sink::AppEncoded>;

// What a stream was given: one sink, or a list that is empty or holds several.
using SinkSet = std::variant<SinkKind, std::vector<SinkKind>>;

// A list of exactly one sink stands for that sink alone.
SinkSet make_sink_set(std::vector<SinkKind> sinks);

// The sinks in order (a single sink becomes a list of one).
std::vector<SinkKind> sink_list(const SinkSet& set);

// The rules several sinks must satisfy together; the error is the message.
// A single sink is never checked.
std::optional<std::string> check_sink_set(const SinkSet& set);

}  // namespace ov
