#pragma once

// How failures become Python exceptions. Every function sets an exception and
// returns nullptr, so call sites can `return raise_...(...)`.

#include <string>
#include <string_view>

#include "python/pyref.hpp"

namespace ov::py {

// The exception type of internal faults: derives from BaseException, so an
// ordinary `except Exception` does not swallow a broken invariant.
PyObject* internal_fault_type();

std::nullptr_t raise_internal_fault(std::string_view message);
std::nullptr_t raise_runtime_error(std::string_view message);
std::nullptr_t raise_type_error(std::string_view message);
std::nullptr_t raise_overflow_error(std::string_view message);

// The bare class name of an object's type ("int", "Src", "int64").
std::string type_name(PyObject* obj);

// str() of the pending exception's value, for re-wrapping it; "" if none.
std::string pending_error_text();

}  // namespace ov::py
