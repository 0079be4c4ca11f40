#pragma once

// Conversion of one Python value to a plain value. On failure each converter
// returns nullopt with the exception of the conventions set: a TypeError
// becomes "argument '<name>': <text>", any other error propagates unchanged.

#include <cstdint>
#include <optional>
#include <string>

#include "core/enums.hpp"
#include "core/options.hpp"
#include "python/classes.hpp"
#include "python/pyref.hpp"

namespace ov::py {

std::optional<uint16_t> to_u16(PyObject* value, const char* name);
std::optional<uint32_t> to_u32(PyObject* value, const char* name);
std::optional<uint64_t> to_u64(PyObject* value, const char* name);
std::optional<double> to_f64(PyObject* value, const char* name);
std::optional<bool> to_bool(PyObject* value, const char* name);
std::optional<std::string> to_text(PyObject* value, const char* name);

// The instance itself when `value` is of the class `id`, else nullptr with the
// TypeError "'<type>' object cannot be converted to '<Class>'".
PyObject* expect_instance(PyObject* value, ClassId id, const char* name);

// Same check, without the argument prefix.
PyObject* expect_instance_unnamed(PyObject* value, ClassId id);

// Copies the stored value of an instance of class `id`.
template <class T>
std::optional<T> to_value(PyObject* value, ClassId id, const char* name) {
    if (expect_instance(value, id, name) == nullptr) return std::nullopt;
    return unbox<T>(value);
}

// The same conversions chosen by the type of the destination; `out` is only
// written on success. Overloads for the module's own value types live beside
// those types.
template <class T>
bool store(std::optional<T> converted, T& out) {
    if (!converted) return false;
    out = std::move(*converted);
    return true;
}
inline bool convert(PyObject* v, const char* name, uint16_t& out) { return store(to_u16(v, name), out); }
inline bool convert(PyObject* v, const char* name, uint32_t& out) { return store(to_u32(v, name), out); }
inline bool convert(PyObject* v, const char* name, uint64_t& out) { return store(to_u64(v, name), out); }
inline bool convert(PyObject* v, const char* name, double& out) { return store(to_f64(v, name), out); }
inline bool convert(PyObject* v, const char* name, bool& out) { return store(to_bool(v, name), out); }
inline bool convert(PyObject* v, const char* name, std::string& out) { return store(to_text(v, name), out); }

bool convert(PyObject* v, const char* name, Codec& out);
bool convert(PyObject* v, const char* name, EncoderProfile& out);
bool convert(PyObject* v, const char* name, ImageFormat& out);
bool convert(PyObject* v, const char* name, FlipMode& out);
bool convert(PyObject* v, const char* name, Crop& out);
bool convert(PyObject* v, const char* name, ReconnectOptions& out);

// An optional destination also accepts None, which makes it absent.
template <class T>
bool convert(PyObject* v, const char* name, std::optional<T>& out) {
    if (v == Py_None) {
        out.reset();
        return true;
    }
    T value{};
    if (!convert(v, name, value)) return false;
    out = std::move(value);
    return true;
}

// For a bound argument: a parameter left out keeps its default.
template <class T>
bool convert_arg(PyObject* slot, const char* name, T& out) {
    return slot == nullptr || convert(slot, name, out);
}

}  // namespace ov::py
