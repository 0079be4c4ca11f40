// send_frame, send_encoded, recv_frame and recv_encoded of Stream.

#include <fmt/format.h>

#include "engine/frame_exchange.hpp"
#include "engine/reconnection.hpp"
#include "gst/mapped_buffer.hpp"
#include "media/source_timestamp.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/frame_types.hpp"
#include "python/stream_type.hpp"

namespace ov::py {
namespace {

constexpr uint64_t kDefaultWaitNs = 1'000'000'000;

// A push that found an error on the bus repairs the stream when a policy
// exists. The rebuild runs without the interpreter lock and without the
// running slot, so close() on another thread can stop it at once.
void reconnect_after_push(const engine::RunningStreamPtr& running) {
    const GilRelease unlocked;
    if (running->reconnecting.exchange(true)) return;  // the supervision thread is already on it
    (void)engine::reconnect_pipeline(*running, *running->config.reconnect);
    running->reconnecting.store(false);
}

PyObject* send(PyObject* self, PyObject* args, PyObject* kwargs, const char* full_name, engine::PushKind kind) {
    static constexpr std::array<const char*, 2> params{"data", "timestamp_ns"};
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> slots{};
        if (!bind_arguments({full_name, params, 1}, args, kwargs, slots)) return nullptr;
        if (!PyBytes_Check(slots[0])) {
            return raise_type_error(fmt::format("argument 'data': '{}' object cannot be converted to 'PyBytes'",
                                                type_name(slots[0])));
        }
        std::optional<uint64_t> timestamp_ns;
        if (!convert_arg(slots[1], "timestamp_ns", timestamp_ns)) return nullptr;
        const std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(slots[0])),
                                            static_cast<size_t>(PyBytes_GET_SIZE(slots[0])));

        engine::StreamCore& core = core_of(self);
        std::unique_lock slot(core.running_mutex());
        const engine::RunningStreamPtr running = core.running_locked();
        if (!running) Py_RETURN_FALSE;
        const engine::PushOutcome outcome = engine::push(*running, data, timestamp_ns, kind);
        if (outcome == engine::PushOutcome::ErrorOnBus) {
            slot.unlock();
            if (running->config.reconnect) reconnect_after_push(running);
            Py_RETURN_FALSE;
        }
        return PyBool_FromLong(outcome == engine::PushOutcome::Accepted);
    });
}

bool has_encoded_app_sink(const SinkSet& sinks) {
    for (const auto& sink : sink_list(sinks)) {
        if (std::holds_alternative<sink::AppEncoded>(sink)) return true;
    }
    return false;
}

// Binds timeout_ms, checks the stream, and waits for a sample of `sink_name`.
// Returns false with an exception set, or true with `sample` empty for None.
bool receive(PyObject* self, PyObject* args, PyObject* kwargs, const char* full_name, const char* sink_name,
             gst::SamplePtr& sample) {
    static constexpr std::array<const char*, 1> params{"timeout_ms"};
    std::array<PyObject*, 1> slots{};
    if (!bind_arguments({full_name, params, 0}, args, kwargs, slots)) return false;
    std::optional<uint64_t> timeout_ms;
    if (!convert_arg(slots[0], "timeout_ms", timeout_ms)) return false;
    engine::StreamCore& core = core_of(self);
    if (std::string_view(sink_name) == "appsink_encoded" && !has_encoded_app_sink(core.sinks())) {
        raise_runtime_error("recv_encoded requires Sink.app_encoded()");
        return false;
    }
    const engine::RunningStreamPtr running = core.running();
    if (!running) {
        raise_not_open();
        return false;
    }
    if (core.thread_finished()) return join_supervision(core);
    uint64_t timeout_ns = kDefaultWaitNs;
    if (timeout_ms) {
        if (*timeout_ms > UINT64_MAX / 1'000'000) throw InternalFault("timeout_ms does not fit in nanoseconds");
        timeout_ns = *timeout_ms * 1'000'000;
    }
    const GilRelease unlocked;
    sample = engine::pull_sample(*running, sink_name, timeout_ns);
    return true;
}

PyRef copy_bytes(GstBuffer* buffer) {
    const gst::MappedBuffer mapped(buffer);
    if (!mapped.ok()) return {};
    const auto bytes = mapped.bytes();
    return PyRef::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
}

}  // namespace

PyObject* stream_send_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    return send(self, args, kwargs, "Stream.send_frame()", engine::PushKind::Frame);
}

PyObject* stream_send_encoded(PyObject* self, PyObject* args, PyObject* kwargs) {
    return send(self, args, kwargs, "Stream.send_encoded()", engine::PushKind::Encoded);
}

PyObject* stream_recv_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        gst::SamplePtr sample;
        if (!receive(self, args, kwargs, "Stream.recv_frame()", "appsink", sample)) return nullptr;
        if (!sample) Py_RETURN_NONE;
        const auto info = engine::raw_frame_info(sample.get());
        if (!info) Py_RETURN_NONE;
        PyRef data = copy_bytes(info->buffer);
        if (!data) {
            if (PyErr_Occurred()) return nullptr;
            Py_RETURN_NONE;
        }
        return make_frame(FrameValue{std::move(data), info->width, info->height, info->format, info->timestamp_ns});
    });
}

PyObject* stream_recv_encoded(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        gst::SamplePtr sample;
        if (!receive(self, args, kwargs, "Stream.recv_encoded()", "appsink_encoded", sample)) return nullptr;
        if (!sample) Py_RETURN_NONE;
        GstBuffer* buffer = gst_sample_get_buffer(sample.get());
        if (buffer == nullptr) Py_RETURN_NONE;
        PyRef data = copy_bytes(buffer);
        if (!data) {
            if (PyErr_Occurred()) return nullptr;
            Py_RETURN_NONE;
        }
        return make_encoded_frame(EncodedFrameValue{std::move(data), media::source_timestamp(buffer)});
    });
}

}  // namespace ov::py
