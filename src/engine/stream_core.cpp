#include "engine/stream_core.hpp"

#include <gst/app/gstappsink.h>

#include "engine/pipeline_builder.hpp"
#include "gst/init.hpp"

namespace ov::engine {
namespace {

bool has_file_sink(const std::vector<SinkKind>& sinks) {
    for (const auto& sink : sinks) {
        if (std::holds_alternative<sink::File>(sink)) return true;
    }
    return false;
}

// An application sink holds end of stream back until the program has pulled
// every frame; at close nobody will, so let it go and drop what is queued.
void release_app_sinks(GstElement* pipeline) {
    for (const char* name : {"appsink", "appsink_encoded"}) {
        const gst::ElementPtr sink = gst::ElementPtr::take(gst_bin_get_by_name(GST_BIN(pipeline), name));
        if (!sink || !GST_IS_APP_SINK(sink.get())) continue;
        g_object_set(sink.get(), "wait-on-eos", FALSE, nullptr);
        while (gst::SamplePtr::take(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 0))) {
        }
    }
}

// Sends end-of-stream and waits until it has passed the sinks, so muxers
// finish their files.
void finish_files(GstElement* pipeline) {
    GstState state = GST_STATE_VOID_PENDING;
    gst_element_get_state(pipeline, &state, nullptr, 0);
    if (state == GST_STATE_NULL) return;
    release_app_sinks(pipeline);
    gst_element_send_event(pipeline, gst_event_new_eos());
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(pipeline));
    if (!bus) return;
    for (;;) {
        const gst::MessagePtr message = gst::MessagePtr::take(gst_bus_timed_pop(bus.get(), 5 * GST_SECOND));
        if (!message || GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_EOS) return;
    }
}

}  // namespace

StreamCore::StreamCore(SourceKind source, SinkSet sinks, StreamOptions options)
    : source_(std::move(source)), sinks_(std::move(sinks)), options_(std::move(options)) {}

bool StreamCore::is_open() {
    const std::lock_guard lock(running_mutex_);
    return static_cast<bool>(running_);
}

Result<StreamCore::Started, StreamError> StreamCore::start(const PipelineConfig& config) {
    if (auto rule = check_sink_set(sinks_)) return StreamError::config_error(*rule);
    if (auto error = gst::init()) return StreamError::gst_init_failed(*error);
    std::vector<SinkKind> sinks = sink_list(sinks_);
    auto built = build_pipeline(source_, sinks, config);
    if (!built) return built.take_error();

    auto stream = std::make_shared<RunningStream>();
    stream->source = source_;
    stream->sinks = std::move(sinks);
    stream->config = config;
    stream->cell->pipeline = std::move(built.value().pipeline);
    stream->encoded_bytes = std::move(built.value().encoded_bytes);
    auto thread = std::make_unique<SupervisionThread>(stream);
    return Started{std::move(stream), std::move(thread)};
}

std::optional<StreamCore::Started> StreamCore::install(Started started) {
    const std::lock_guard running_lock(running_mutex_);
    if (running_) return started;
    running_ = started.stream;
    const std::lock_guard thread_lock(thread_mutex_);
    if (thread_) thread_->detach();
    thread_ = std::move(started.thread);
    return std::nullopt;
}

void StreamCore::discard(Started started) {
    started.stream->stop->store(true);
    started.thread->join();
    stop(*started.stream);
}

RunningStreamPtr StreamCore::running() {
    const std::lock_guard lock(running_mutex_);
    return running_;
}

RunningStreamPtr StreamCore::take_running() {
    const std::lock_guard lock(running_mutex_);
    return std::exchange(running_, nullptr);
}

std::unique_ptr<SupervisionThread> StreamCore::take_thread() {
    const std::lock_guard lock(thread_mutex_);
    return std::exchange(thread_, nullptr);
}

bool StreamCore::thread_finished() {
    const std::lock_guard lock(thread_mutex_);
    return !thread_ || thread_->finished();
}

std::optional<StreamError> StreamCore::shut_down(RunningStream& stream) {
    const std::lock_guard lock(stream.cell->mutex);
    GstElement* pipeline = stream.cell->pipeline.get();
    if (pipeline == nullptr) return std::nullopt;
    if (has_file_sink(stream.sinks) && !stream.reached_eos.load()) finish_files(pipeline);
    if (gst_element_set_state(pipeline, GST_STATE_NULL) == GST_STATE_CHANGE_FAILURE) {
        return StreamError::state_change_failed();
    }
    return std::nullopt;
}

void StreamCore::stop(RunningStream& stream) {
    const std::lock_guard lock(stream.cell->mutex);
    if (stream.cell->pipeline) stop_pipeline(stream.cell->pipeline.get());
}

}  // namespace ov::engine
