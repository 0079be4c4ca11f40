#include "engine/frame_pool.hpp"

#include <cstring>


namespace ov::engine {
namespace {

gst::ObjectPtr<GstBufferPool> make_pool(size_t size) {
    auto pool = gst::ObjectPtr<GstBufferPool>::ref(gst_buffer_pool_new());
    GstStructure* config = gst_buffer_pool_get_config(pool.get());
    gst_buffer_pool_config_set_params(config, nullptr, static_cast<guint>(size), 2, 0);
    if (!gst_buffer_pool_set_config(pool.get(), config) || !gst_buffer_pool_set_active(pool.get(), TRUE)) return {};
    return pool;
}

}  // namespace

FramePool::~FramePool() {
    if (pool_) gst_buffer_pool_set_active(pool_.get(), FALSE);
}

gst::BufferPtr FramePool::copy(std::span<const uint8_t> data) {
    if (data.empty()) return gst::BufferPtr::take(gst_buffer_new());
    if (!pool_ && size_ == 0 && data.size() <= UINT32_MAX) {
        size_ = data.size();
        pool_ = make_pool(size_);
    }
    if (pool_ && data.size() == size_) {
        GstBuffer* raw = nullptr;
        if (gst_buffer_pool_acquire_buffer(pool_.get(), &raw, nullptr) == GST_FLOW_OK) {
            gst::BufferPtr buffer = gst::BufferPtr::take(raw);
            GstMapInfo map;
            if (gst_buffer_map(buffer.get(), &map, GST_MAP_WRITE)) {
                std::memcpy(map.data, data.data(), data.size());
                gst_buffer_unmap(buffer.get(), &map);
                return buffer;
            }
        }
    }
    return gst::BufferPtr::take(gst_buffer_new_memdup(data.data(), data.size()));
}

}  // namespace ov::engine
