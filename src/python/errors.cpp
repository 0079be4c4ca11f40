#include "python/errors.hpp"

#include <string>

#include "python/classes.hpp"

namespace ov::py {
namespace {

// Messages may quote user text, NUL characters included.
std::nullptr_t raise(PyObject* type, std::string_view message) {
    const PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace

PyObject* internal_fault_type() {
    // Created under the interpreter lock on first use and kept for the process.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "orvane_video.InternalFault",
        "An invariant of the engine failed. Derives from BaseException on purpose.",
        PyExc_BaseException, nullptr);
    return type;
}

std::nullptr_t raise_internal_fault(std::string_view message) {
    PyObject* type = internal_fault_type();
    return raise(type != nullptr ? type : PyExc_SystemError, message);
}

void raise_internal_fault_text(const char* message) { raise_internal_fault(message); }

std::nullptr_t raise_runtime_error(std::string_view message) { return raise(PyExc_RuntimeError, message); }
std::nullptr_t raise_type_error(std::string_view message) { return raise(PyExc_TypeError, message); }
std::nullptr_t raise_overflow_error(std::string_view message) { return raise(PyExc_OverflowError, message); }

std::string type_name(PyObject* obj) {
    const PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (name && PyUnicode_Check(name.get())) {
        if (const char* utf8 = PyUnicode_AsUTF8(name.get())) return utf8;
    }
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
}

std::string pending_error_text() {
#if PY_VERSION_HEX >= 0x030C0000
    const PyRef value = PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *raw_value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &raw_value, &traceback);
    PyErr_NormalizeException(&type, &raw_value, &traceback);
    const PyRef type_ref = PyRef::steal(type), traceback_ref = PyRef::steal(traceback);
    const PyRef value = PyRef::steal(raw_value);
#endif
    if (!value) return "";
    const PyRef text = PyRef::steal(PyObject_Str(value.get()));
    if (text) {
        if (const char* utf8 = PyUnicode_AsUTF8(text.get())) return utf8;
    }
    PyErr_Clear();
    return "";
}

}  // namespace ov::py
