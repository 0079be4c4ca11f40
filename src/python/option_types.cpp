// Crop, ReconnectOptions and StreamOptions: mutable records with one
// read-write property per field.

#include <array>

#include "core/options.hpp"
#include "python/binding.hpp"
#include "python/convert.hpp"
#include "python/record_fields.hpp"

namespace ov::py {

bool convert(PyObject* v, const char* name, Crop& out) { return store(to_value<Crop>(v, ClassId::Crop, name), out); }
bool convert(PyObject* v, const char* name, ReconnectOptions& out) {
    return store(to_value<ReconnectOptions>(v, ClassId::ReconnectOptions, name), out);
}

namespace {

template <class Record, ClassId Id, size_t N, class Fill>
PyObject* construct(std::string_view full_name, const std::array<const char*, N>& params, PyObject* args,
                    PyObject* kwargs, Fill&& fill) {
    return guarded([&]() -> PyObject* {
        return bind_and_build<Record>(full_name, params, 0, args, kwargs, fill,
                                      [](Record value) { return make_instance(Id, std::move(value)); });
    });
}

PyObject* crop_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 4> params{"top", "bottom", "left", "right"};
    return construct<Crop, ClassId::Crop>("Crop.__new__()", params, args, kwargs, [](auto& a, Crop& v) {
        return convert_arg(a[0], "top", v.top) && convert_arg(a[1], "bottom", v.bottom) &&
               convert_arg(a[2], "left", v.left) && convert_arg(a[3], "right", v.right);
    });
}

PyObject* reconnect_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> params{"retry_delay_s", "max_retries", "disconnect_grace_s"};
    return construct<ReconnectOptions, ClassId::ReconnectOptions>(
        "ReconnectOptions.__new__()", params, args, kwargs, [](auto& a, ReconnectOptions& v) {
            return convert_arg(a[0], "retry_delay_s", v.retry_delay_s) &&
                   convert_arg(a[1], "max_retries", v.max_retries) &&
                   convert_arg(a[2], "disconnect_grace_s", v.disconnect_grace_s);
        });
}

PyObject* stream_options_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 12> params{
        "codec",    "bitrate", "resolution", "overlay",   "fps",                "keyframe_interval",
        "flip",     "crop",    "reconnect",  "transcode", "congestion_control", "encoder_profile"};
    return construct<StreamOptions, ClassId::StreamOptions>(
        "StreamOptions.__new__()", params, args, kwargs, [](auto& a, StreamOptions& v) {
            // codec and encoder_profile take None as "the default" here only.
            return (is_absent(a[0]) || convert(a[0], "codec", v.codec)) &&
                   convert_arg(a[1], "bitrate", v.bitrate) && convert_arg(a[2], "resolution", v.resolution) &&
                   convert_arg(a[3], "overlay", v.overlay) && convert_arg(a[4], "fps", v.fps) &&
                   convert_arg(a[5], "keyframe_interval", v.keyframe_interval) &&
                   convert_arg(a[6], "flip", v.flip) && convert_arg(a[7], "crop", v.crop) &&
                   convert_arg(a[8], "reconnect", v.reconnect) && convert_arg(a[9], "transcode", v.transcode) &&
                   convert_arg(a[10], "congestion_control", v.congestion_control) &&
                   (is_absent(a[11]) || convert(a[11], "encoder_profile", v.encoder_profile));
        });
}

PyGetSetDef kCropFields[] = {
    OV_FIELD(Crop, top), OV_FIELD(Crop, bottom), OV_FIELD(Crop, left), OV_FIELD(Crop, right),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kReconnectFields[] = {
    OV_FIELD(ReconnectOptions, retry_delay_s),
    OV_FIELD(ReconnectOptions, max_retries),
    OV_FIELD(ReconnectOptions, disconnect_grace_s),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kStreamOptionsFields[] = {
    OV_FIELD(StreamOptions, codec),
    OV_FIELD(StreamOptions, bitrate),
    OV_FIELD(StreamOptions, resolution),
    OV_FIELD(StreamOptions, overlay),
    OV_FIELD(StreamOptions, fps),
    OV_FIELD(StreamOptions, flip),
    OV_FIELD(StreamOptions, crop),
    OV_FIELD(StreamOptions, reconnect),
    OV_FIELD(StreamOptions, transcode),
    OV_FIELD(StreamOptions, congestion_control),
    OV_FIELD(StreamOptions, keyframe_interval),
    OV_FIELD(StreamOptions, encoder_profile),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kCropSlots[] = {
    {Py_tp_doc, const_cast<char*>("Crop(top=0, bottom=0, left=0, right=0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(crop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Crop>)},
    {Py_tp_getset, kCropFields},
    {0, nullptr},
};

PyType_Slot kReconnectSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("ReconnectOptions(retry_delay_s=2.0, max_retries=None, disconnect_grace_s=2.0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(reconnect_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ReconnectOptions>)},
    {Py_tp_getset, kReconnectFields},
    {0, nullptr},
};

PyType_Slot kStreamOptionsSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "StreamOptions(codec=None, bitrate=4000, resolution=None, overlay=False, fps=None, "
                    "keyframe_interval=30, flip=None, crop=None, reconnect=None, transcode=False, "
                    "congestion_control=True, encoder_profile=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(stream_options_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<StreamOptions>)},
    {Py_tp_getset, kStreamOptionsFields},
    {0, nullptr},
};

PyType_Spec kCropSpec = {"builtins.Crop", sizeof(Box<Crop>), 0, Py_TPFLAGS_DEFAULT, kCropSlots};
PyType_Spec kReconnectSpec = {"builtins.ReconnectOptions", sizeof(Box<ReconnectOptions>), 0, Py_TPFLAGS_DEFAULT,
                              kReconnectSlots};
PyType_Spec kStreamOptionsSpec = {"builtins.StreamOptions", sizeof(Box<StreamOptions>), 0, Py_TPFLAGS_DEFAULT,
                                  kStreamOptionsSlots};

}  // namespace

PyType_Spec* crop_spec() { return &kCropSpec; }
PyType_Spec* reconnect_options_spec() { return &kReconnectSpec; }
PyType_Spec* stream_options_spec() { return &kStreamOptionsSpec; }

}  // namespace ov::py
