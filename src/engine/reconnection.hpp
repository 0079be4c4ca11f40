#pragma once

// Repairs after failures, under a stream's reconnect policy: the full rebuild
// of the pipeline, and the rebuild of one failed branch of a multi-sink stream
// on a thread of its own.

#include <atomic>
#include <chrono>
#include <optional>

#include "core/stream_error.hpp"
#include "engine/running_stream.hpp"

namespace ov::engine {

// Sleeps `delay` in slices of at most 100 ms; false when the stop flag ended it.
bool wait_retry_delay(std::chrono::nanoseconds delay, const std::atomic<bool>& stop);

// Rebuilds the whole pipeline until it works, the policy gives up (the error)
// or the stream is stopped (success). Runs on the caller's thread.
std::optional<StreamError> reconnect_pipeline(RunningStream& stream, const ReconnectPolicy& policy);

// Starts a detached thread that rebuilds "branch_<index>" of the running
// pipeline. At most one rebuild per branch runs at a time: a second request
// for the same branch while one is in progress is ignored.
void start_branch_rebuild(const RunningStreamPtr& stream, size_t index);

}  // namespace ov::engine
