#pragma once

// Binding of positional and keyword arguments to a callable's parameters, with
// the same messages for every callable of the module.

#include <array>
#include <span>
#include <string_view>

#include "python/pyref.hpp"

namespace ov::py {

struct Signature {
    std::string_view full_name;           // "Src.camera()", "Crop.__new__()"
    std::span<const char* const> params;  // every parameter is positional-or-keyword
    size_t required;                      // the first `required` parameters have no default
};

// Fills `slots` (one per parameter) with borrowed references, nullptr where an
// optional parameter was left out. Returns false with TypeError set.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

// True when the slot was left out or holds None.
inline bool is_absent(PyObject* slot) { return slot == nullptr || slot == Py_None; }

// Binds the arguments of a constructor-like callable, lets `fill` convert the
// slots into a fresh `Value`, and hands the value to `wrap` for the new object.
template <class Value, size_t N, class Fill, class Wrap>
PyObject* bind_and_build(std::string_view full_name, const std::array<const char*, N>& params, size_t required,
                         PyObject* args, PyObject* kwargs, Fill&& fill, Wrap&& wrap) {
    std::array<PyObject*, N> slots{};
    if (!bind_arguments({full_name, params, required}, args, kwargs, slots)) return nullptr;
    Value value{};
    if (!fill(slots, value)) return nullptr;
    return wrap(std::move(value));
}

}  // namespace ov::py
