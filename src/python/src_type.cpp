#include <fmt/format.h>

#include <array>

#include "core/resolution.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/descriptor_types.hpp"
#include "python/enum_types.hpp"
#include "python/errors.hpp"

namespace ov::py {
namespace {

// Binds and converts the arguments of one static constructor, then wraps the
// resulting source. `fill` converts the bound slots into the variant's fields.
template <class Kind, size_t N, class Fill>
PyObject* construct(std::string_view full_name, const std::array<const char*, N>& params, size_t required,
                    PyObject* args, PyObject* kwargs, Fill&& fill) {
    return guarded([&]() -> PyObject* {
        return bind_and_build<Kind>(full_name, params, required, args, kwargs, fill,
                                    [](Kind value) { return make_src(std::move(value)); });
    });
}

PyObject* src_test(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return make_src(source::Test{}); });
}

PyObject* src_camera(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 2> params{"device_index", "resolution"};
    return construct<source::Camera>("Src.camera()", params, 0, args, kwargs, [](auto& a, auto& v) {
        if (!convert_arg(a[0], "device_index", v.device_index)) return false;
        std::optional<std::string> text;
        if (!convert_arg(a[1], "resolution", text)) return false;
        if (text) {
            auto parsed = parse_resolution(*text);
            if (!parsed) {
                raise_runtime_error(parsed.error());
                return false;
            }
            v.resolution = parsed.value();
        }
        return true;
    });
}

PyObject* src_rtsp(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> params{"url"};
    return construct<source::Rtsp>("Src.rtsp()", params, 1, args, kwargs,
                                      [](auto& a, auto& v) { return convert(a[0], "url", v.url); });
}

PyObject* src_udp_rtp(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> params{"port"};
    return construct<source::UdpRtp>("Src.udp_rtp()", params, 1, args, kwargs,
                                        [](auto& a, auto& v) { return convert(a[0], "port", v.port); });
}

PyObject* src_udp_mpegts(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> params{"port"};
    return construct<source::UdpMpegTs>("Src.udp_mpegts()", params, 1, args, kwargs,
                                           [](auto& a, auto& v) { return convert(a[0], "port", v.port); });
}

PyObject* src_custom(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> params{"description"};
    return construct<source::Custom>("Src.custom()", params, 1, args, kwargs, [](auto& a, auto& v) {
        return convert(a[0], "description", v.description);
    });
}

PyObject* src_file(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 2> params{"location", "start_ns"};
    return construct<source::File>("Src.file()", params, 1, args, kwargs, [](auto& a, auto& v) {
        return convert(a[0], "location", v.location) && convert_arg(a[1], "start_ns", v.start_ns);
    });
}

PyObject* src_images(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> params{"path", "fps", "start_ns"};
    return construct<source::Images>("Src.images()", params, 2, args, kwargs, [](auto& a, auto& v) {
        return convert(a[0], "path", v.path) && convert(a[1], "fps", v.fps) &&
               convert_arg(a[2], "start_ns", v.start_ns);
    });
}

PyObject* src_app(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 4> params{"width", "height", "format", "auto_timestamp"};
    return construct<source::App>("Src.app()", params, 2, args, kwargs, [](auto& a, auto& v) {
        return convert(a[0], "width", v.width) && convert(a[1], "height", v.height) &&
               convert_arg(a[2], "format", v.format) && convert_arg(a[3], "auto_timestamp", v.auto_timestamp);
    });
}

PyObject* src_app_encoded(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> params{"codec"};
    return construct<source::AppEncoded>("Src.app_encoded()", params, 0, args, kwargs, [](auto& a, auto& v) {
        return is_absent(a[0]) || convert(a[0], "codec", v.codec);
    });
}

PyObject* src_app_image(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> params{"format"};
    return construct<source::AppImage>("Src.app_image()", params, 1, args, kwargs,
                                          [](auto& a, auto& v) { return convert(a[0], "format", v.format); });
}

PyObject* src_display(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 1> params{"monitor_index"};
    return construct<source::Display>("Src.display()", params, 0, args, kwargs, [](auto& a, auto& v) {
        return convert_arg(a[0], "monitor_index", v.monitor_index);
    });
}

constexpr int kStatic = METH_STATIC;
constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

PyMethodDef kMethods[] = {
    {"test", src_test, METH_NOARGS | kStatic, "test()\n--\n\n"},
    {"camera", as_method(src_camera), kKeywords, "camera(device_index=0, resolution=None)\n--\n\n"},
    {"rtsp", as_method(src_rtsp), kKeywords, "rtsp(url)\n--\n\n"},
    {"udp_rtp", as_method(src_udp_rtp), kKeywords, "udp_rtp(port)\n--\n\n"},
    {"udp_mpegts", as_method(src_udp_mpegts), kKeywords, "udp_mpegts(port)\n--\n\n"},
    {"custom", as_method(src_custom), kKeywords, "custom(description)\n--\n\n"},
    {"file", as_method(src_file), kKeywords, "file(location, start_ns=None)\n--\n\n"},
    {"images", as_method(src_images), kKeywords, "images(path, fps, start_ns=None)\n--\n\n"},
    {"app", as_method(src_app), kKeywords, "app(width, height, format=\"RGB\", auto_timestamp=True)\n--\n\n"},
    {"app_encoded", as_method(src_app_encoded), kKeywords, "app_encoded(codec=None)\n--\n\n"},
    {"app_image", as_method(src_app_image), kKeywords, "app_image(format)\n--\n\n"},
    {"display", as_method(src_display), kKeywords, "display(monitor_index=0)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<SourceKind>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Src", sizeof(Box<SourceKind>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyType_Spec* src_spec() { return &kSpec; }

}  // namespace ov::py
