#pragma once

#include <optional>
#include <string>

namespace ov::gst {

// Initialises GStreamer (no command-line arguments); safe to call any number of
// times from any thread. Returns GStreamer's error text on failure.
std::optional<std::string> init();

bool factory_exists(const char* name);

}  // namespace ov::gst
