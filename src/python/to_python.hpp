#pragma once

// Plain values to new Python objects; each returns a new reference or nullptr
// with an exception set. Records and enumeration values become new instances.

#include <cstdint>
#include <optional>
#include <string>

#include "core/enums.hpp"
#include "core/options.hpp"
#include "python/pyref.hpp"

namespace ov::py {

PyObject* to_python(uint32_t value);
PyObject* to_python(uint64_t value);
PyObject* to_python(double value);
PyObject* to_python(bool value);
PyObject* to_python(const std::string& value);
PyObject* to_python(Codec value);
PyObject* to_python(EncoderProfile value);
PyObject* to_python(ImageFormat value);
PyObject* to_python(FlipMode value);
PyObject* to_python(const Crop& value);
PyObject* to_python(const ReconnectOptions& value);

template <class T>
PyObject* to_python(const std::optional<T>& value) {
    if (!value) Py_RETURN_NONE;
    return to_python(*value);
}

}  // namespace ov::py
