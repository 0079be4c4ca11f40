#pragma once

// The error values shared by the builders, and the exception of broken
// invariants.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace ov {

// What a builder reports when an element, bin or link cannot be made. Only the
// message is shown to users; the rest is for diagnostics.
struct BuildError {
    std::string message;
    const char* file = "";
    const char* function = "";
    uint32_t line = 0;
};

#define OV_BUILD_ERROR(text) (::ov::BuildError{(text), __FILE__, __func__, __LINE__})

// A state that correct operation never produces (an element without a pad it
// always has, a property of the wrong type). Thrown on the building thread and
// turned into the module's internal-fault exception at the Python boundary;
// streaming-thread callbacks catch it and never let it escape.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace ov
