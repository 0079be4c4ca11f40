#include "core/utf8.hpp"

#include <fmt/format.h>

namespace ov {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Characters printed as \u{..}: controls, invisible separators and formatting
// characters, private use and non-characters. Everything else is printable.
bool is_printable(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
    if (cp == 0xA0 || cp == 0xAD || cp == 0x34F || cp == 0x61C || cp == 0x1680 || cp == 0x180E) return false;
    if (cp >= 0x2000 && cp <= 0x200F) return false;
    if (cp >= 0x2028 && cp <= 0x202F) return false;
    if (cp >= 0x205F && cp <= 0x206F) return false;
    if (cp == 0x3000 || cp == 0xFEFF) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    if (cp >= 0xE000 && cp <= 0xF8FF) return false;
    if (cp >= 0xFFF0 && cp <= 0xFFFB) return false;
    if ((cp & 0xFFFE) == 0xFFFE) return false;
    if (cp >= 0xF0000) return false;
    return true;
}

}  // namespace

char32_t next_code_point(std::string_view text, size_t& pos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    size_t length = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
        pos += 1;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        cp = lead & 0x07;
    } else {
        pos += 1;
        return kReplacement;
    }
    if (pos + length > text.size()) {
        pos += 1;
        return kReplacement;
    }
    for (size_t i = 1; i < length; ++i) {
        const unsigned char continuation = byte(pos + i);
        if ((continuation & 0xC0) != 0x80) {
            pos += 1;
            return kReplacement;
        }
        cp = (cp << 6) | (continuation & 0x3F);
    }
    pos += length;
    return cp;
}

bool is_unicode_whitespace(char32_t cp) {
    switch (cp) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

std::string_view trim_unicode_whitespace(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size()) {
        size_t next = begin;
        if (!is_unicode_whitespace(next_code_point(text, next))) break;
        begin = next;
    }
    // Scan forward, remembering where the last non-white-space character ended.
    size_t end = begin;
    for (size_t pos = begin; pos < text.size();) {
        const char32_t cp = next_code_point(text, pos);
        if (!is_unicode_whitespace(cp)) end = pos;
    }
    return text.substr(begin, end - begin);
}

std::string quote_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (size_t pos = 0; pos < text.size();) {
        const size_t start = pos;
        const char32_t cp = next_code_point(text, pos);
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (is_printable(cp)) {
                    out.append(text.substr(start, pos - start));
                } else {
                    out += fmt::format("\\u{{{:x}}}", static_cast<uint32_t>(cp));
                }
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace ov
