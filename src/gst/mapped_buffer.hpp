#pragma once

// A buffer mapped for reading for the lifetime of the object.

#include <gst/gst.h>

#include <cstdint>
#include <span>

namespace ov::gst {

class MappedBuffer {
public:
    explicit MappedBuffer(GstBuffer* buffer) : buffer_(buffer) { mapped_ = gst_buffer_map(buffer, &info_, GST_MAP_READ); }
    ~MappedBuffer() {
        if (mapped_) gst_buffer_unmap(buffer_, &info_);
    }
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;

    bool ok() const { return mapped_; }
    std::span<const uint8_t> bytes() const { return {info_.data, info_.size}; }

private:
    GstBuffer* buffer_;
    GstMapInfo info_{};
    bool mapped_ = false;
};

}  // namespace ov::gst
