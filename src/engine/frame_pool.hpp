#pragma once

// Reusable memory for raw frames pushed by the program. Frames of a fixed
// size come back to the pool when the pipeline is done with them, so a
// stream of large frames does not make the allocator hand memory back to the
// system and fault it in again for every frame.

#include <gst/gst.h>

#include <cstdint>
#include <span>

#include "gst/handle.hpp"

namespace ov::engine {

class FramePool {
public:
    FramePool() = default;
    ~FramePool();
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    // A buffer holding a copy of `data`; from the pool when it serves this
    // size (the pool is set up for the first size it sees).
    gst::BufferPtr copy(std::span<const uint8_t> data);

private:
    gst::ObjectPtr<GstBufferPool> pool_;
    size_t size_ = 0;
};

}  // namespace ov::engine
