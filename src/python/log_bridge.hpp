#pragma once

// Forwards the engine's log records to Python's `logging`. Records may come
// from any thread; those below the cached level of their target never touch
// the interpreter.

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/log.hpp"
#include "python/pyref.hpp"

namespace ov::py {

class LogBridge final : public log::Sink {
public:
    // `logging_module` is the imported `logging` package (a new reference).
    explicit LogBridge(PyRef logging_module);

    void write(const log::Record& record) noexcept override;

    // Called from Python's atexit: records after this point are dropped, since
    // foreign threads must not take the interpreter lock while it shuts down.
    void shut_down() noexcept;

private:
    struct Cached {
        PyObject* logger;  // a reference kept for the life of the process
        int level;         // lowest Python level the logger handles
    };

    void forward(const log::Record& record, int python_level);

    PyRef logging_;
    std::atomic<bool> shut_down_{false};
    std::mutex cache_mutex_;  // protects cache_; never held while taking the interpreter lock
    std::unordered_map<std::string, Cached> cache_;
};

// The bridge installed by the module at import (created once per process).
LogBridge* install_log_bridge(PyRef logging_module);

}  // namespace ov::py
