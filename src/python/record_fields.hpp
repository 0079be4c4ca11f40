#pragma once

// Read-write properties of the option records, one template per direction:
// reading makes a new object from the stored value, writing converts exactly
// as the constructor does and keeps the old value on failure.

#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/to_python.hpp"

namespace ov::py {

template <class Record, auto Member>
PyObject* get_field(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return to_python(unbox<Record>(self).*Member); });
}

// `closure` is the property name, for the error texts.
template <class Record, auto Member>
int set_field(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr) return refuse_deletion();
    return guarded([&]() -> int {
        auto converted = unbox<Record>(self).*Member;
        if (!convert(value, static_cast<const char*>(closure), converted)) return -1;
        unbox<Record>(self).*Member = std::move(converted);
        return 0;
    });
}

#define OV_FIELD(Record, name) \
    {#name, ::ov::py::get_field<Record, &Record::name>, ::ov::py::set_field<Record, &Record::name>, nullptr, \
     const_cast<char*>(#name)}

}  // namespace ov::py
