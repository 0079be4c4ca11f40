#pragma once

// Small UTF-8 helpers for the texts that cross the Python boundary (always
// valid UTF-8, since CPython produced them).

#include <cstdint>
#include <string>
#include <string_view>

namespace ov {

// Decodes the code point at `pos` and advances `pos` past it. Invalid bytes
// decode as U+FFFD, one byte at a time.
char32_t next_code_point(std::string_view text, size_t& pos);

bool is_unicode_whitespace(char32_t cp);

// Strips every character with the Unicode White_Space property from both ends.
std::string_view trim_unicode_whitespace(std::string_view text);

// The text in double quotes with backslash escapes, as the engine prints texts.
std::string quote_text(std::string_view text);

}  // namespace ov
