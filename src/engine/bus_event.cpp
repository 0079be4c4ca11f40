#include "engine/bus_event.hpp"

#include <fmt/format.h>

#include <charconv>

#include "gst/handle.hpp"

namespace ov::engine {
namespace {

constexpr std::string_view kBranchPrefix = "branch_";

// The innermost object named "branch_..." decides; a name that starts like a
// branch but carries no number stops the search as "no branch".
BusEvent classify_error(GstMessage* message) {
    std::string text = gst_error_text(message);
    gst::ObjectPtr<GstObject> object = gst::ObjectPtr<GstObject>::ref(GST_MESSAGE_SRC(message));
    while (object) {
        const gst::StringPtr name = gst::StringPtr::take(gst_object_get_name(object.get()));
        const std::string_view view = name ? std::string_view(name.get()) : std::string_view();
        if (view.starts_with(kBranchPrefix)) {
            if (auto index = branch_index(view)) return bus::BranchError{*index, std::move(text)};
            return bus::Error{std::move(text)};
        }
        object = gst::ObjectPtr<GstObject>::take(gst_object_get_parent(object.get()));
    }
    return bus::Error{std::move(text)};
}

GstState current_state(GstElement* element) {
    GstState state = GST_STATE_VOID_PENDING;
    gst_element_get_state(element, &state, nullptr, 0);
    return state;
}

}  // namespace

std::optional<size_t> branch_index(std::string_view name) {
    if (!name.starts_with(kBranchPrefix)) return std::nullopt;
    std::string_view digits = name.substr(kBranchPrefix.size());
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    size_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::string gst_error_text(GstMessage* message) {
    GError* raw_error = nullptr;
    gchar* raw_debug = nullptr;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        gst_message_parse_error(message, &raw_error, &raw_debug);
    } else {
        gst_message_parse_warning(message, &raw_error, &raw_debug);
    }
    const gst::ErrorPtr error = gst::ErrorPtr::take(raw_error);
    const gst::StringPtr debug = gst::StringPtr::take(raw_debug);
    const char* source = GST_MESSAGE_SRC(message) ? GST_OBJECT_NAME(GST_MESSAGE_SRC(message)) : nullptr;
    return fmt::format("[{}] {}\n  debug: {}", source ? source : "unknown", error ? error->message : "",
                       debug ? debug.get() : "none");
}

BusEvent classify(GstMessage* message, GstElement* pipeline) {
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_EOS:
            return bus::EndOfStream{};
        case GST_MESSAGE_ERROR:
            return classify_error(message);
        case GST_MESSAGE_WARNING:
            return bus::Warning{gst_error_text(message)};
        case GST_MESSAGE_STATE_CHANGED: {
            if (GST_MESSAGE_SRC(message) != GST_OBJECT_CAST(pipeline)) return bus::Nothing{};
            GstState new_state = GST_STATE_VOID_PENDING;
            gst_message_parse_state_changed(message, nullptr, &new_state, nullptr);
            return new_state == GST_STATE_PLAYING ? BusEvent(bus::Playing{}) : BusEvent(bus::Nothing{});
        }
        case GST_MESSAGE_ELEMENT: {
            const GstStructure* structure = gst_message_get_structure(message);
            if (structure != nullptr && gst_structure_has_name(structure, "GstUDPSrcTimeout")) {
                return bus::SourceTimeout{};
            }
            return bus::Nothing{};
        }
        case GST_MESSAGE_ASYNC_DONE:
            return current_state(pipeline) == GST_STATE_PLAYING ? BusEvent(bus::Playing{}) : BusEvent(bus::Nothing{});
        default:
            return bus::Nothing{};
    }
}

}  // namespace ov::engine
