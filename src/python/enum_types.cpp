#include "python/enum_types.hpp"

#include <fmt/format.h>

#include <array>
#include <span>

#include "python/errors.hpp"

namespace ov::py {
namespace {

struct EnumClass {
    ClassId id;
    std::span<const char* const> members;  // the value of a member is its index
};

constexpr std::array<const char*, 3> kCodecMembers{"H264", "H265", "AV1"};
constexpr std::array<const char*, 3> kProfileMembers{"LowLatency", "Balanced", "HighQuality"};
constexpr std::array<const char*, 2> kImageFormatMembers{"Jpeg", "Png"};
constexpr std::array<const char*, 5> kFlipMembers{"Horizontal", "Vertical", "Rotate90", "Rotate180", "Rotate270"};

const std::array<EnumClass, 4> kEnumClasses{{
    {ClassId::Codec, kCodecMembers},
    {ClassId::EncoderProfile, kProfileMembers},
    {ClassId::ImageFormat, kImageFormatMembers},
    {ClassId::FlipMode, kFlipMembers},
}};

const EnumClass* enum_class_of(PyTypeObject* type) {
    for (const auto& cls : kEnumClasses) {
        if (type_object(cls.id) == type) return &cls;
    }
    return nullptr;
}

int value_of(PyObject* self) { return unbox<EnumValue>(self).value; }

PyObject* enum_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const EnumClass* cls = enum_class_of(Py_TYPE(self));
        const int value = value_of(self);
        if (cls == nullptr || value < 0 || static_cast<size_t>(value) >= cls->members.size()) {
            return raise_internal_fault("enumeration value out of range");
        }
        const std::string text = fmt::format("{}.{}", class_name(cls->id), cls->members[value]);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* enum_int(PyObject* self) { return PyLong_FromLong(value_of(self)); }

// == and != only: against the same class by value, against anything that the
// interpreter converts to a signed 64-bit integer by that integer.
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    long long other_value = 0;
    if (Py_TYPE(other) == Py_TYPE(self)) {
        other_value = value_of(other);
    } else {
        other_value = PyLong_AsLongLong(other);
        if (other_value == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    const bool equal = other_value == value_of(self);
    return PyBool_FromLong((op == Py_EQ) == equal);
}

template <ClassId Id>
PyType_Spec* enum_spec() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("")},
        {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
        {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<EnumValue>)},
        {Py_tp_repr, reinterpret_cast<void*>(enum_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_nb_int, reinterpret_cast<void*>(enum_int)},
        {0, nullptr},
    };
    static const std::string name = fmt::format("builtins.{}", class_name(Id));
    static PyType_Spec type_spec = {name.c_str(), sizeof(Box<EnumValue>), 0, Py_TPFLAGS_DEFAULT, slots};
    return &type_spec;
}

}  // namespace

PyType_Spec* codec_spec() { return enum_spec<ClassId::Codec>(); }
PyType_Spec* encoder_profile_spec() { return enum_spec<ClassId::EncoderProfile>(); }
PyType_Spec* image_format_spec() { return enum_spec<ClassId::ImageFormat>(); }
PyType_Spec* flip_mode_spec() { return enum_spec<ClassId::FlipMode>(); }

// Runs while the type is being made, before type_object() has cached it, so the
// members are allocated from `type` directly.
bool add_enum_members(ClassId id, PyObject* type) {
    for (const auto& cls : kEnumClasses) {
        if (cls.id != id) continue;
        auto* type_obj = reinterpret_cast<PyTypeObject*>(type);
        for (size_t value = 0; value < cls.members.size(); ++value) {
            PyRef member = PyRef::steal(type_obj->tp_alloc(type_obj, 0));
            if (!member) return false;
            unbox<EnumValue>(member.get()).value = static_cast<int>(value);
            if (PyObject_SetAttrString(type, cls.members[value], member.get()) < 0) return false;
        }
        return true;
    }
    return false;
}

PyObject* make_enum_instance(ClassId id, int value) { return make_instance(id, EnumValue{value}); }

bool convert(PyObject* v, const char* name, Codec& out) {
    return store(to_enum<Codec>(v, ClassId::Codec, name), out);
}
bool convert(PyObject* v, const char* name, EncoderProfile& out) {
    return store(to_enum<EncoderProfile>(v, ClassId::EncoderProfile, name), out);
}
bool convert(PyObject* v, const char* name, ImageFormat& out) {
    return store(to_enum<ImageFormat>(v, ClassId::ImageFormat, name), out);
}
bool convert(PyObject* v, const char* name, FlipMode& out) {
    return store(to_enum<FlipMode>(v, ClassId::FlipMode, name), out);
}

}  // namespace ov::py
