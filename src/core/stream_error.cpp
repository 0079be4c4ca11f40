#include "core/stream_error.hpp"

namespace ov {

std::string StreamError::text() const {
    switch (kind) {
        case Kind::GstInitFailed: return "GStreamer init failed: " + detail;
        case Kind::BuildFailed: return "pipeline build failed: " + detail;
        case Kind::StateChangeFailed:
            return "pipeline failed to reach Playing state (no error details available — check GStreamer debug logs)";
        case Kind::WhipFailed: return "WHIP negotiation failed: " + detail;
        case Kind::ConfigError: return "configuration error: " + detail;
        case Kind::PipelineFailed: return "pipeline error: " + detail;
    }
    return detail;
}

}  // namespace ov
