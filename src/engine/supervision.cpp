#include "engine/supervision.hpp"

#include <chrono>

#include "core/log.hpp"
#include "engine/bus_event.hpp"
#include "engine/reconnection.hpp"
#include "media/sink_bins.hpp"

namespace ov::engine {
namespace {

BusEvent poll_bus(PipelineCell& cell) {
    const std::lock_guard lock(cell.mutex);
    if (!cell.pipeline) return bus::Nothing{};
    const gst::BusPtr bus = gst::BusPtr::take(gst_element_get_bus(cell.pipeline.get()));
    if (!bus) return bus::Nothing{};
    const gst::MessagePtr message = gst::MessagePtr::take(gst_bus_pop(bus.get()));
    if (!message) return bus::Nothing{};
    return classify(message.get(), cell.pipeline.get());
}

enum class Next { KeepPolling, EndWithSuccess };

// A whole-pipeline failure: without a policy it ends the stream.
std::optional<StreamError> handle_failure(RunningStream& stream, std::string text) {
    StreamError failure = StreamError::pipeline_failed(std::move(text));
    if (!stream.config.reconnect) return failure;
    OV_ERROR(log::kStream, "[stream] {}", failure.text());
    stream.reconnecting.store(true);
    auto error = reconnect_pipeline(stream, *stream.config.reconnect);
    stream.reconnecting.store(false);
    return error;
}

}  // namespace

std::optional<StreamError> supervise(const RunningStreamPtr& stream) {
    using namespace std::chrono_literals;
    if (stream->stop->load()) return std::nullopt;
    for (;;) {
        std::this_thread::sleep_for(10ms);
        const BusEvent event = poll_bus(*stream->cell);
        if (std::holds_alternative<bus::EndOfStream>(event)) {
            stream->reached_eos.store(true);
            return std::nullopt;
        }
        if (std::holds_alternative<bus::SourceTimeout>(event)) return std::nullopt;
        if (const auto* warning = std::get_if<bus::Warning>(&event)) {
            OV_WARN(log::kStream, "{}", warning->text);
        } else if (const auto* branch = std::get_if<bus::BranchError>(&event);
                   branch != nullptr && stream->sinks.size() > 1 && branch->index < stream->sinks.size()) {
            OV_WARN(log::kStream, "[stream] branch {} error, removing: {}", branch->index, branch->text);
            {
                const std::lock_guard lock(stream->cell->mutex);
                media::remove_branch(stream->cell->pipeline.get(), branch->index);
            }
            start_branch_rebuild(stream, branch->index);
        } else if (branch != nullptr) {
            // One sink, or an index that names no sink (an element of a custom
            // source named like a branch): the whole pipeline failed.
            if (auto error = handle_failure(*stream, branch->text)) return error;
        } else if (const auto* error_event = std::get_if<bus::Error>(&event)) {
            if (auto error = handle_failure(*stream, error_event->text)) return error;
        }
        if (stream->stop->load()) return std::nullopt;
    }
}

SupervisionThread::SupervisionThread(RunningStreamPtr stream) : state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_, stream = std::move(stream)]() mutable {
        try {
            state->outcome.error = supervise(stream);
        } catch (const std::exception& e) {
            OV_ERROR(log::kStream, "[stream] supervision failed: {}", e.what());
            state->outcome.panicked = true;
        }
        stream.reset();
        state->finished.store(true);
    });
}

SupervisionThread::~SupervisionThread() {
    if (thread_.joinable()) thread_.detach();
}

SupervisionOutcome SupervisionThread::join() {
    if (thread_.joinable()) thread_.join();
    return state_->outcome;
}

void SupervisionThread::detach() {
    if (thread_.joinable()) thread_.detach();
}

}  // namespace ov::engine
