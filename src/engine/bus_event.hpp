#pragma once

// What one bus message means to a stream. Shared by the supervision thread and
// the push methods, the bus's two readers.

#include <gst/gst.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <string>
#include <variant>

namespace ov::engine {

namespace bus {
struct Nothing {};
struct Error {
    std::string text;
};
struct BranchError {
    size_t index;
    std::string text;
};
struct Playing {};
struct EndOfStream {};
struct Warning {
    std::string text;
};
struct SourceTimeout {};
}  // namespace bus

using BusEvent = std::variant<bus::Nothing, bus::Error, bus::BranchError, bus::Playing, bus::EndOfStream,
                              bus::Warning, bus::SourceTimeout>;

BusEvent classify(GstMessage* message, GstElement* pipeline);

// "[<source>] <message>\n  debug: <debug>" of an ERROR or WARNING message.
std::string gst_error_text(GstMessage* message);

// The branch index in a name "branch_<n>", if it is one.
std::optional<size_t> branch_index(std::string_view name);

}  // namespace ov::engine
