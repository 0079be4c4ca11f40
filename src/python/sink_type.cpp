#include <array>

#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/descriptor_types.hpp"

namespace ov::py {
namespace {

template <class Kind, size_t N, class Fill>
PyObject* construct(std::string_view full_name, const std::array<const char*, N>& params, size_t required,
                    PyObject* args, PyObject* kwargs, Fill&& fill) {
    return guarded([&]() -> PyObject* {
        return bind_and_build<Kind>(full_name, params, required, args, kwargs, fill,
                                    [](Kind value) { return make_sink(std::move(value)); });
    });
}

PyObject* sink_whip(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> params{"endpoint", "token", "stun_server"};
    return construct<sink::Whip>("Sink.whip()", params, 1, args, kwargs, [](auto& a, auto& v) {
        return convert(a[0], "endpoint", v.endpoint) && convert_arg(a[1], "token", v.token) &&
               convert_arg(a[2], "stun_server", v.stun_server);
    });
}

PyObject* sink_udp_rtp(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 2> params{"host", "port"};
    return construct<sink::UdpRtp>("Sink.udp_rtp()", params, 2, args, kwargs, [](auto& a, auto& v) {
        return convert(a[0], "host", v.host) && convert(a[1], "port", v.port);
    });
}

PyObject* sink_udp_mpegts(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 2> params{"host", "port"};
    return construct<sink::UdpMpegTs>("Sink.udp_mpegts()", params, 2, args, kwargs, [](auto& a, auto& v) {
        return convert(a[0], "host", v.host) && convert(a[1], "port", v.port);
    });
}

PyObject* sink_file(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> params{"location"};
    return construct<sink::File>("Sink.file()", params, 1, args, kwargs,
                                    [](auto& a, auto& v) { return convert(a[0], "location", v.location); });
}

PyObject* sink_app(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> params{"format"};
    return construct<sink::App>("Sink.app()", params, 0, args, kwargs,
                                   [](auto& a, auto& v) { return convert_arg(a[0], "format", v.format); });
}

PyObject* sink_app_encoded(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return make_sink(sink::AppEncoded{}); });
}
PyObject* sink_fake(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return make_sink(sink::Fake{}); });
}
PyObject* sink_display(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return make_sink(sink::Display{}); });
}

constexpr int kNoArgs = METH_NOARGS | METH_STATIC;
constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

PyMethodDef kMethods[] = {
    {"whip", as_method(sink_whip), kKeywords, "whip(endpoint, token=None, stun_server=None)\n--\n\n"},
    {"udp_rtp", as_method(sink_udp_rtp), kKeywords, "udp_rtp(host, port)\n--\n\n"},
    {"udp_mpegts", as_method(sink_udp_mpegts), kKeywords, "udp_mpegts(host, port)\n--\n\n"},
    {"app_encoded", sink_app_encoded, kNoArgs, "app_encoded()\n--\n\n"},
    {"fake", sink_fake, kNoArgs, "fake()\n--\n\n"},
    {"file", as_method(sink_file), kKeywords, "file(location)\n--\n\n"},
    {"display", sink_display, kNoArgs, "display()\n--\n\n"},
    {"app", as_method(sink_app), kKeywords, "app(format=\"RGB\")\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<SinkKind>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Sink", sizeof(Box<SinkKind>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyType_Spec* sink_spec() { return &kSpec; }

}  // namespace ov::py
