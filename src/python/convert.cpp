#include "python/convert.hpp"

#include <fmt/format.h>

#include <cstring>
#include <limits>

#include "python/errors.hpp"

namespace ov::py {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// Puts the argument name in front of a pending TypeError (exactly TypeError).
void name_type_error(const char* name) {
    if (PyErr_Occurred() != PyExc_TypeError) return;
    const std::string text = pending_error_text();
    raise_type_error(fmt::format("argument '{}': {}", name, text));
}

std::nullptr_t cannot_convert(PyObject* value, std::string_view target) {
    return raise_type_error(fmt::format("'{}' object cannot be converted to '{}'", type_name(value), target));
}

template <class T>
std::optional<T> to_unsigned(PyObject* value, const char* name) {
    const long long converted = PyLong_AsLongLong(value);
    if (converted == -1 && PyErr_Occurred()) {
        name_type_error(name);
        return std::nullopt;
    }
    if (converted < 0 || static_cast<unsigned long long>(converted) > std::numeric_limits<T>::max()) {
        raise_overflow_error(kOutOfRange);
        return std::nullopt;
    }
    return static_cast<T>(converted);
}

bool is_numpy_bool(PyObject* value) {
    const char* name = Py_TYPE(value)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

std::optional<uint16_t> to_u16(PyObject* value, const char* name) { return to_unsigned<uint16_t>(value, name); }
std::optional<uint32_t> to_u32(PyObject* value, const char* name) { return to_unsigned<uint32_t>(value, name); }

std::optional<uint64_t> to_u64(PyObject* value, const char* name) {
    const PyRef integer = PyLong_Check(value) ? PyRef::borrow(value) : PyRef::steal(PyNumber_Index(value));
    if (!integer) {
        name_type_error(name);
        return std::nullopt;
    }
    const unsigned long long converted = PyLong_AsUnsignedLongLong(integer.get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        name_type_error(name);
        return std::nullopt;
    }
    return static_cast<uint64_t>(converted);
}

std::optional<double> to_f64(PyObject* value, const char* name) {
    const double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) {
        name_type_error(name);
        return std::nullopt;
    }
    return converted;
}

std::optional<bool> to_bool(PyObject* value, const char* name) {
    if (PyBool_Check(value)) return value == Py_True;
    if (is_numpy_bool(value)) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) {
            name_type_error(name);
            return std::nullopt;
        }
        return truth == 1;
    }
    cannot_convert(value, "PyBool");
    name_type_error(name);
    return std::nullopt;
}

std::optional<std::string> to_text(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        cannot_convert(value, "PyString");
        name_type_error(name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        name_type_error(name);
        return std::nullopt;
    }
    return std::string(utf8, static_cast<size_t>(size));
}

PyObject* expect_instance_unnamed(PyObject* value, ClassId id) {
    PyTypeObject* type = type_object(id);
    if (type == nullptr) return nullptr;
    if (Py_TYPE(value) == type) return value;
    return cannot_convert(value, class_name(id));
}

PyObject* expect_instance(PyObject* value, ClassId id, const char* name) {
    PyObject* instance = expect_instance_unnamed(value, id);
    if (instance == nullptr) name_type_error(name);
    return instance;
}

}  // namespace ov::py
