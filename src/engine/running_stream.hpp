#pragma once

// The state one open period of a stream shares between the Python-facing
// methods, the supervision thread, the reconnection loops and the frame
// exchange. Shared by std::shared_ptr; the pipeline is reached only through
// the pipeline cell.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "core/pipeline_config.hpp"
#include "core/sink.hpp"
#include "core/source.hpp"
#include "engine/frame_pool.hpp"
#include "gst/handle.hpp"

namespace ov::engine {

// The current pipeline of a stream. A full reconnection swaps it.
struct PipelineCell {
    std::mutex mutex;  // protects pipeline; taken after a Stream's running slot, never before
    gst::ElementPtr pipeline;
};

using ByteCounter = std::shared_ptr<std::atomic<uint64_t>>;
using StopFlag = std::shared_ptr<std::atomic<bool>>;

struct RunningStream {
    SourceKind source;
    std::vector<SinkKind> sinks;
    PipelineConfig config;
    std::shared_ptr<PipelineCell> cell = std::make_shared<PipelineCell>();
    ByteCounter encoded_bytes = std::make_shared<std::atomic<uint64_t>>(0);
    StopFlag stop = std::make_shared<std::atomic<bool>>(false);
    // Set by the supervision thread when the pipeline reached end of stream, so
    // close() does not wait for an end of stream that already passed.
    std::atomic<bool> reached_eos{false};
    // Set while a full reconnection runs, so a second one does not start beside it.
    std::atomic<bool> reconnecting{false};
    // Memory for pushed raw frames; used under the Stream's running slot.
    FramePool frame_pool;
    // Branches being rebuilt, so repeated errors of one branch start one rebuild.
    std::shared_ptr<std::mutex> rebuilding_mutex = std::make_shared<std::mutex>();  // protects rebuilding
    std::shared_ptr<std::set<size_t>> rebuilding = std::make_shared<std::set<size_t>>();
};

using RunningStreamPtr = std::shared_ptr<RunningStream>;

// True unless the source is a file or an image sequence.
bool is_live(const SourceKind& source);

}  // namespace ov::engine
