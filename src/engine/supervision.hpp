#pragma once

// The supervision thread of an open stream: polls the bus every 10 ms, ends the
// stream on end of stream or an unrecoverable error, drops and rebuilds failed
// branches, and rebuilds the pipeline under the reconnect policy.

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "core/stream_error.hpp"
#include "engine/running_stream.hpp"

namespace ov::engine {

// What a finished supervision thread reports.
struct SupervisionOutcome {
    std::optional<StreamError> error;
    bool panicked = false;  // ended by an internal fault
};

class SupervisionThread {
public:
    explicit SupervisionThread(RunningStreamPtr stream);
    ~SupervisionThread();  // detaches a thread nobody joined
    SupervisionThread(const SupervisionThread&) = delete;
    SupervisionThread& operator=(const SupervisionThread&) = delete;

    bool finished() const { return state_->finished.load(); }
    // Waits for the thread; call without holding locks others need to finish.
    SupervisionOutcome join();
    void detach();

private:
    struct State {
        std::atomic<bool> finished{false};
        SupervisionOutcome outcome;  // written by the thread before `finished`
    };
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// The thread's body, exposed for tests: runs until the stream ends.
std::optional<StreamError> supervise(const RunningStreamPtr& stream);

}  // namespace ov::engine
