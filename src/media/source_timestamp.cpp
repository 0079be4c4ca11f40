#include "media/source_timestamp.hpp"

#include <chrono>

namespace ov::media {

GstCaps* source_timestamp_caps() {
    static GstCaps* const caps = [] {
        GstCaps* made = gst_caps_new_empty_simple("timestamp/x-ntp");
        // Shared by every probe for the life of the process; leak checkers must not report it.
        GST_MINI_OBJECT_FLAG_SET(made, GST_MINI_OBJECT_FLAG_MAY_BE_LEAKED);
        return made;
    }();
    return caps;
}

std::optional<uint64_t> source_timestamp(GstBuffer* buffer) {
    gpointer state = nullptr;
    while (GstMeta* meta = gst_buffer_iterate_meta_filtered(buffer, &state, GST_REFERENCE_TIMESTAMP_META_API_TYPE)) {
        const auto* reference = reinterpret_cast<GstReferenceTimestampMeta*>(meta);
        // A foreign element may attach an NTP meta without a time; it says nothing.
        if (reference->reference == nullptr || !GST_CLOCK_TIME_IS_VALID(reference->timestamp)) continue;
        if (gst_caps_can_intersect(reference->reference, source_timestamp_caps())) return reference->timestamp;
    }
    return std::nullopt;
}

void add_source_timestamp(GstBuffer* buffer, uint64_t timestamp_ns) {
    // GStreamer reads the all-ones value as "no time": the latest valid time stands in.
    const uint64_t value = timestamp_ns == GST_CLOCK_TIME_NONE ? GST_CLOCK_TIME_NONE - 1 : timestamp_ns;
    gst_buffer_add_reference_timestamp_meta(buffer, source_timestamp_caps(), value, GST_CLOCK_TIME_NONE);
}

uint64_t wall_clock_now_ns() {
    const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return since_epoch.count() < 0 ? 0 : static_cast<uint64_t>(since_epoch.count());
}

}  // namespace ov::media
