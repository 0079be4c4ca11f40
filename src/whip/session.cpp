#include "whip/session.hpp"

namespace ov::whip {

// Publishing is not part of this build yet: every negotiation reports so, and a
// stream with a WHIP sink fails to open with that text instead of pretending.
std::optional<std::string> negotiate_whip(GstElement*, const WhipTarget&, std::chrono::nanoseconds) {
    return std::string("WHIP publishing is not available in this build");
}

void start_stats_loop(GstElement*, GstElement*, std::shared_ptr<std::atomic<uint64_t>>, Codec, uint32_t) {}

}  // namespace ov::whip
