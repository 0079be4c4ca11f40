#pragma once

// Codec, EncoderProfile, ImageFormat and FlipMode: value classes whose members
// are class attributes. Getters of other classes hand out new instances.

#include <optional>

#include "core/enums.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"

namespace ov::py {

struct EnumValue {
    int value;
};

PyObject* make_enum_instance(ClassId id, int value);

template <class E>
PyObject* make_enum(ClassId id, E value) {
    return make_enum_instance(id, static_cast<int>(value));
}

template <class E>
std::optional<E> to_enum(PyObject* value, ClassId id, const char* name) {
    const auto stored = to_value<EnumValue>(value, id, name);
    if (!stored) return std::nullopt;
    return static_cast<E>(stored->value);
}

}  // namespace ov::py
