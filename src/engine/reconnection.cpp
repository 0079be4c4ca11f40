#include "engine/reconnection.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <thread>

#include "core/log.hpp"
#include "engine/pipeline_builder.hpp"
#include "engine/pipeline_tail.hpp"
#include "gst/element.hpp"
#include "media/sink_bins.hpp"
#include "whip/session.hpp"

namespace ov::engine {
namespace {

using namespace std::chrono_literals;

double seconds(std::chrono::nanoseconds duration) { return std::chrono::duration<double>(duration).count(); }

bool attempts_left(const ReconnectPolicy& policy, uint32_t next_attempt) {
    return !policy.max_retries || next_attempt <= *policy.max_retries;
}

// Everything one branch rebuild needs; the thread never touches the Stream.
struct BranchRebuild {
    SinkKind sink;
    size_t index;
    bool live;
    ReconnectPolicy policy;
    PipelineConfig config;
    StopFlag stop;
    std::shared_ptr<PipelineCell> cell;
    ByteCounter encoded_bytes;
    std::shared_ptr<std::mutex> rebuilding_mutex;
    std::shared_ptr<std::set<size_t>> rebuilding;
};

bool wants_raw_tee(const SinkKind& sink) {
    return std::holds_alternative<sink::Fake>(sink) || std::holds_alternative<sink::Display>(sink) ||
           std::holds_alternative<sink::App>(sink);
}

gst::ElementPtr find(GstElement* pipeline, const std::string& name) {
    return gst::ElementPtr::take(gst_bin_get_by_name(GST_BIN(pipeline), name.c_str()));
}

// One attempt; on failure the error, with the cell unlocked.
std::optional<StreamError> rebuild_branch_once(const BranchRebuild& job) {
    std::unique_lock lock(job.cell->mutex);
    GstElement* pipeline = job.cell->pipeline.get();
    const bool has_raw = static_cast<bool>(find(pipeline, "tee_raw"));
    const bool has_enc = static_cast<bool>(find(pipeline, "tee_enc"));
    const char* tee_name = wants_raw_tee(job.sink) ? (has_raw ? "tee_raw" : "tee_enc") : (has_enc ? "tee_enc" : "tee_raw");
    const gst::ElementPtr tee = find(pipeline, tee_name);
    if (!tee) return StreamError::config_error(fmt::format("tee '{}' not found in pipeline", tee_name));
    auto branch = media::build_branch(job.sink, job.index, std::string_view(tee_name) != "tee_raw", job.config.codec,
                                      job.live);
    if (!branch) return StreamError::config_error(fmt::format("failed to build branch: {}", branch.error().message));
    if (auto error = gst::add_element(pipeline, branch.value().get())) {
        return StreamError::config_error(fmt::format("failed to add branch to pipeline: {}", error->message));
    }
    if (auto error = media::link_tee_branch(tee.get(), branch.value().get())) {
        return StreamError::config_error(fmt::format("failed to link branch to tee: {}", error->message));
    }
    if (!gst_element_sync_state_with_parent(branch.value().get())) {
        return StreamError::config_error("failed to sync branch state");
    }
    const auto* whip_sink = std::get_if<sink::Whip>(&job.sink);
    if (whip_sink == nullptr) return std::nullopt;

    const gst::ElementPtr pipeline_ref = gst::ElementPtr::ref(pipeline);
    lock.unlock();  // the negotiation takes seconds; pushes and supervision go on meanwhile
    if (auto error = negotiate_whip_sink(pipeline_ref.get(), *whip_sink, job.index, job.config,
                                         "webrtcbin '{}' not found after rebuild")) {
        return error;
    }
    if (job.config.congestion_control) {
        const std::lock_guard relock(job.cell->mutex);
        const gst::ElementPtr webrtcbin = find(job.cell->pipeline.get(), fmt::format("webrtcbin_{}", job.index));
        if (webrtcbin) {
            whip::start_stats_loop(job.cell->pipeline.get(), webrtcbin.get(), job.encoded_bytes, job.config.codec,
                                   job.config.bitrate);
        }
    }
    return std::nullopt;
}

void run_branch_rebuild(const BranchRebuild& job) {
    for (uint32_t attempt = 1; !job.policy.max_retries || *job.policy.max_retries > 0; ++attempt) {
        OV_INFO(log::kStream, "[stream] branch {}: reconnecting in {:.1f}s (attempt {})", job.index,
                seconds(job.policy.retry_delay), attempt);
        if (!wait_retry_delay(job.policy.retry_delay, *job.stop)) return;
        const auto error = rebuild_branch_once(job);
        if (!error) {
            OV_INFO(log::kStream, "[stream] branch {}: reconnected", job.index);
            return;
        }
        OV_WARN(log::kStream, "[stream] branch {}: reconnect failed: {}", job.index, error->text());
        {
            const std::lock_guard lock(job.cell->mutex);
            media::remove_branch(job.cell->pipeline.get(), job.index);
        }
        if (!attempts_left(job.policy, attempt + 1)) break;
    }
    OV_WARN(log::kStream, "[stream] branch {}: max reconnect attempts reached", job.index);
}

}  // namespace

bool wait_retry_delay(std::chrono::nanoseconds delay, const std::atomic<bool>& stop) {
    while (delay > 0ns) {
        if (stop.load()) return false;
        const auto slice = std::min<std::chrono::nanoseconds>(delay, 100ms);
        std::this_thread::sleep_for(slice);
        delay -= slice;
    }
    return !stop.load();
}

std::optional<StreamError> reconnect_pipeline(RunningStream& stream, const ReconnectPolicy& policy) {
    for (uint32_t attempt = 1; !policy.max_retries || *policy.max_retries > 0; ++attempt) {
        OV_INFO(log::kStream, "[stream] reconnecting in {:.1f}s (attempt {})", seconds(policy.retry_delay), attempt);
        if (!wait_retry_delay(policy.retry_delay, *stream.stop)) return std::nullopt;
        {
            const std::lock_guard lock(stream.cell->mutex);
            if (stream.cell->pipeline) stop_pipeline(stream.cell->pipeline.get());
        }
        auto built = build_pipeline(stream.source, stream.sinks, stream.config);
        if (built) {
            gst::ElementPtr old;
            {
                const std::lock_guard lock(stream.cell->mutex);
                old = std::exchange(stream.cell->pipeline, std::move(built.value().pipeline));
            }
            stream.encoded_bytes->store(built.value().encoded_bytes->load());
            OV_INFO(log::kStream, "[stream] reconnected");
            return std::nullopt;
        }
        OV_WARN(log::kStream, "[stream] reconnect failed: {}", built.error().text());
        if (!attempts_left(policy, attempt + 1)) break;
    }
    OV_WARN(log::kStream, "[stream] max reconnect attempts reached, giving up");
    return StreamError::config_error("max reconnect attempts reached");
}

void start_branch_rebuild(const RunningStreamPtr& stream, size_t index) {
    if (!stream->config.reconnect || index >= stream->sinks.size()) return;
    {
        const std::lock_guard lock(*stream->rebuilding_mutex);
        if (!stream->rebuilding->insert(index).second) return;
    }
    BranchRebuild job{stream->sinks[index], index, is_live(stream->source), *stream->config.reconnect,
                      stream->config, stream->stop, stream->cell, stream->encoded_bytes,
                      stream->rebuilding_mutex, stream->rebuilding};
    std::thread([job = std::move(job)] {
        try {
            run_branch_rebuild(job);
        } catch (const std::exception& e) {
            OV_ERROR(log::kStream, "[stream] branch {}: rebuild failed: {}", job.index, e.what());
        }
        const std::lock_guard lock(*job.rebuilding_mutex);
        job.rebuilding->erase(job.index);
    }).detach();
}

}  // namespace ov::engine
