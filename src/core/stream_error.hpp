#pragma once

// The one error value of the stream engine; its text is what Python sees.

#include <string>

#include "core/errors.hpp"

namespace ov {

struct StreamError {
    enum class Kind { GstInitFailed, BuildFailed, StateChangeFailed, WhipFailed, ConfigError, PipelineFailed };

    Kind kind;
    std::string detail;  // the carried text (empty for StateChangeFailed)

    static StreamError gst_init_failed(std::string cause) { return {Kind::GstInitFailed, std::move(cause)}; }
    static StreamError build_failed(const BuildError& error) { return {Kind::BuildFailed, error.message}; }
    static StreamError state_change_failed() { return {Kind::StateChangeFailed, {}}; }
    static StreamError whip_failed(std::string text) { return {Kind::WhipFailed, std::move(text)}; }
    static StreamError config_error(std::string text) { return {Kind::ConfigError, std::move(text)}; }
    static StreamError pipeline_failed(std::string text) { return {Kind::PipelineFailed, std::move(text)}; }

    std::string text() const;
};

}  // namespace ov
