#pragma once

// Frame and EncodedFrame: what the receive methods hand to Python. Read-only,
// made only by the module; `data` is the same bytes object on every access.

#include <cstdint>
#include <optional>
#include <string>

#include "python/classes.hpp"

namespace ov::py {

struct FrameValue {
    PyRef data;  // bytes
    uint32_t width = 0;
    uint32_t height = 0;
    std::string format;
    std::optional<uint64_t> timestamp_ns;
};

struct EncodedFrameValue {
    PyRef data;  // bytes
    std::optional<uint64_t> timestamp_ns;
};

inline PyObject* make_frame(FrameValue value) { return make_instance(ClassId::Frame, std::move(value)); }
inline PyObject* make_encoded_frame(EncodedFrameValue value) {
    return make_instance(ClassId::EncodedFrame, std::move(value));
}

}  // namespace ov::py
