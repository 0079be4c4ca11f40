// Stream: one source, one sink or a list of sinks, and options, copied at
// construction. Nothing of GStreamer is touched until the stream is opened.

#include <array>
#include <vector>

#include "core/options.hpp"
#include "core/sink.hpp"
#include "core/source.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace ov::py {
namespace {

struct StreamValue {
    SourceKind source;
    SinkSet sinks;
    StreamOptions options;
};

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
                             StreamValue{*source, std::move(sinks), options.value_or(StreamOptions{})});
    });
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Stream(src, sink, options=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<StreamValue>)},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Stream", sizeof(Box<StreamValue>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyType_Spec* stream_spec() { return &kSpec; }

}  // namespace ov::py
