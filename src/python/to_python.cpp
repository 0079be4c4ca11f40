#include "python/to_python.hpp"

#include "python/enum_types.hpp"

namespace ov::py {

PyObject* to_python(uint32_t value) { return PyLong_FromUnsignedLong(value); }
PyObject* to_python(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
PyObject* to_python(bool value) { return PyBool_FromLong(value); }
PyObject* to_python(const std::string& value) {
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}
PyObject* to_python(Codec value) { return make_enum(ClassId::Codec, value); }
PyObject* to_python(EncoderProfile value) { return make_enum(ClassId::EncoderProfile, value); }
PyObject* to_python(ImageFormat value) { return make_enum(ClassId::ImageFormat, value); }
PyObject* to_python(FlipMode value) { return make_enum(ClassId::FlipMode, value); }
PyObject* to_python(const Crop& value) { return make_instance(ClassId::Crop, value); }
PyObject* to_python(const ReconnectOptions& value) { return make_instance(ClassId::ReconnectOptions, value); }

}  // namespace ov::py
