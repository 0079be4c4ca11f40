#include "python/log_bridge.hpp"

#include <array>
#include <optional>

namespace ov::py {
namespace {

constexpr int kDisabled = 1000;  // no level handled at all

int python_level(log::Level level) {
    switch (level) {
        case log::Level::Error: return 40;
        case log::Level::Warn: return 30;
        case log::Level::Info: return 20;
        case log::Level::Debug: return 10;
        case log::Level::Trace: return 5;
    }
    return 10;
}

// The effective level of a logger as the first of 5, 10, 20, 30, 40 it handles.
int effective_level(PyObject* logger) {
    for (const int level : {5, 10, 20, 30, 40}) {
        const PyRef enabled = PyRef::steal(PyObject_CallMethod(logger, "isEnabledFor", "i", level));
        if (!enabled) return kDisabled;
        const int truth = PyObject_IsTrue(enabled.get());
        if (truth < 0) return kDisabled;
        if (truth == 1) return level;
    }
    return kDisabled;
}

}  // namespace

LogBridge::LogBridge(PyRef logging_module) : logging_(std::move(logging_module)) {}

void LogBridge::shut_down() noexcept { shut_down_.store(true); }

void LogBridge::write(const log::Record& record) noexcept {
    if (shut_down_.load() || !log::enabled(record.level)) return;
    const int level = python_level(record.level);
    try {
        {
            const std::lock_guard lock(cache_mutex_);
            const auto found = cache_.find(std::string(record.target));
            if (found != cache_.end() && level < found->second.level) return;
        }
        if (!Py_IsInitialized()) return;
        const PyGILState_STATE gil = PyGILState_Ensure();
        {
            const PendingErrorGuard pending;
            forward(record, level);
            PyErr_Clear();  // a failing handler never reaches the engine
        }
        PyGILState_Release(gil);
    } catch (...) {
        // Logging must never disturb the caller; a record lost to memory
        // exhaustion is acceptable.
    }
}

// Runs with the interpreter lock held and no exception pending.
void LogBridge::forward(const log::Record& record, int level) {
    std::string logger_name(record.target);
    for (size_t pos = 0; (pos = logger_name.find("::", pos)) != std::string::npos;) logger_name.replace(pos, 2, ".");

    std::optional<Cached> cached;
    {
        const std::lock_guard lock(cache_mutex_);
        if (const auto found = cache_.find(std::string(record.target)); found != cache_.end()) cached = found->second;
    }
    PyRef logger = cached ? PyRef::borrow(cached->logger)
                          : PyRef::steal(PyObject_CallMethod(logging_.get(), "getLogger", "s", logger_name.c_str()));
    if (!logger) return;

    const PyRef enabled = PyRef::steal(PyObject_CallMethod(logger.get(), "isEnabledFor", "i", level));
    const int truth = enabled ? PyObject_IsTrue(enabled.get()) : -1;
    if (truth == 1) {
        const char* file = record.file != nullptr ? record.file : "";
        // Messages may quote bytes from GStreamer that are not valid UTF-8.
        const PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
            record.message.data(), static_cast<Py_ssize_t>(record.message.size()), "replace"));
        const PyRef made = message ? PyRef::steal(PyObject_CallMethod(logger.get(), "makeRecord", "sisiO()O",
                                                                      logger_name.c_str(), level, file,
                                                                      static_cast<int>(record.line),
                                                                      message.get(), Py_None))
                                   : PyRef();
        if (made) {
            const PyRef handled = PyRef::steal(PyObject_CallMethod(logger.get(), "handle", "O", made.get()));
        }
    }
    PyErr_Clear();

    if (!cached) {
        const int effective = effective_level(logger.get());
        PyErr_Clear();
        const std::lock_guard lock(cache_mutex_);
        if (cache_.try_emplace(std::string(record.target), Cached{logger.get(), effective}).second) {
            (void)logger.release();  // the cache keeps this reference forever
        }
    }
}

LogBridge* install_log_bridge(PyRef logging_module) {
    // Never destroyed: engine threads may log until the process ends.
    static LogBridge* bridge = new LogBridge(std::move(logging_module));
    log::install_sink(bridge);
    log::set_max_level(log::Level::Debug);
    return bridge;
}

}  // namespace ov::py
