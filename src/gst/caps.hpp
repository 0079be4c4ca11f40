#pragma once

// Caps from a media type and typed fields, always exactly one structure.

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "gst/handle.hpp"

namespace ov::gst {

struct Fraction {
    int32_t numerator;
    int32_t denominator;
};

using TextList = std::vector<std::string>;  // a GStreamer value list of texts
using CapsValue = std::variant<std::string, int32_t, bool, Fraction, TextList>;

struct CapsField {
    std::string name;
    CapsValue value;
};

CapsPtr make_caps(const std::string& media_type, const std::vector<CapsField>& fields = {});

}  // namespace ov::gst
