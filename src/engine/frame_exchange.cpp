#include "engine/frame_exchange.hpp"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include "core/errors.hpp"
#include "engine/bus_event.hpp"
#include "media/source_timestamp.hpp"

namespace ov::engine {
namespace {

gst::ElementPtr find(GstElement* pipeline, const char* name) {
    if (pipeline == nullptr) return {};
    return gst::ElementPtr::take(gst_bin_get_by_name(GST_BIN(pipeline), name));
}

bool error_waiting(PipelineCell& cell) {
    const std::lock_guard lock(cell.mutex);
    if (!cell.pipeline) return false;
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(cell.pipeline.get()));
    if (!bus) return false;
    const gst::MessagePtr message = gst::MessagePtr::take(gst_bus_pop(bus.get()));
    if (!message) return false;
    const BusEvent event = classify(message.get(), cell.pipeline.get());
    return std::holds_alternative<bus::Error>(event) || std::holds_alternative<bus::BranchError>(event);
}

// The application source stamps buffers itself unless the program asked to
// give every raw frame its own time (App with auto_timestamp off).
bool source_stamps_itself(const SourceKind& source) {
    const auto* app = std::get_if<source::App>(&source);
    return app == nullptr || app->auto_timestamp;
}

void apply_timestamps(GstBuffer* buffer, const SourceKind& source, std::optional<uint64_t> timestamp_ns,
                      PushKind kind) {
    if (timestamp_ns && *timestamp_ns == GST_CLOCK_TIME_NONE) {
        throw InternalFault("timestamp_ns 18446744073709551615 is not a valid time");
    }
    if (kind == PushKind::Frame && source_stamps_itself(source)) {
        if (timestamp_ns) media::add_source_timestamp(buffer, *timestamp_ns);
        return;
    }
    const uint64_t value = timestamp_ns.value_or(media::wall_clock_now_ns());
    GST_BUFFER_PTS(buffer) = value;
    media::add_source_timestamp(buffer, value);
}

// The size of one raw frame of an App source, when its format is known.
std::optional<size_t> raw_frame_size(const SourceKind& source) {
    const auto* app = std::get_if<source::App>(&source);
    if (app == nullptr) return std::nullopt;
    const GstVideoFormat format = gst_video_format_from_string(app->format.c_str());
    GstVideoInfo info;
    if (format == GST_VIDEO_FORMAT_UNKNOWN || !gst_video_info_set_format(&info, format, app->width, app->height)) {
        return std::nullopt;
    }
    return GST_VIDEO_INFO_SIZE(&info);
}

}  // namespace

PushOutcome push(RunningStream& stream, std::span<const uint8_t> data, std::optional<uint64_t> timestamp_ns,
                 PushKind kind) {
    // A raw frame shorter than its caps say would be read past its end
    // downstream: refuse it. Extra bytes after the frame are cut off.
    if (kind == PushKind::Frame) {
        if (const auto frame_size = raw_frame_size(stream.source)) {
            if (data.size() < *frame_size) return PushOutcome::Refused;
            data = data.first(*frame_size);
        }
    }
    // Raw frames have one size and come from the pool; encoded units vary.
    // An empty push is a valid (if useless) buffer.
    gst::BufferPtr buffer = kind == PushKind::Frame ? stream.frame_pool.copy(data)
                            : data.empty()          ? gst::BufferPtr::take(gst_buffer_new())
                                                    : gst::BufferPtr::take(gst_buffer_new_memdup(data.data(), data.size()));
    if (error_waiting(*stream.cell)) return PushOutcome::ErrorOnBus;

    const std::lock_guard lock(stream.cell->mutex);
    const gst::ElementPtr appsrc = find(stream.cell->pipeline.get(), "appsrc");
    if (!appsrc || !GST_IS_APP_SRC(appsrc.get())) return PushOutcome::Refused;
    apply_timestamps(buffer.get(), stream.source, timestamp_ns, kind);
    const GstFlowReturn flow = gst_app_src_push_buffer(GST_APP_SRC(appsrc.get()), buffer.release());
    return flow >= GST_FLOW_OK ? PushOutcome::Accepted : PushOutcome::Refused;
}

gst::SamplePtr pull_sample(RunningStream& stream, const char* sink_name, uint64_t timeout_ns) {
    gst::ElementPtr appsink;
    {
        const std::lock_guard lock(stream.cell->mutex);
        appsink = find(stream.cell->pipeline.get(), sink_name);
    }
    if (!appsink || !GST_IS_APP_SINK(appsink.get())) return {};
    return gst::SamplePtr::take(gst_app_sink_try_pull_sample(GST_APP_SINK(appsink.get()), timeout_ns));
}

std::optional<RawFrameInfo> raw_frame_info(GstSample* sample) {
    GstCaps* caps = gst_sample_get_caps(sample);
    GstVideoInfo info;
    if (caps == nullptr || !gst_video_info_from_caps(&info, caps)) return std::nullopt;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (buffer == nullptr) return std::nullopt;
    return RawFrameInfo{buffer, static_cast<uint32_t>(GST_VIDEO_INFO_WIDTH(&info)),
                        static_cast<uint32_t>(GST_VIDEO_INFO_HEIGHT(&info)),
                        gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info)), media::source_timestamp(buffer)};
}

}  // namespace ov::engine
