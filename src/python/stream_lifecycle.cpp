// open, close, restart, run and the context manager of Stream. Every wait on
// the engine (building, joining, shutting down, sleeping) runs with the
// interpreter lock released; slots are only touched with it held.

#include <chrono>
#include <thread>

#include "core/config_from_options.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/stream_type.hpp"

namespace ov::py {
namespace {

using Clock = std::chrono::steady_clock;

// close() without the Python wrapper: false with an exception set on failure.
bool close_stream(engine::StreamCore& core) {
    const engine::RunningStreamPtr running = core.take_running();
    if (!running) return true;
    running->stop->store(true);
    if (!join_supervision(core)) {
        // The stream failed; its pipeline still goes to NULL before it is dropped.
        const GilRelease unlocked;
        engine::StreamCore::stop(*running);
        return false;
    }
    std::optional<StreamError> error;
    {
        const GilRelease unlocked;
        error = engine::StreamCore::shut_down(*running);
    }
    if (error) {
        raise_runtime_error(error->text());
        return false;
    }
    return true;
}

bool open_stream(engine::StreamCore& core) {
    if (core.is_open()) return true;
    auto config = make_pipeline_config(core.options());
    if (!config) {
        raise_runtime_error(config.error());
        return false;
    }
    std::optional<Result<engine::StreamCore::Started, StreamError>> started;
    {
        const GilRelease unlocked;
        started.emplace(core.start(config.value()));
    }
    if (!*started) {
        raise_runtime_error(started->error().text());
        return false;
    }
    if (auto lost = core.install(std::move(*started).value())) {
        const GilRelease unlocked;
        engine::StreamCore::discard(std::move(*lost));
    }
    return true;
}

std::optional<Clock::time_point> deadline_after(double seconds) {
    const auto duration = seconds_to_duration(seconds);
    const auto now = Clock::now();
    if (duration > Clock::time_point::max() - now) throw InternalFault("overflow when adding duration to instant");
    return now + std::chrono::duration_cast<Clock::duration>(duration);
}

}  // namespace

std::nullptr_t raise_not_open() {
    return raise_runtime_error("stream not open \u2014 call open() first or use as a context manager");
}

bool join_supervision(engine::StreamCore& core) {
    std::unique_ptr<engine::SupervisionThread> thread = core.take_thread();
    if (!thread) return true;
    engine::SupervisionOutcome outcome;
    {
        const GilRelease unlocked;
        outcome = thread->join();
    }
    if (outcome.panicked) {
        raise_runtime_error("stream thread panicked");
        return false;
    }
    if (outcome.error) {
        raise_runtime_error(outcome.error->text());
        return false;
    }
    return true;
}

void stop_abandoned(engine::StreamCore& core) {
    const engine::RunningStreamPtr running = core.take_running();
    std::unique_ptr<engine::SupervisionThread> thread = core.take_thread();
    if (!running) return;
    running->stop->store(true);
    const GilRelease unlocked;
    if (thread) thread->join();
    engine::StreamCore::stop(*running);
}

PyObject* stream_open(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!open_stream(core_of(self))) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* stream_close(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!close_stream(core_of(self))) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* stream_restart(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!close_stream(core_of(self)) || !open_stream(core_of(self))) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* stream_enter(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!open_stream(core_of(self))) return nullptr;
        return PyRef::borrow(self).release();
    });
}

PyObject* stream_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> params{"_exc_type", "_exc_val", "_exc_tb"};
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> slots{};
        if (!bind_arguments({"Stream.__exit__()", params, 3}, args, kwargs, slots)) return nullptr;
        if (!close_stream(core_of(self))) return nullptr;
        Py_RETURN_FALSE;
    });
}

PyObject* stream_run(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> params{"seconds"};
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!bind_arguments({"Stream.run()", params, 0}, args, kwargs, slots)) return nullptr;
        std::optional<double> seconds;
        if (!convert_arg(slots[0], "seconds", seconds)) return nullptr;
        engine::StreamCore& core = core_of(self);
        const engine::RunningStreamPtr running = core.running();
        if (!running) return raise_not_open();
        const auto deadline = seconds ? deadline_after(*seconds) : std::nullopt;

        bool interrupted = false;
        for (;;) {
            if (deadline && Clock::now() >= *deadline) {
                running->stop->store(true);
                break;
            }
            if (core.thread_finished()) break;
            if (!interrupted && PyErr_CheckSignals() < 0) {
                PyErr_Clear();
                running->stop->store(true);
                interrupted = true;
            }
            const GilRelease unlocked;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const bool closed = close_stream(core);
        if (interrupted) {
            PyErr_Clear();
            PyErr_SetString(PyExc_KeyboardInterrupt, "interrupted");
            return nullptr;
        }
        if (!closed) return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace ov::py
