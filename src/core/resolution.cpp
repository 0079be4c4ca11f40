#include "core/resolution.hpp"

#include <fmt/format.h>

#include <optional>

#include "core/utf8.hpp"

namespace ov {
namespace {

// An optional "+", then ASCII digits only; leading zeros allowed.
std::optional<uint32_t> parse_u32(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

std::string describe(const Resolution& resolution) {
    return fmt::format("Resolution {{ width: {}, height: {} }}", resolution.width, resolution.height);
}

Result<Resolution, std::string> parse_resolution(std::string_view input) {
    const std::string_view trimmed = trim_unicode_whitespace(input);
    auto separator = trimmed.find('x');
    if (separator == std::string_view::npos) separator = trimmed.find('X');
    if (separator == std::string_view::npos) {
        return fmt::format("Invalid resolution '{}'. Expected format WIDTHxHEIGHT (e.g., 1280x720).", input);
    }
    const auto width = parse_u32(trimmed.substr(0, separator));
    if (!width) return fmt::format("Invalid width in resolution '{}'", input);
    const auto height = parse_u32(trimmed.substr(separator + 1));
    if (!height) return fmt::format("Invalid height in resolution '{}'", input);
    if (*width == 0 || *height == 0) {
        return fmt::format("Invalid resolution '{}'. Width and height must be positive.", input);
    }
    return Resolution{*width, *height};
}

}  // namespace ov
