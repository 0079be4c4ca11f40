// Stream: one source, one sink or a list of sinks, and options, copied at
// construction. Nothing of GStreamer is touched until the stream is opened.

#include "python/stream_type.hpp"

#include <array>
#include <vector>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace ov::py {
namespace {

// A Sink, or a list (subclasses included) of Sinks. Errors carry no argument
// prefix: they name the offending object, which may be a list item.
bool convert_sinks(PyObject* value, SinkSet& out) {
    if (PyList_Check(value)) {
        std::vector<SinkKind> sinks;
        const Py_ssize_t size = PyList_GET_SIZE(value);
        sinks.reserve(static_cast<size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = PyList_GET_ITEM(value, i);
            if (expect_instance_unnamed(item, ClassId::Sink) == nullptr) return false;
            sinks.push_back(unbox<SinkKind>(item));
        }
        out = make_sink_set(std::move(sinks));
        return true;
    }
    if (expect_instance_unnamed(value, ClassId::Sink) == nullptr) return false;
    out = unbox<SinkKind>(value);
    return true;
}

PyObject* stream_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> params{"src", "sink", "options"};
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> a{};
        if (!bind_arguments({"Stream.__new__()", params, 2}, args, kwargs, a)) return nullptr;
        const auto source = to_value<SourceKind>(a[0], ClassId::Src, "src");
        if (!source) return nullptr;
        SinkSet sinks;
        if (!convert_sinks(a[1], sinks)) return nullptr;
        std::optional<StreamOptions> options;
        if (!is_absent(a[2])) {
            options = to_value<StreamOptions>(a[2], ClassId::StreamOptions, "options");
            if (!options) return nullptr;
        }
        return make_instance(ClassId::Stream,
                             StreamValue{std::make_unique<engine::StreamCore>(
                                 *source, std::move(sinks), options.value_or(StreamOptions{}))});
    });
}

// A stream dropped while open would otherwise keep its pipeline and threads
// running with nobody left to stop them.
void stream_dealloc(PyObject* self) {
    if (auto& core = unbox<StreamValue>(self).core) stop_abandoned(*core);
    box_dealloc<StreamValue>(self);
}

constexpr int kNoArgs = METH_NOARGS;
constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"open", stream_open, kNoArgs,
     "open($self)\n--\n\nBuild and start the pipeline. Idempotent \u2014 safe to call multiple times."},
    {"close", stream_close, kNoArgs,
     "close($self)\n--\n\nGracefully stop: signal the bus thread, wait for it, tear down the pipeline.\n"
     "Idempotent \u2014 safe to call multiple times. Stream can be reopened with open() after close()."},
    {"restart", stream_restart, kNoArgs, "restart($self)\n--\n\nStop and restart the pipeline."},
    {"run", as_method(stream_run), kKeywords,
     "run($self, seconds=None)\n--\n\nBlock until the stream ends or errors. Handles Ctrl+C cleanly."},
    {"__enter__", stream_enter, kNoArgs, "__enter__($self)\n--\n\n"},
    {"__exit__", as_method(stream_exit), kKeywords, "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {"send_frame", as_method(stream_send_frame), kKeywords, "send_frame($self, data, timestamp_ns=None)\n--\n\n"},
    {"recv_frame", as_method(stream_recv_frame), kKeywords, "recv_frame($self, timeout_ms=None)\n--\n\n"},
    {"send_encoded", as_method(stream_send_encoded), kKeywords,
     "send_encoded($self, data, timestamp_ns=None)\n--\n\n"},
    {"recv_encoded", as_method(stream_recv_encoded), kKeywords, "recv_encoded($self, timeout_ms=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Stream(src, sink, options=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Stream", sizeof(Box<StreamValue>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyType_Spec* stream_spec() { return &kSpec; }

}  // namespace ov::py
