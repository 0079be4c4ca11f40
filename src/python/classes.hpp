#pragma once

// The module's Python classes: their identities, their type objects (created
// once, on first use, and kept for the life of the process) and the layout of
// their instances, a C++ value behind the object header.

#include <memory>
#include <new>
#include <utility>

#include "core/errors.hpp"
#include "python/pyref.hpp"

namespace ov::py {

// In registration order.
enum class ClassId : int {
    EncodedFrame,
    Frame,
    Crop,
    StreamOptions,
    ReconnectOptions,
    Stream,
    Codec,
    EncoderProfile,
    ImageFormat,
    FlipMode,
    Src,
    Sink,
};
inline constexpr int kClassCount = 12;

const char* class_name(ClassId id);

// Borrowed; nullptr with the internal-fault exception set if it cannot be made.
PyTypeObject* type_object(ClassId id);

template <class T>
struct Box {
    PyObject_HEAD
    T value;
};

template <class T>
T& unbox(PyObject* obj) {
    return reinterpret_cast<Box<T>*>(obj)->value;
}

// A new instance of class `id` holding `value`; nullptr with an exception set.
template <class T>
PyObject* make_instance(ClassId id, T value) {
    PyTypeObject* type = type_object(id);
    if (type == nullptr) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    new (&reinterpret_cast<Box<T>*>(obj)->value) T(std::move(value));
    return obj;
}

template <class T>
void box_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<Box<T>*>(self)->value);
    type->tp_free(self);
    Py_DECREF(type);
}

// tp_new of the classes that Python code cannot construct.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// setter helper: properties cannot be deleted.
int refuse_deletion();

// Raises the module's internal-fault exception (defined in errors.cpp).
void raise_internal_fault_text(const char* message);

// Runs a Python entry point, turning any C++ exception into a Python one so
// nothing unwinds into the interpreter.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const InternalFault& fault) {
        raise_internal_fault_text(fault.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    if constexpr (std::is_same_v<decltype(body()), int>) {
        return -1;
    } else {
        return nullptr;
    }
}

// A METH_VARARGS | METH_KEYWORDS function in a PyMethodDef.
template <class F>
PyCFunction as_method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Class definitions, one per file.
PyType_Spec* encoded_frame_spec();
PyType_Spec* frame_spec();
PyType_Spec* crop_spec();
PyType_Spec* stream_options_spec();
PyType_Spec* reconnect_options_spec();
PyType_Spec* stream_spec();
PyType_Spec* codec_spec();
PyType_Spec* encoder_profile_spec();
PyType_Spec* image_format_spec();
PyType_Spec* flip_mode_spec();
PyType_Spec* src_spec();
PyType_Spec* sink_spec();

// Adds the members of an enumeration class to its freshly made type.
bool add_enum_members(ClassId id, PyObject* type);

}  // namespace ov::py
