#pragma once

// The open/close state of one stream, without Python: the running slot, the
// thread slot, starting and stopping a pipeline with its supervision thread.
// The Python layer calls these with the interpreter lock released wherever a
// call may wait.

#include <memory>
#include <mutex>

#include "core/options.hpp"
#include "core/result.hpp"
#include "core/sink.hpp"
#include "core/source.hpp"
#include "core/stream_error.hpp"
#include "engine/running_stream.hpp"
#include "engine/supervision.hpp"

namespace ov::engine {

class StreamCore {
public:
    StreamCore(SourceKind source, SinkSet sinks, StreamOptions options);

    const SourceKind& source() const { return source_; }
    const SinkSet& sinks() const { return sinks_; }
    const StreamOptions& options() const { return options_; }

    // A stream that was started but not yet installed in the slots.
    struct Started {
        RunningStreamPtr stream;
        std::unique_ptr<SupervisionThread> thread;
    };

    bool is_open();
    // Checks the sinks, initialises GStreamer, builds and plays the pipeline
    // and starts its supervision. May take seconds.
    Result<Started, StreamError> start(const PipelineConfig& config);
    // Stores a started stream. When another open() won the race, the started
    // one is handed back: the caller stops it with discard(), outside the
    // interpreter lock.
    std::optional<Started> install(Started started);
    static void discard(Started started);

    // The current open period, or null when closed.
    RunningStreamPtr running();
    // Empties the running slot (the stream counts as closed from here on).
    RunningStreamPtr take_running();
    // Takes the supervision thread out of its slot; null when there is none.
    std::unique_ptr<SupervisionThread> take_thread();
    // No thread, or its thread has ended.
    bool thread_finished();

    // Lets file sinks finish (end-of-stream, up to 5 s per wait), then sets the
    // pipeline to NULL.
    static std::optional<StreamError> shut_down(RunningStream& stream);
    // Sets the pipeline to NULL without finishing files (after a failure).
    static void stop(RunningStream& stream);

    // The running slot, held by the push methods for a whole push. Taken only
    // by threads holding the interpreter lock, which never wait while holding
    // it, so it is never contended for long; taken before any pipeline cell.
    std::mutex& running_mutex() { return running_mutex_; }
    RunningStreamPtr& running_locked() { return running_; }

private:
    SourceKind source_;
    SinkSet sinks_;
    StreamOptions options_;
    std::mutex running_mutex_;  // protects running_; order: before thread_mutex_ and any pipeline cell
    RunningStreamPtr running_;
    std::mutex thread_mutex_;  // protects thread_
    std::unique_ptr<SupervisionThread> thread_;
};

}  // namespace ov::engine
