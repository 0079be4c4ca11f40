#include "python/classes.hpp"

#include <fmt/format.h>

#include <array>

#include "python/errors.hpp"

namespace ov::py {
namespace {

struct ClassEntry {
    const char* name;
    PyType_Spec* (*type_spec)();
    bool is_enum;
};

constexpr std::array<ClassEntry, kClassCount> kClasses{{
    {"EncodedFrame", encoded_frame_spec, false},
    {"Frame", frame_spec, false},
    {"Crop", crop_spec, false},
    {"StreamOptions", stream_options_spec, false},
    {"ReconnectOptions", reconnect_options_spec, false},
    {"Stream", stream_spec, false},
    {"Codec", codec_spec, true},
    {"EncoderProfile", encoder_profile_spec, true},
    {"ImageFormat", image_format_spec, true},
    {"FlipMode", flip_mode_spec, true},
    {"Src", src_spec, false},
    {"Sink", sink_spec, false},
}};

// Guarded by the interpreter lock; the types live as long as the process.
std::array<PyTypeObject*, kClassCount> g_types{};

}  // namespace

const char* class_name(ClassId id) { return kClasses[static_cast<size_t>(id)].name; }

PyTypeObject* type_object(ClassId id) {
    const auto index = static_cast<size_t>(id);
    if (g_types[index] != nullptr) return g_types[index];
    const ClassEntry& entry = kClasses[index];
    PyRef type = PyRef::steal(PyType_FromSpec(entry.type_spec()));
    if (type && entry.is_enum && !add_enum_members(id, type.get())) type = PyRef();
    if (!type) {
        PyErr_Print();
        return raise_internal_fault(fmt::format("failed to create type object for {}", entry.name));
    }
    g_types[index] = reinterpret_cast<PyTypeObject*>(type.release());
    return g_types[index];
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    const PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) return nullptr;
    return raise_type_error(fmt::format("No constructor defined for {}", text));
}

int refuse_deletion() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

}  // namespace ov::py
