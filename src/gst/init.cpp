#include "gst/init.hpp"

#include "gst/handle.hpp"

namespace ov::gst {

std::optional<std::string> init() {
    GError* raw = nullptr;
    if (gst_init_check(nullptr, nullptr, &raw)) return std::nullopt;
    const ErrorPtr error = ErrorPtr::take(raw);
    return std::string(error ? error->message : "unknown error");
}

bool factory_exists(const char* name) {
    return static_cast<bool>(FactoryPtr::take(gst_element_factory_find(name)));
}

}  // namespace ov::gst
