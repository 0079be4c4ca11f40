#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace ov {

struct Resolution {
    uint32_t width = 0;
    uint32_t height = 0;
    bool operator==(const Resolution&) const = default;
};

// "Resolution { width: 1280, height: 720 }"
std::string describe(const Resolution& resolution);

// Parses "WIDTHxHEIGHT" (surrounding Unicode white space allowed, lower-case x
// preferred over upper-case X). The error is the message shown to the user.
Result<Resolution, std::string> parse_resolution(std::string_view input);

}  // namespace ov
